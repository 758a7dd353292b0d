"""Arguments of the Linux odflsh: --help, -h and --version answer and exit 0,
anything unknown or ill-matched is refused with exit code 2; in every case no
drive is even opened, so a typo never starts a firmware update."""

import re
import unittest

from progtest import ProgramCase

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
        ]
        for args, rc, stdout, stderr in cases:
            with self.subTest(args=args):
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


if __name__ == "__main__":
    unittest.main()
