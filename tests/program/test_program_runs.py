"""The real Linux odflsh, unchanged, on simulated drives served through SG_IO:
each scenario runs twice, once as odflsh under libodflsh_fakesg.so with its
questions answered on a pseudo-terminal, once as odflsh-sim on the
pass-through route. Standard output must be the same bytes, the exit codes
the same, and each drive must end as the scenario says."""

import re
import unittest

from progtest import ProgramCase
from progtest import notices as stderr_notices

ONE = "qbc850,rev=1.00,date=07/12/01"
ROOT = r"updating drive firmware needs root"
LEFT_IN_KERNEL = r"^odflsh: the device No\.1 \(/dev/sr0\) is still in its update kernel\.$"


class Scenario:
    def __init__(self, name, drives, answers, rc, flashed, sim_drives=None,
                 terminal=True, notices=(), env=None, sim_args=(), nothing_written=False,
                 refusals=0):
        self.name = name
        self.drives = drives
        self.answers = answers
        self.rc = rc
        self.flashed = flashed           # per drive, in /dev/sr order
        self.sim_drives = drives if sim_drives is None else sim_drives
        self.terminal = terminal
        self.notices = notices           # regexes, each matching one stderr line
        self.env = env
        self.sim_args = sim_args
        self.nothing_written = nothing_written  # not one WRITE BUFFER reaches a drive
        self.refusals = refusals                # SG_IO calls the kernel refused


SCENARIOS = [
    Scenario("answered yes: flashed", [ONE], ["y"], 0, [True]),
    Scenario("answered no: nothing written", [ONE], ["n"], 0, [False], nothing_written=True),
    # Nobody to ask: the question is shown on stderr and answered no.
    Scenario("no terminal: nothing written", [ONE], ["n"], 0, [False], terminal=False,
             nothing_written=True),
    # One question for both drives ("update all?"), then both are flashed.
    Scenario("two drives: both flashed", [ONE, ONE], ["y"], 0, [True, True]),
    Scenario("a drive on F: only", [ONE + ",letter=F"], ["n"], 0, [False]),
    # No SCSI address from the kernel: usable all the same, as on Windows.
    Scenario("a drive without a SCSI address", [ONE + ",noaddr=1"], ["y"], 0, [True]),
    Scenario("Japanese console, cp932 bytes", [ONE], ["y"], 0, [True],
             env={"LC_ALL": "ja_JP.SJIS"}, sim_args=("--oemcp", "932")),
    # The drive's own failures come back through SG_IO with their sense; the
    # retry question is answered no, which ends the run with the drive in its
    # kernel, named on the console and by its device on stderr.
    Scenario("check condition on the third normal block", [ONE + ",fail=writebuf/7/f0@3:4/44/0"],
             ["y", "n"], 1, [False], notices=[LEFT_IN_KERNEL]),
    Scenario("a drive that never answers a block", [ONE + ",fail=writebuf/7/f0@2:timeout"],
             ["y", "n"], 1, [False], notices=[LEFT_IN_KERNEL]),
    # Found in its kernel, its drive information unreadable: left there, and
    # the run does not end as a success.
    Scenario("a drive found in its kernel, unreadable", [ONE + ",kernel=1,fail=readbuf/2/f1@0:timeout"],
             [], 1, [False], notices=[LEFT_IN_KERNEL]),
    # The kernel refuses WRITE BUFFER to an unprivileged process: on Windows'
    # terms a failed call with no status and no sense, which the simulator
    # gives as a transport failure. The kernel-mode switch fails, which ends
    # the run; a switch that failed so may have been taken, so the drive is
    # named as possibly left in its kernel.
    Scenario("kernel refuses WRITE BUFFER", [ONE + ",eperm=writebuf@0"], ["y"], 1, [False],
             nothing_written=True, refusals=1,
             sim_drives=[ONE + ",fail=writebuf@0:transport"],
             notices=[r"^odflsh: the kernel refused to send WRITE BUFFER to /dev/sr0 "
                      r"\(Operation not permitted\): " + ROOT, LEFT_IN_KERNEL]),
    Scenario("second drive refused, first flashed",
             [ONE, ONE + ",eperm=writebuf@0"], ["y"], 1, [True, False], refusals=1,
             sim_drives=[ONE, ONE + ",fail=writebuf@0:transport"],
             notices=[r"^odflsh: the kernel refused to send WRITE BUFFER to /dev/sr1 ",
                      r"^odflsh: the device No\.2 \(/dev/sr1\) is still in its update kernel\.$"]),
    # Refused twice (discovery, then the procedure), told once.
    Scenario("kernel refuses READ BUFFER", [ONE + ",eperm=readbuf@0"], [], 0, [False],
             sim_drives=[ONE + ",fail=readbuf@0:transport"], nothing_written=True, refusals=2,
             notices=[r"^odflsh: the kernel refused to send READ BUFFER to /dev/sr0 "]),
    # A drive that does not open is no drive; a refused open says why.
    Scenario("open not permitted", [ONE + ",open=eacces"], [], 1, [False], sim_drives=[],
             nothing_written=True,
             notices=[r"^odflsh: cannot open /dev/sr0 \(Permission denied\): " + ROOT]),
    Scenario("drive busy", [ONE + ",open=ebusy", ONE], ["n"], 0, [False, False],
             sim_drives=[ONE + ",letter=E"],
             notices=[r"^odflsh: cannot open /dev/sr0 \(Device or resource busy\)\.$"]),
]


class ProgramRuns(ProgramCase):

    def test_scenarios_match_the_simulator(self):
        for s in SCENARIOS:
            with self.subTest(s.name):
                run = self.run_odflsh(s.drives, s.answers, terminal=s.terminal, env=s.env)
                sim = self.run_sim(s.sim_drives, s.answers, s.sim_args)
                self.assertEqual(run.stdout, sim.stdout)
                self.assertEqual(run.rc, s.rc)
                self.assertEqual(sim.rc, s.rc)
                self.assertEqual(run.questions, len(s.answers))
                self.assertEqual(sim.questions, len(s.answers))
                self.assertEqual(len(run.state), len(s.flashed))
                for line, flashed in zip(run.state, s.flashed):
                    if flashed:
                        self.assert_flashed(line)
                    else:
                        self.assert_untouched(line)
                if s.sim_drives is s.drives:
                    self.assertEqual(run.state, sim.state)
                if s.nothing_written:
                    self.assertEqual(run.commands("3B"), [])
                self.assertEqual(len([line for line in run.trace if "refused: EPERM" in line]),
                                 s.refusals)
                self.check_notices(run, s.notices)

    def check_notices(self, run, notices):
        lines = stderr_notices(run.stderr)
        self.assertEqual(len(lines), len(notices), lines)
        for pattern in notices:
            self.assertEqual(len([line for line in lines if re.search(pattern, line)]), 1,
                             (pattern, lines))

    def test_answers_stay_off_standard_output(self):
        # The question and its prompt reach the person on the terminal only.
        run = self.run_odflsh([ONE], ["n"])
        self.assertIn(b"Do you want to update the F/W", run.stderr)
        self.assertIn(b"[y/n] ", run.stderr)
        self.assertNotIn(b"Do you want", run.stdout)
        self.assertNotIn(b"[y/n]", run.stdout)


if __name__ == "__main__":
    unittest.main()
