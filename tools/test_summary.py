#!/usr/bin/env python3
"""The end of tools/run_tests.sh: one table over the presets, the reasons for
skipped tests, and a summary in CTest's own form. Exit code 1 when anything
failed (a test, a configure or build step, or ctest itself), else 0.

usage: test_summary.py TOTAL_SECONDS {PRESET BUILD TESTS PROBLEM CTEST_RC JUNIT}...
  BUILD     seconds its configure and build took
  TESTS     seconds its tests took (wall clock)
  PROBLEM   what failed before the tests ran (empty when nothing did)
  CTEST_RC  ctest's exit code (empty when the tests did not run)
  JUNIT     the file ctest --output-junit wrote
"""
import sys
import xml.etree.ElementTree as ET
from collections import Counter

# CTest marks a test it did not run "notrun" in its JUnit file; only these
# messages mean the test skipped itself. Any other (a missing executable, a
# failed fixture) counts as a failure, as in CTest's own summary.
SKIP_MARKS = ("SKIP_RETURN_CODE", "SKIP_REGULAR_EXPRESSION", "Disabled")


def skip_reason(case):
    for line in (case.findtext("system-out") or "").splitlines():
        line = line.strip()
        if line.startswith("SKIP:"):
            return line[len("SKIP:"):].strip()
    skipped = case.find("skipped")
    return skipped.get("message", "") if skipped is not None else ""


def read_results(path):
    """Returns (passed, [failed names], Counter of skip reasons)."""
    root = ET.parse(path).getroot()
    passed, failed, skipped = 0, [], Counter()
    for case in root.iter("testcase"):
        status = case.get("status")
        if status == "run":
            passed += 1
        elif status == "notrun":
            mark = case.find("skipped")
            message = mark.get("message", "") if mark is not None else ""
            if message.startswith(SKIP_MARKS):
                skipped[skip_reason(case)] += 1
            else:
                failed.append(f"{case.get('name')} (Not Run: {message})")
        else:
            failed.append(f"{case.get('name')} (Failed)")
    return passed, failed, skipped


def minutes(seconds):
    seconds = int(round(seconds))
    return f"{seconds // 60}m{seconds % 60:02d}s"


def main(argv):
    total_seconds = int(argv[1])
    fields = argv[2:]
    if len(fields) % 6 != 0:
        sys.exit(__doc__)
    rows, reasons, failures = [], [], []
    all_tests = all_failed = 0
    test_seconds = 0
    for i in range(0, len(fields), 6):
        preset, build_seconds, seconds, problem, rc, junit = fields[i:i + 6]
        test_seconds += int(seconds)
        passed, failed, skipped = "-", "-", "-"
        notes = []
        if problem:
            notes.append(problem)
            failures.append(f"{preset}: {problem}")
            all_failed += 1
        elif rc != "":
            try:
                n_passed, n_failed, n_skipped = read_results(junit)
            except (OSError, ET.ParseError) as error:
                n_passed, n_failed, n_skipped = 0, [], Counter()
                notes.append(f"no test results ({error})")
                failures.append(f"{preset}: no test results")
                all_failed += 1
            passed, failed, skipped = n_passed, len(n_failed), sum(n_skipped.values())
            all_tests += passed + failed + skipped
            all_failed += failed
            failures += [f"{preset}: {name}" for name in n_failed]
            for reason, count in n_skipped.items():
                reasons.append(f"{preset}: {count} skipped: {reason}")
            # ctest can fail with no failing test (no test matched, say).
            if rc != "0" and not n_failed:
                notes.append(f"ctest exit code {rc}")
                failures.append(f"{preset}: ctest exit code {rc}")
                all_failed += 1
        rows.append((preset, str(passed), str(failed), str(skipped), minutes(int(seconds)),
                     minutes(int(build_seconds)), "; ".join(notes)))

    header = ("preset", "passed", "failed", "skipped", "test time", "build time", "")
    columns = len(header) - 1
    widths = [max(len(r[c]) for r in rows + [header]) for c in range(columns)]

    def line(r):
        cells = " | ".join(r[c].ljust(widths[c]) for c in range(columns))
        return f"| {cells} |" + (f" {r[-1]}" if r[-1] else "")

    print(line(header))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for row in rows:
        print(line(row))
    print(f"(whole run {minutes(total_seconds)}, configure and build included)")
    if reasons:
        print("\nSkipped:")
        for reason in reasons:
            print(f"  {reason}")

    # CTest's summary form, over every preset.
    counted = max(all_tests, all_failed)
    percent = 100 if counted == 0 else int((counted - all_failed) * 100 / counted)
    print(f"\n{percent}% tests passed, {all_failed} tests failed out of {counted}")
    print(f"\nTotal Test time (real) = {test_seconds:.2f} sec")
    if failures:
        print("\nThe following tests FAILED:")
        for failure in failures:
            print(f"\t{failure}")
        print("Errors while running the tests")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
