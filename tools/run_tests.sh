#!/usr/bin/env bash
# Installs what is missing (tools/install_deps.sh), builds the linux preset
# (whose odflsh-sim the Wine tests compare with), then builds each preset and
# runs the tests its test preset selects by label:
#   asan          unit and program tests under AddressSanitizer/UBSan;
#   mingw-i686    the 32-bit Windows build, its tests under Wine (skipped,
#                 with the reason, where this machine cannot run 32-bit
#                 programs), and under Wine in the test machine (run there
#                 on any machine);
#   mingw-x86_64  the 64-bit Windows build, its tests under Wine, here and
#                 in the test machine;
#   fuzz          the fuzz targets (clang, libFuzzer), each a short run over
#                 its seed corpus;
#   linux         the native build's unit and program tests, and its tests
#                 in the test machine (tools/vm/odflsh-vm).
# Every preset runs even when an earlier one failed. The end is one table
# (preset, tests passed / failed / skipped, time), the reasons for skipped
# tests, and a summary in CTest's form over all presets. The exit code is 0
# only when nothing failed.
set -uo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.." || exit 1
root=$PWD
jobs=2
presets=(asan mingw-i686 mingw-x86_64 fuzz linux)
SECONDS=0

step() {
  echo
  echo "==== $* ($((SECONDS / 60))m$((SECONDS % 60))s)"
}

# Runs a command; on failure says so and returns its exit code.
run() {
  "$@" && return 0
  local rc=$?
  echo
  echo "FAILED (exit code $rc): $*"
  return "$rc"
}

# Per preset: what failed before its tests (empty when nothing did), ctest's
# exit code, and the seconds its configure and build, and its tests took.
declare -A broken ctest_rc build_time test_time

step "dependencies"
if ! run bash tools/install_deps.sh; then
  echo "tools/install_deps.sh failed: the steps below may fail for want of a package"
fi

# The Windows runs under Wine are compared with the native tree's odflsh-sim,
# and in the test machine served by its odflsh-tcmu; should this fail, the
# linux row below shows it again.
step "linux: configure and build (the Wine tests use its odflsh-sim and odflsh-tcmu)"
run cmake --preset linux && run cmake --build --preset linux -j "$jobs"

for preset in "${presets[@]}"; do
  started=$SECONDS
  junit=$root/build/$preset/ctest-results.xml
  rm -f "$junit"
  broken[$preset]=""
  ctest_rc[$preset]=""
  test_time[$preset]=0
  step "$preset: configure and build"
  if ! run cmake --preset "$preset"; then
    broken[$preset]="configure failed"
  elif ! run cmake --build --preset "$preset" -j "$jobs"; then
    broken[$preset]="build failed"
  else
    build_time[$preset]=$((SECONDS - started))
    started=$SECONDS
    step "$preset: tests"
    run ctest --preset "$preset" -j "$jobs" --output-junit "$junit"
    ctest_rc[$preset]=$?
    test_time[$preset]=$((SECONDS - started))
  fi
  [[ -n ${build_time[$preset]:-} ]] || build_time[$preset]=$((SECONDS - started))
done

step "summary"
args=()
for preset in "${presets[@]}"; do
  args+=("$preset" "${build_time[$preset]}" "${test_time[$preset]}" "${broken[$preset]}" "${ctest_rc[$preset]}"
         "$root/build/$preset/ctest-results.xml")
done
python3 tools/test_summary.py "$SECONDS" "${args[@]}"
