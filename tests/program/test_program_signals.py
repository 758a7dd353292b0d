"""The real Linux odflsh under signals, on a simulated drive served through
SG_IO. A signal sent while the drive takes its update (between two blocks of
the image, or while it restarts on its new firmware) must not end the
program: the drive ends on the new firmware with the whole image, the console
is the one of a run without the signal, and the exit code is 128 + the
signal's number. Outside that window a signal keeps its default action. A
standard output nobody reads any more must not end the program either, and a
second odflsh must leave a drive being updated alone.

The signal is timed by the fixture's trace, not by sleeping: a command of the
update is paused in the preload library (pause=...) until the test has sent
the signal and created the resume file, so the signal always arrives inside
the update however loaded the machine is."""

import os
import re
import signal
import subprocess
import unittest

from progtest import PROGRAM, ProgramCase
from progtest import notices as progtest_notices

ONE = "qbc850,rev=1.00,date=07/12/01"
NORMAL_BLOCK = r"^cmd +\d+ ms \S+ +3B 07 F0 "
NORMAL_SWITCH = r"^cmd +\d+ ms \S+ +3B 05 FF "
INQUIRY = r"^cmd +\d+ ms \S+ +12 "
HELD_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT)


class SignalAt:
    """Sends `signum` once a trace line matches `pattern`, then lets the
    paused command go on."""

    def __init__(self, case, pattern, signum):
        self.case = case
        self.pattern = re.compile(pattern)
        self.signum = signum
        self.sent = False

    def __call__(self, process):
        if self.sent:
            return
        trace = os.path.join(self.case.work, "trace.txt")
        if not any(self.pattern.search(line) for line in _lines(trace)):
            return
        process.send_signal(self.signum)
        self.sent = True
        with open(os.path.join(self.case.work, "resume"), "w"):
            pass


def _lines(path):
    if not os.path.exists(path):
        return []
    with open(path, encoding="latin-1") as f:
        return f.read().splitlines()


def notices(run):
    return progtest_notices(run.stderr)


class ProgramSignals(ProgramCase):

    def reference(self):
        """A run without a signal: its console, and the number of the
        INQUIRY that reads the new revision (the first after the switch)."""
        run = self.run_odflsh([ONE], ["y"])
        self.assertEqual(run.rc, 0)
        commands = [line for line in run.trace if line.startswith("cmd ")]
        switch = next(i for i, line in enumerate(commands) if re.search(NORMAL_SWITCH, line))
        before = sum(1 for line in commands[:switch] if re.search(INQUIRY, line))
        return run, before + 1

    def test_held_signals_let_the_update_finish(self):
        reference, read_back = self.reference()
        moments = (
            # Paused before the 20th normal block: 19 blocks are in the drive.
            ("between blocks", "pause=writebuf/7/f0@20", " paused"),
            # Sent as the switch back goes out; the read-back after the
            # restart wait is paused so the signal cannot come later.
            ("restart wait", "pause=inquiry@%d" % read_back, NORMAL_SWITCH),
        )
        for name, pause, when in moments:
            for signum in HELD_SIGNALS:
                with self.subTest(name, signal=signum.name):
                    sender = SignalAt(self, when, signum)
                    run = self.run_odflsh([ONE + "," + pause], ["y"], during=sender)
                    self.assertTrue(sender.sent)
                    self.assertEqual(run.rc, 128 + signum)
                    self.assertEqual(run.stdout, reference.stdout)
                    self.assertEqual(len(run.state), 1)
                    self.assert_flashed(run.state[0])
                    self.assertEqual(len(run.commands("3B 07 F0")),
                                     len(reference.commands("3B 07 F0")))
                    told = notices(run)
                    self.assertEqual(len(told), 1, told)
                    self.assertRegex(told[0], r"^odflsh: %s received: the update of this drive "
                                              r"is being finished" % signum.name)

    def test_a_signal_before_the_update_ends_the_program(self):
        # At the second INQUIRY the drive has not been asked anything that
        # changes it; the default action ends the process there.
        for signum in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal=signum.name):
                sender = SignalAt(self, " paused", signum)
                run = self.run_odflsh([ONE + ",pause=inquiry@2"], ["y"], during=sender)
                self.assertTrue(sender.sent)
                self.assertEqual(run.rc, -signum)
                self.assertEqual(notices(run), [])
                self.assertEqual(len(run.state), 1)
                self.assert_untouched(run.state[0])
                self.assertEqual(run.commands("3B"), [])

    def test_a_closed_standard_output_does_not_stop_the_flash(self):
        reference, _ = self.reference()
        kept = os.path.join(self.work, "head.out")
        with open(kept, "wb") as sink:
            head = subprocess.Popen(["head", "-c", "400"], stdin=subprocess.PIPE, stdout=sink)
            try:
                run = self.run_odflsh([ONE], ["y"], out=head.stdin,
                                      during=lambda _: head.stdin.close())
            finally:
                head.stdin.close()
                head.wait()
        self.assertEqual(run.rc, 0)
        self.assertEqual(len(run.state), 1)
        self.assert_flashed(run.state[0])
        with open(kept, "rb") as f:
            self.assertEqual(f.read(), reference.stdout[:400])
        self.assertGreater(len(reference.stdout), 400)



# A drive whose switch back to its normal firmware always fails: every pass
# leaves it in its kernel and ends at the retry question.
STUCK = ONE + ",fail=writebuf/5/ff@0:4/44/0"
LEFT_IN_KERNEL = (b"\r\nThe device No.1 is still in its update kernel: run this program "
                  b"again to finish its update.")
TERMINATED = b"\r\nUpdate program is terminated by occuring an error.\r\n"
PASS_START = b"Now updating the firmware."
RETRY_TOPIC = "the question whether to retry the update"


