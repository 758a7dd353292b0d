"""What the real Linux odflsh does to the machine around a drive's update,
under the preload library (which stands in for the drive's sr and sg nodes,
its "generic" link in sysfs, its polling attribute and /run/odflsh):
commands go through the SCSI generic node, and the sr device, where each
open and close brings the kernel's own commands, is opened only outside the
update window; the kernel's media polling of the drive is 0 inside the
window and given back after it, by the run itself or, when the run was
killed, by the next one. Where the generic node or the polling cannot be
had, one line says so and the update goes on."""
import os
import re
import signal
import unittest

from progtest import ProgramCase, notices

ONE = "qbc850,rev=1.00,date=07/12/01"
KERNEL_SWITCH = re.compile(r"^cmd +\d+ ms \S+ +3B 04 ")
INQUIRY = re.compile(r"^cmd +\d+ ms \S+ +12 ")
FALLBACK = "so commands go through /dev/sr0, where the kernel adds commands of its own"


def window(trace):
    """The trace lines from the switch into the kernel to the last INQUIRY (the read-back)."""
    start = next(i for i, line in enumerate(trace) if KERNEL_SWITCH.search(line))
    end = max(i for i, line in enumerate(trace) if INQUIRY.search(line))
    return trace[start:end + 1]


class Look:
    """Once a command is paused inside the window: the drive's polling and
    its record as they are then; then the command goes on, or the program
    is killed."""

    def __init__(self, case, kill=False):
        self.case = case
        self.kill = kill
        self.polling = None
        self.record = None

    def __call__(self, process):
        if self.polling is not None or not any(line.endswith(" paused") for line in self.case.trace()):
            return
        self.polling = self.case.polling()
        record = os.path.join(self.case.sysfs, "run", "sr0.poll")
        if os.path.exists(record):
            with open(record) as f:
                self.record = f.read()
        if self.kill:
            process.send_signal(signal.SIGKILL)
        with open(os.path.join(self.case.work, "resume"), "w"):
            pass


class QuietDrive(ProgramCase):

    def trace(self):
        path = os.path.join(self.work, "trace.txt")
        if not os.path.exists(path):
            return []
        with open(path, encoding="latin-1") as f:
            return f.read().splitlines()

    def polling(self):
        with open(os.path.join(self.sysfs, "sr0.events_poll_msecs")) as f:
            return f.read()

    def set_polling(self, value):
        with open(os.path.join(self.sysfs, "sr0.events_poll_msecs"), "w") as f:
            f.write(value)

    def test_the_window_reaches_the_drive_only_through_its_generic_node(self):
        self.set_polling("2000\n")
        look = Look(self)
        run = self.run_odflsh([ONE + ",pause=writebuf/7/f0@20"], ["y"], during=look)
        self.assertEqual(run.rc, 0, run.stderr)
        self.assert_flashed(run.state[0])
        # The commands went to sg0; sr0 was opened (for the lock, and by
        # discovery) only outside the window.
        self.assertIn("open /dev/sg0", run.trace)
        self.assertEqual([line for line in window(run.trace) if line.startswith("open /dev/sr")], [])
        self.assertEqual(notices(run.stderr), [])
        # Inside: polling off, the value found on record; after: given back.
        self.assertEqual(look.polling, "0\n")
        self.assertRegex(look.record or "", r"^events_poll_msecs=2000\npid=\d+\n$")
        self.assertEqual(self.polling(), "2000\n")
        self.assertFalse(os.path.exists(os.path.join(self.sysfs, "run", "sr0.poll")))

    def test_without_the_generic_node_the_sr_device_carries_the_commands(self):
        cases = (
            ("no sg module", "sg=0", "/dev/sr0 has no SCSI generic node (is the sg module loaded?), "),
            ("sg refused", "sg=eacces", "cannot open /dev/sg0 (Permission denied), "),
        )
        for name, key, reason in cases:
            with self.subTest(name):
                run = self.run_odflsh([ONE + "," + key], ["y"])
                self.assertEqual(run.rc, 0, run.stderr)
                self.assert_flashed(run.state[0])
                self.assertEqual(notices(run.stderr), ["odflsh: " + reason + FALLBACK + " at each open and close."])
                self.assertEqual(self.polling(), "-1\n")  # suspended and given back all the same

    def test_polling_that_cannot_be_suspended_is_told_once(self):
        run = self.run_odflsh([ONE], ["y"], env={"ODFLSH_FAKE_SYSFS_READONLY": "1"})
        self.assertEqual(run.rc, 0, run.stderr)
        self.assert_flashed(run.state[0])
        told = notices(run.stderr)
        self.assertEqual(len(told), 1, told)
        self.assertRegex(told[0], r"^odflsh: cannot suspend the kernel's media polling of /dev/sr0 "
                                  r"\(cannot write /sys/block/sr0/events_poll_msecs \(Permission denied\)\)")

    def test_a_killed_run_leaves_a_record_the_next_run_gives_back(self):
        self.set_polling("2000\n")
        look = Look(self, kill=True)
        killed = self.run_odflsh([ONE + ",pause=writebuf/7/f0@20"], ["y"], during=look)
        self.assertEqual(killed.rc, -signal.SIGKILL)
        self.assertEqual(look.polling, "0\n")
        self.assertEqual(self.polling(), "0\n")
        self.assertIsNotNone(look.record)
        self.assertRegex(killed.state[0], r" mode kernel ")

        # The next run gives the value back before anything else and
        # recovers the drive from its kernel.
        again = self.run_odflsh([ONE], terminal=False, args=("--yes",))
        self.assertEqual(again.rc, 0, again.stderr)
        self.assertEqual(notices(again.stderr)[0],
                         "odflsh: gave back the media polling of /dev/sr0 (2000 ms), which an "
                         "odflsh run that ended early had left suspended.")
        self.assert_flashed(again.state[0])
        self.assertEqual(self.polling(), "2000\n")
        self.assertFalse(os.path.exists(os.path.join(self.sysfs, "run", "sr0.poll")))


if __name__ == "__main__":
    unittest.main()
