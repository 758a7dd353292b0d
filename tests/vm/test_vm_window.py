"""The native odflsh updating a simulated QBC-850 on the test machine set up
as a user's machine is: the kernel polls removable disks for media every 2 s
(systemd's udev rules set that default). From the switch of the drive into
its kernel to the read-back of its new revision the drive re-flashes its own
memory, and no command but the program's may reach it: the kernel's polling
is suspended for that time, and the value it had is back afterwards, after
a run killed outright there too. The commands the program did not send are
counted in the output for the record."""

import os
import unittest

from test_vm_native import PROGRAM, NativeCase
from vmtest import HERE, report, tally, update_window

DRIVE = "qbc850,rev=1.00"
POLL = "/sys/block/sr0/events_poll_msecs"
# The drive's media polling read before and after the program runs, and
# what the program left in its folder of records.
AROUND = ('cat %s >poll.before; "$@" </dev/null; rc=$?; cat %s >poll.after; '
          'ls -A /run/odflsh >records.after 2>/dev/null; exit $rc') % (POLL, POLL)
MEDIA_POLL = ["--media-poll", "2000"]
KILLED_RUN = os.path.join(HERE, "killed_run.sh")
GESN = "4a "


# sr checks for media right after each close of its device, within
# milliseconds; a kernel worker's check later than half the polling interval
# (2 s here) after the program's last command, or the return of its last
# call (a drive that restarts answers late), is the polling timer's.
LATE = 1.0


def polled(dispatches, call_ends, start, end):
    """The kernel workers' GET EVENT STATUS NOTIFICATIONs between start and
    end that the polling timer, not a close of the program's, set off."""
    found, last = [], dispatches[start].time
    for dispatch in dispatches[start + 1:end]:
        if dispatch.task.startswith("odflsh"):
            last = max(last, dispatch.time)
        elif dispatch.task.startswith("kworker/") and dispatch.cdb.startswith(GESN):
            last = max([last] + [t for t in call_ends if t <= dispatch.time])
            if dispatch.time - last > LATE:
                found.append(dispatch)
    return found


class UpdateWindow(NativeCase):
    def read(self, name):
        with open(os.path.join(self.work, name), encoding="latin-1") as f:
            return f.read().strip()

    def flash(self, options):
        run = self.run_vm(["sh", "-c", AROUND, "-", PROGRAM, "--yes"], drives=[DRIVE],
                          options=MEDIA_POLL + options)
        self.assertEqual(run.rc, 0, run.stderr.decode("latin-1"))
        self.assertEqual(len(run.state), 1)
        self.assert_flashed(run.state[0])
        self.assertEqual(self.read("poll.after"), self.read("poll.before"))
        self.assertEqual(self.read("records.after"), "")
        dispatches, foreign = run.dispatched(), run.foreign("odflsh")
        window = update_window(dispatches, foreign)
        self.assertIsNotNone(window, "no switch into the kernel and read-back INQUIRY in the trace")
        return run, dispatches, foreign, window

    def test_through_sg_the_drive_hears_only_the_program(self):
        run, dispatches, foreign, (start, end) = self.flash([])
        inside = [d for d, f in zip(dispatches[start + 1:end], foreign[start + 1:end]) if f]
        report("Commands odflsh did not send, whole run (sg):",
               tally([d for d, f in zip(dispatches, foreign) if f]))
        report("... from the switch into the kernel to the read-back (sg):", tally(inside))
        self.assertEqual(inside, [])

    def test_through_sr_the_polling_stays_suspended(self):
        run, dispatches, foreign, (start, end) = self.flash(["--no-sg"])
        notices = [line for line in run.stderr.decode("latin-1").splitlines()
                   if line.startswith("odflsh: ") and "through /dev/sr0" in line]
        self.assertEqual(len(notices), 1, run.stderr.decode("latin-1"))
        inside = [d for d, f in zip(dispatches[start + 1:end], foreign[start + 1:end]) if f]
        report("Commands odflsh did not send, whole run (sr, no sg module):",
               tally([d for d, f in zip(dispatches, foreign) if f]))
        report("... from the switch into the kernel to the read-back (sr):", tally(inside))
        self.assertEqual(polled(dispatches, run.call_ends("odflsh"), start, end), [])

    def test_a_run_killed_in_the_window_is_put_right_by_the_next(self):
        run = self.run_vm(["sh", KILLED_RUN, PROGRAM, "3"], drives=[DRIVE], options=MEDIA_POLL)
        report("A run killed in the window, then a second:",
               "  polling before %s, after the kill %s, after the second run %s; record: %s"
               % (self.read("poll.before"), self.read("poll.killed"), self.read("poll.after"),
                  self.read("record") or "none"))
        self.assertEqual(self.read("first.rc"), "137")
        self.assertEqual(self.read("poll.killed"), "0")
        self.assertRegex(self.read("record"), r"^/run/odflsh/sr0\.poll: ")
        self.assertEqual(run.rc, 0, run.stderr.decode("latin-1"))
        given_back = [line for line in run.stderr.decode("latin-1").splitlines()
                      if line.startswith("odflsh: ") and "polling of /dev/sr0" in line]
        self.assertEqual(len(given_back), 1, run.stderr.decode("latin-1"))
        # Killed during the transfer, the drive is in its kernel and the
        # second run finishes it; killed as it restarts (the kill lands late
        # on a loaded machine), it is already at the image's revision.
        self.assertTrue(b"\nUpdate operation is completed." in run.stdout or
                        b"\r\nFW is already latest." in run.stdout, run.stdout)
        self.assertEqual(self.read("poll.after"), self.read("poll.before"))
        self.assertEqual(self.read("record.after"), "")
        self.assert_flashed(run.state[0])


if __name__ == "__main__":
    unittest.main()
