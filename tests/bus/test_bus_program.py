"""The real Linux odflsh under the preload library, with logind's mock on a
private system bus: the sleep and shutdown inhibitor is held exactly through a
drive's update window, from the switch into update mode to the read-back of
the new revision, on success, on failure and with a held signal; without
logind or without a bus the program says so on one line and flashes all the
same.

What logind holds is looked at while a command is paused in the preload
library (pause=...) and while a question waits for its answer, so the moment
is exact however loaded the machine is."""

import os
import re
import signal
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "program"))

from bustest import WHAT, LogindBus, main  # noqa: E402
from progtest import ProgramCase  # noqa: E402

ONE = "qbc850,rev=1.00,date=07/12/01"
COMMAND = re.compile(r"^cmd +\d+ ms (\S+) +([0-9A-F]{2}) ([0-9A-F]{2}) ([0-9A-F]{2}) ")
NORMAL_SWITCH = ("3B", "05", "FF")
INQUIRY = "12"
# The words of the inhibitor's problems, which the program passes on.
PROBLEM_WORDS = ("system bus", "logind")


def commands(run):
    """(drive label, opcode, byte 1, byte 2) of each command that reached a drive."""
    found = []
    for line in run.trace:
        match = COMMAND.match(line)
        if match and "refused" not in line:
            found.append(match.groups())
    return found


def pause_key(sent, index):
    """The pause= key that holds the command sent[index] on its drive: its
    opcode (with mode and buffer for the buffer commands) and its occurrence."""
    buffer_command = sent[index][1] in ("3B", "3C")
    width = 4 if buffer_command else 2
    occurrence = sum(1 for c in sent[:index + 1] if c[:width] == sent[index][:width])
    return "pause=%s@%d" % ("/".join(sent[index][1:width]).lower(), occurrence)


def notices(run):
    return [line for line in run.stderr.decode("latin-1").splitlines()
            if line.startswith("odflsh:")]


def inhibitor_notices(run):
    return [line for line in notices(run) if any(word in line for word in PROBLEM_WORDS)]


class AtPauses:
    """While odflsh runs: at each paused command in turn, calls the next of
    `looks` (with the process), then lets the command go on; the resume file
    goes again once a later command shows the program past the pause."""

    def __init__(self, case, looks):
        self.case = case
        self.looks = list(looks)
        self.done = 0
        self.resumed_at = None

    def _lines(self):
        path = os.path.join(self.case.work, "trace.txt")
        if not os.path.exists(path):
            return []
        with open(path, encoding="latin-1") as f:
            return f.read().splitlines()

    def __call__(self, process):
        lines = self._lines()
        resume = os.path.join(self.case.work, "resume")
        if self.resumed_at is not None and len(lines) > self.resumed_at + 1:
            os.remove(resume)
            self.resumed_at = None
        if self.resumed_at is not None or self.done == len(self.looks):
            return
        paused = [i for i, line in enumerate(lines) if line.endswith("  paused")]
        if len(paused) <= self.done:
            return
        self.looks[self.done](process)
        self.done += 1
        self.resumed_at = paused[self.done - 1]
        with open(resume, "w"):
            pass