class ProgramKernelLoop(ProgramCase):
    """A drive that stays in its kernel: --yes retries it a bounded number of
    times, and a signal anywhere in the loop ends the run at the next
    question instead of killing the process or being ignored."""

    def assert_left_in_kernel(self, run, rc, passes):
        self.assertEqual(run.rc, rc)
        self.assertEqual(run.stdout.count(PASS_START), passes)
        self.assertTrue(run.stdout.endswith(TERMINATED + LEFT_IN_KERNEL), run.stdout[-300:])
        self.assertRegex(run.state[0], r" mode kernel ")
        self.assertIn("odflsh: the device No.1 (/dev/sr0) is still in its update kernel.",
                      notices(run))

    def test_yes_retries_a_failing_drive_three_times(self):
        # The last fault fails the first normal block of every pass: the
        # loop that used to spin without a pause.
        for fault in ("writebuf/5/ff@0:4/44/0", "writebuf/7/f0@0:4/44/0"):
            with self.subTest(fault):
                drive = ONE + ",fail=" + fault
                run = self.run_odflsh([drive], terminal=False, args=["--yes"])
                self.assert_left_in_kernel(run, 1, 4)
                retries = [line for line in notices(run) if RETRY_TOPIC in line]
                self.assertEqual(retries[:3], ["odflsh: --yes answered Yes to %s." % RETRY_TOPIC] * 3)
                self.assertRegex(retries[3], r"^odflsh: answered No to %s: --yes retries a "
                                             r"drive's update at most 3 times\.$" % RETRY_TOPIC)
                self.assertEqual(len(retries), 4)
                # The console is the simulator's for the same answers.
                sim = self.run_sim([drive], ["y"] * 7 + ["n"])
                self.assertEqual(run.stdout, sim.stdout)
                self.assertEqual(sim.rc, 1)

    def test_a_signal_in_the_loop_ends_the_run_at_the_next_question(self):
        moments = (
            # The current-revision read of the second pass: between two
            # passes, where the signal used to kill the process outright.
            # The second pass stops at its first question.
            ("between passes", "pause=inquiry@6", "update this drive's firmware", 1),
            # A block of the second pass's transfer; the pass ends at the
            # retry question, which --yes would have answered Yes.
            ("in a retry's transfer", "pause=writebuf/7/f0@70", "retry the update", 2),
        )
        for name, pause, topic, passes in moments:
            for signum in (signal.SIGTERM, signal.SIGINT):
                with self.subTest(name, signal=signum.name):
                    sender = SignalAt(self, " paused", signum)
                    run = self.run_odflsh([STUCK + "," + pause], args=["--yes"], during=sender)
                    self.assertTrue(sender.sent)
                    self.assert_left_in_kernel(run, 128 + signum, passes)
                    told = notices(run)
                    self.assertIn("odflsh: answered No to the question whether to %s, as the "
                                  "program was interrupted." % topic, told)
                    self.assertEqual(len([t for t in told if "received" in t]), 1, told)

    def test_a_signal_at_a_waiting_question_answers_it_no(self):
        # A person has not answered the retry question yet when the signal
        # comes: the question is answered No and the run ends.
        def interrupt(process):
            process.send_signal(signal.SIGTERM)

        run = self.run_odflsh([STUCK], ["y", interrupt])
        self.assert_left_in_kernel(run, 128 + signal.SIGTERM, 1)
        self.assertEqual(run.questions, 2)
        self.assertIn("odflsh: answered No to %s, as the program was interrupted." % RETRY_TOPIC,
                      notices(run))


class ProgramDriveLock(ProgramCase):

    def test_a_second_odflsh_leaves_a_drive_being_updated_alone(self):
        # The first odflsh is paused in the middle of the transfer while a
        # second one, on the same drive (the same lock folder), runs whole.
        locks = os.path.join(self.work, "locks")
        os.mkdir(locks)
        second = {}

        def run_second(process):
            if second or not any(" paused" in line for line in
                                 _lines(os.path.join(self.work, "trace.txt"))):
                return
            env = self.fake_env([ONE], {"ODFLSH_FAKE_LOCKS": locks,
                                        "ODFLSH_FAKE_STATE": os.path.join(self.work, "2.state"),
                                        "ODFLSH_FAKE_TRACE": os.path.join(self.work, "2.trace")})
            second["run"] = subprocess.run([PROGRAM], stdin=subprocess.DEVNULL,
                                           capture_output=True, cwd=self.work, env=env,
                                           timeout=120)
            with open(os.path.join(self.work, "resume"), "w"):
                pass

        first = self.run_odflsh([ONE + ",pause=writebuf/7/f0@10"], ["y"], during=run_second,
                                env={"ODFLSH_FAKE_LOCKS": locks})
        self.assertEqual(first.rc, 0)
        self.assert_flashed(first.state[0])
        run = second["run"]
        told = progtest_notices(run.stderr)
        self.assertEqual(told, ["odflsh: /dev/sr0 is being updated by another odflsh (it holds "
                                "the drive's lock), so this drive is left alone."])
        # Not one command: the search for drives passes over it.
        self.assertEqual(run.returncode, 1)
        self.assertTrue(run.stdout.endswith(b"\r\nAvailable target is not found."), run.stdout)
        commands = [line for line in _lines(os.path.join(self.work, "2.trace"))
                    if line.startswith("cmd ")]
        self.assertEqual(commands, [])

        # Once the first has finished, the drive is free again.
        again = self.run_odflsh([ONE], ["n"], env={"ODFLSH_FAKE_LOCKS": locks})
        self.assertEqual(notices(again), [])
        self.assertIn(b"Current Revision", again.stdout)


if __name__ == "__main__":
    unittest.main()
