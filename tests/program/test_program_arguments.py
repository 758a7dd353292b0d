"""Arguments of the Linux odflsh: --help, -h and --version answer and exit 0
(1 when their output cannot be written), anything unknown or ill-matched is
refused with exit code 2; in every case no drive is even opened, so a typo
never starts a firmware update. Standard streams the program was started
without are never taken by a drive."""

import os
import re
import subprocess
import time
import unittest

from progtest import PROGRAM, ProgramCase

DRIVE = "qbc850,rev=1.00"


class Arguments(ProgramCase):

    def test_no_argument_starts_an_update_it_should_not(self):
        cases = [
            # args, exit code, stdout pattern (None: empty), stderr pattern (None: empty)
            (["--help"], 0, r"(?s)^usage: odflsh.*asks before it writes", None),
            (["-h"], 0, r"(?s)^usage: odflsh.*asks before it writes", None),
            (["--version"], 0, r"^odflsh \d\.\d\d[A-Z]?\n$", None),
            (["--version", "--help"], 0, r"^usage: odflsh", None),
            (["--bogus"], 2, None,
             r"^odflsh: unknown argument '--bogus'.*\nTry 'odflsh --help'\.\n$"),
            (["--help", "--bogus"], 2, None, r"unknown argument '--bogus'"),
            (["--json"], 2, None, r"--json goes with --list"),
            (["--list", "--yes"], 2, None, r"--list asks none"),
            (["S1003431.104"], 2, None, r"unknown argument 'S1003431\.104'"),
            ([""], 2, None, r"unknown argument ''"),
            # Echoed escaped, so it cannot act on the terminal, and cut.
            (["--\x1b[2J\x07bogus\\"], 2, None,
             r"^odflsh: unknown argument '--\\x1b\[2J\\x07bogus\\x5c': nothing was done\.\n"),
            (["x" * 5000], 2, None, r"^odflsh: unknown argument 'x{197}\.\.\.': nothing was done\.\n"),
        ]
        for args, rc, stdout, stderr in cases:
            with self.subTest(args=[a[:40] for a in args]):
                run = self.run_odflsh([DRIVE], terminal=False, args=args)
                self.assertEqual(run.rc, rc)
                out = run.stdout.decode()
                err = run.stderr.decode()
                if stdout is None:
                    self.assertEqual(out, "")
                else:
                    self.assertRegex(out, stdout)
                if stderr is None:
                    self.assertEqual(err, "")
                else:
                    self.assertRegex(err, stderr)
                self.assertEqual(run.trace, [])  # no device was opened
                self.assert_untouched(run.state[0])

    def test_output_that_cannot_be_written_is_an_error(self):
        # As the usual tools do: a line saying why, exit code 1.
        for args in (["--help"], ["--version"], ["--list"], ["--list", "--json"]):
            with self.subTest(args=args):
                with open("/dev/full", "wb") as full:
                    run = self.run_odflsh([DRIVE], terminal=False, args=args, out=full)
                self.assertEqual(run.rc, 1)
                self.assertEqual(run.stderr.decode(),
                                 "odflsh: write error: No space left on device\n")

    def test_version_is_the_banners(self):
        version = self.run_odflsh([DRIVE], terminal=False, args=["--version"]).stdout.decode()
        usage = self.run_odflsh([DRIVE], terminal=False, args=["--help"]).stdout.decode()
        banner = self.run_odflsh([], terminal=False).stdout.decode()
        number = re.search(r"Ver(\S+)\n", banner).group(1)
        self.assertEqual(version, "odflsh %s\n" % number)
        self.assertIn("odflsh %s\n" % number, usage)
        # The usage names what the built-in definition updates.
        self.assertIn("S1003431.104", usage)
        self.assertIn("version 1.04", usage)
        # Every option is named in the usage.
        for option in ("--list", "--json", "--yes", "-h, --help", "--version"):
            self.assertIn(option, usage)



class StandardStreams(ProgramCase):
    """Started with descriptor 0, 1 or 2 closed, the program must not let a
    drive's device take that number: its messages would go to the drive."""

    def test_a_closed_stream_is_never_a_drive(self):
        for closed in (0, 1, 2):
            with self.subTest(closed=closed):
                self._reset_fixture_files()
                # Paused at its first INQUIRY, the process shows its descriptors.
                env = self.fake_env(["qbc850,rev=1.00,pause=inquiry"])
                # Plain files, so that /dev/null is only what the program opens.
                streams = os.path.join(self.work, "streams")
                open(streams, "w").close()
                with open(streams, "rb") as inp, open(streams, "ab") as out:
                    process = subprocess.Popen(
                        [PROGRAM], stdin=inp, stdout=out, stderr=out, cwd=self.work,
                        env=env, preexec_fn=lambda: os.close(closed))
                try:
                    self._wait_for_pause(process)
                    drives, null_fd = self._descriptors(process.pid)
                    self.assertTrue(drives, "no drive descriptor open while paused")
                    self.assertFalse(drives & {0, 1, 2}, "a drive took descriptor %s" % drives)
                    self.assertIn(closed, null_fd)
                finally:
                    open(os.path.join(self.work, "resume"), "w").close()
                    # Not a terminal: the question is answered no.
                    self.assertEqual(process.wait(timeout=60), 0)

    def _wait_for_pause(self, process):
        trace = os.path.join(self.work, "trace.txt")
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            if os.path.exists(trace):
                with open(trace, encoding="latin-1") as f:
                    if " paused" in f.read():
                        return
            if process.poll() is not None:
                self.fail("odflsh ended before its INQUIRY (exit %s)" % process.returncode)
            time.sleep(0.05)
        self.fail("odflsh never reached its INQUIRY")

    @staticmethod
    def _descriptors(pid):
        """The descriptors of the fixture's drives (it stands each on a
        /dev/null opened for reading and writing) and those on /dev/null
        opened for reading or writing only."""
        drives, null_fd = set(), set()
        for name in os.listdir("/proc/%d/fd" % pid):
            fd = int(name)
            try:
                if os.readlink("/proc/%d/fd/%d" % (pid, fd)) != "/dev/null":
                    continue
                with open("/proc/%d/fdinfo/%d" % (pid, fd)) as f:
                    flags = int(re.search(r"flags:\s+(\d+)", f.read()).group(1), 8)
            except OSError:
                continue
            (drives if flags & os.O_ACCMODE == os.O_RDWR else null_fd).add(fd)
        return drives, null_fd


if __name__ == "__main__":
    unittest.main()