class InhibitorWindow(ProgramCase, LogindBus):

    def setUp(self):
        super().setUp()
        self.seen = []

    def fake_env(self, drives, extra=None):
        # The class's private bus, unless a test names another.
        bus = {"DBUS_SYSTEM_BUS_ADDRESS": os.environ["DBUS_SYSTEM_BUS_ADDRESS"]}
        return super().fake_env(drives, {**bus, **(extra or {})})

    def look(self, name):
        """A look that records what logind holds as `name`."""
        def record(_process):
            self.seen.append((name, self.inhibitors()))
        return record

    def answer_after_look(self, name, answer):
        def respond(process):
            self.look(name)(process)
            return answer
        return respond

    def assert_held(self, name, held):
        found = dict(self.seen)[name]
        if not held:
            self.assertEqual(found, [], name)
            return
        self.assertEqual(len(found), 1, (name, found))
        what, who, why, mode = found[0]
        self.assertEqual((what, mode), (WHAT, "block"), name)
        self.assertIn("odflsh", who + why, name)
        self.assertIn("/dev/sr0", who + why, name)

    def reference(self, count):
        """`count` drives flashed without a pause, logind looked at while the
        question waits; the commands they received."""
        run = self.run_odflsh([ONE] * count, [self.answer_after_look("question", "y")])
        self.assertEqual(run.rc, 0)
        self.assertEqual(len(run.state), count)
        for line in run.state:
            self.assert_flashed(line)
        self.assertEqual(inhibitor_notices(run), [])
        self.assert_held("question", False)
        self.wait_for_inhibitors([])
        return commands(run)

    def test_held_from_the_switch_to_the_read_back(self):
        self.start_logind()
        sent = self.reference(2)
        first = sent[0][0]
        own = [i for i, c in enumerate(sent) if c[0] == first]
        switch_back = next(i for i in own if sent[i][1:] == NORMAL_SWITCH)
        read_back = next(i for i in own if i > switch_back and sent[i][1] == INQUIRY)
        next_drive = next(i for i, c in enumerate(sent) if i > read_back and c[0] != first)
        switch_in = next(i for i in own if sent[i][1] == "3B")
        ready = max(i for i in own if i < switch_in and sent[i][1] == "00")
        block = [i for i in own if sent[i][1:] == ("3B", "07", "F0")][19]
        moments = (
            # (name, the paused command, whether the lock is held there)
            ("the ready check before the switch", ready, False),
            ("the switch into update mode", switch_in, True),
            ("the 20th image block", block, True),
            ("the read-back of the new revision", read_back, True),
            ("the next drive's first command after the window", next_drive, False),
        )
        for name, index, held in moments:
            with self.subTest(name):
                drives = [ONE, ONE]
                slot = 0 if sent[index][0] == first else 1
                drives[slot] += "," + pause_key(sent, index)
                watcher = AtPauses(self, [self.look(name)])
                run = self.run_odflsh(drives, ["y"], during=watcher)
                self.assertEqual(watcher.done, 1)
                self.assertEqual(run.rc, 0)
                self.assert_held(name, held)
                self.wait_for_inhibitors([])

    def test_released_before_the_retry_question_of_a_failed_pass(self):
        self.start_logind()
        drive = ONE + ",fail=writebuf/7/f0@3:4/44/0,pause=3b/07/f0@3"
        watcher = AtPauses(self, [self.look("the failing block")])
        run = self.run_odflsh([drive], ["y", self.answer_after_look("the retry question", "n")],
                              during=watcher)
        self.assertEqual(run.rc, 1)
        self.assertEqual(run.questions, 2)
        self.assert_untouched(run.state[0])
        self.assert_held("the failing block", True)
        self.assert_held("the retry question", False)
        self.assertEqual(inhibitor_notices(run), [])
        self.wait_for_inhibitors([])

    def test_a_held_signal_keeps_it_until_the_pass_ends(self):
        self.start_logind()
        sent = self.reference(1)
        own = [i for i, c in enumerate(sent) if c[0] == sent[0][0]]
        switch_back = next(i for i in own if sent[i][1:] == NORMAL_SWITCH)
        read_back = next(i for i in own if i > switch_back and sent[i][1] == INQUIRY)

        def terminate(process):
            process.send_signal(signal.SIGTERM)
            time.sleep(0.3)  # its handler has run by now
            self.look("after the signal")(process)

        watcher = AtPauses(self, [terminate, self.look("the read-back after the signal")])
        drive = ONE + ",pause=3b/07/f0@20," + pause_key(sent, read_back)
        run = self.run_odflsh([drive], ["y"], during=watcher)
        self.assertEqual(watcher.done, 2)
        self.assertEqual(run.rc, 128 + signal.SIGTERM)
        self.assert_flashed(run.state[0])
        self.assert_held("after the signal", True)
        self.assert_held("the read-back after the signal", True)
        self.wait_for_inhibitors([])

    def test_without_logind_or_a_bus_one_line_and_the_update_goes_on(self):
        cases = (
            # (name, the bus's address or None for the class's bus, what the line says)
            ("no logind on the bus", None, r"logind is not running \("),
            ("no system bus", "unix:path=/nonexistent/odflsh-bus", r"no system bus \("),
        )
        for name, address, problem in cases:
            with self.subTest(name):
                env = {"DBUS_SYSTEM_BUS_ADDRESS": address} if address else {}
                run = self.run_odflsh([ONE], ["y"], env=env)
                self.assertEqual(run.rc, 0)
                self.assert_flashed(run.state[0])
                told = inhibitor_notices(run)
                self.assertEqual(len(told), 1, notices(run))
                self.assertRegex(told[0], r"^odflsh: .*" + problem)


if __name__ == "__main__":
    main()
