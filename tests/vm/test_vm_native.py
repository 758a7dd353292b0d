"""The native odflsh on the test machine, sending SG_IO to the Linux kernel's
own SCSI stack: the kernel's emulated device (scsi_debug) and simulated
drives served through the kernel's target in user space (odflsh-tcmu). Each
run is compared with odflsh-sim on the pass-through route: the same stdout
bytes, the same exit code, and the same commands, one SG_IO call each, in
the same order, with the sr driver's own commands set aside."""

import os
import re
import unittest

from vmtest import NO_TARGET, ON_TERMINAL, QBC850, QBC850_SHORT_VENDOR, VmCase

PROGRAM = os.environ.get("ODFLSH_PROGRAM", "")
ROOT = r"updating drive firmware needs root"
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]


class NativeCase(VmCase):
    def setUp(self):
        super().setUp()
        if not PROGRAM or not os.path.exists(PROGRAM):
            self.fail("ODFLSH_PROGRAM does not name a file: %r" % PROGRAM)


class KernelDevice(NativeCase):
    """scsi_debug: a CD-ROM the kernel itself answers for."""

    def test_a_cdrom_of_another_maker_is_no_target(self):
        run = self.run_vm([PROGRAM], scsi_debug="ptype=5")
        self.assertEqual(run.stdout, NO_TARGET)
        self.assertEqual(run.rc, 1)
        # Discovery reads every drive's information before it matches the identity.
        calls, _ = run.calls("odflsh")
        self.assertEqual([c[0] for c in calls],
                         ["12 00 00 00 60 00", "3c 02 f1 00 00 00 00 00 30 00"])
        self.assertFalse([cdb for cdb in run.trace if cdb.startswith("3b")])

    def inquiry_and_program(self, params):
        run = self.run_vm(["sh", "-c", "sg_inq --raw /dev/sr0 >inquiry.bin; exec " + PROGRAM],
                          scsi_debug=params)
        with open(os.path.join(self.work, "inquiry.bin"), "rb") as f:
            return run, f.read()

    def test_the_qbc850_identity_whose_drive_information_is_refused(self):
        # scsi_debug has no READ BUFFER: every one ends ILLEGAL REQUEST,
        # INVALID COMMAND OPERATION CODE, as odflsh-sim's drive is told to.
        run, inquiry = self.inquiry_and_program(QBC850)
        self.assertEqual(inquiry[8:36], b"KESTREL BD-ROM  QBC-850 1.00")
        sim = self.run_sim(["qbc850,fail=readbuf@0:5/20/0"])
        self.assertEqual(run.stdout, sim.stdout)
        self.assertTrue(run.stdout.endswith(b"\nFailed to get a drive information."))
        self.assertEqual(run.rc, sim.rc)
        self.assert_same_commands(run, "odflsh", sim)

    def test_a_vendor_shorter_than_its_field_is_no_match(self):
        # scsi_debug ends a short vendor with a zero byte, not blanks; the
        # identity is compared over its full width, so this is another maker.
        run, inquiry = self.inquiry_and_program(QBC850_SHORT_VENDOR)
        self.assertEqual(inquiry[8:16], b"KESTREL\0")
        self.assertEqual(run.stdout, NO_TARGET)
        self.assertEqual(run.rc, 1)

    def test_an_unprivileged_user_is_told_to_be_root(self):
        run = self.run_vm(NOBODY + [PROGRAM], scsi_debug=QBC850)
        self.assertEqual(run.stdout, NO_TARGET)
        self.assertEqual(run.rc, 1)
        notices = [line for line in run.stderr.decode("latin-1").splitlines()
                   if line.startswith("odflsh:")]
        self.assertEqual(len(notices), 1, notices)
        self.assertRegex(notices[0], r"^odflsh: cannot open /dev/sr0 \(Permission denied\): " + ROOT)
        self.assertEqual(run.calls("odflsh")[0], [])


class WholeFlash(NativeCase):
    """odflsh-tcmu: a simulated QBC-850 answering the kernel's own commands."""

    def flash(self, drive, answers):
        run = self.run_vm(["python3", ON_TERMINAL, ",".join(answers), PROGRAM], drives=[drive])
        sim = self.run_sim([drive], answers)
        self.assertEqual(run.stdout, sim.stdout)
        self.assertEqual(run.rc, sim.rc)
        self.assertEqual(run.stderr.count(b"[y/n] "), len(answers))
        self.assert_same_commands(run, "odflsh", sim)
        return run, sim

    def test_answered_yes_the_drive_holds_the_image(self):
        run, sim = self.flash("qbc850", ["y"])
        self.assertEqual(run.rc, 0)
        self.assertEqual(len(run.state), 1)
        self.assert_flashed(run.state[0])
        self.assertEqual(run.state, sim.state)

    def test_a_failed_block_leaves_the_drive_not_updated(self):
        run, sim = self.flash("qbc850,fail=writebuf/7/f0@3:4/44/0", ["y", "n"])
        self.assertEqual(run.rc, 1)
        self.assertNotIn(b"Update operation is completed", run.stdout)
        self.assertEqual(run.state, sim.state)
        self.assertRegex(run.state[0], r" rev 1\.00 .* image 0 bytes")


if __name__ == "__main__":
    unittest.main()
