"""The Windows program under Wine inside the test machine, on the
pass-through route: Wine's own SCSI pass-through (IOCTL_SCSI_PASS_THROUGH on
\\\\.\\D:, drive D: being the guest's /dev/sr0) sends SG_IO to the guest's
kernel. Each run is compared with odflsh-sim on the pass-through route, as
the native program's runs are: the same stdout bytes, exit code and commands.

Set by CTest: ODFLSH_EXE (odflsh.exe), ODFLSH_WINE_LOADER (the Wine loader
for its architecture), ODFLSH_VM_WINE (the folder that holds the prefix that
wine_prefix.sh made; the guest runs in it), and those of vmtest.py."""

import os
import shutil
import unittest

from vmtest import QBC850, VmCase, report, tally, update_window

EXE = os.environ.get("ODFLSH_EXE", "")
LOADER = os.environ.get("ODFLSH_WINE_LOADER", "")
WINE_FOLDER = os.environ.get("ODFLSH_VM_WINE", "")
BOXES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "wine_boxes.sh")
FONTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fonts.conf")
# Wine's threads carry the program's name; the kernel keeps its first 15 bytes.
TASK = "odflsh.exe"


class WindowsOnTheKernel(VmCase):
    guest_folder = WINE_FOLDER or None

    def setUp(self):
        if not WINE_FOLDER or not os.path.exists(os.path.join(WINE_FOLDER, "prefix", "system.reg")):
            self.fail("ODFLSH_VM_WINE holds no prefix (its CTest fixture makes it): %r" % WINE_FOLDER)
        if not EXE or not os.path.exists(EXE):
            self.fail("ODFLSH_EXE does not name a file: %r" % EXE)
        super().setUp()

    def in_wine(self, *command):
        # Every run starts from the prefix's first registry: a box that did not
        # open in one run must not be the next run's doing.
        for name in os.listdir(os.path.join(WINE_FOLDER, "registry")):
            shutil.copyfile(os.path.join(WINE_FOLDER, "registry", name),
                            os.path.join(WINE_FOLDER, "prefix", name))
        environment = ["env", "WINEPREFIX=" + os.path.join(WINE_FOLDER, "prefix"),
                       "HOME=" + os.path.join(WINE_FOLDER, "home"),
                       "FONTCONFIG_FILE=" + FONTS, "WINEDEBUG=-all"]
        return ["sh", "-c", 'cd "$1" && shift && exec "$@"', "-", self.work, *environment, *command]

    def test_the_qbc850_identity_whose_drive_information_is_refused(self):
        # Every run has the virtual display: after one without a display Wine
        # keeps its null display driver, and the next run's boxes never open.
        run = self.run_vm(self.in_wine("bash", BOXES, LOADER, EXE), scsi_debug=QBC850)
        sim = self.run_sim(["qbc850,fail=readbuf@0:5/20/0"])
        self.assertEqual(run.stdout, sim.stdout, run.stderr.decode("latin-1")[-3000:])
        self.assertEqual(run.rc, sim.rc)
        self.assertIn(b"boxes: 1", run.stderr)  # the notice
        self.assert_same_commands(run, TASK, sim)

    def test_answered_yes_the_drive_holds_the_image(self):
        # With the kernel's media polling of a user's machine (systemd's 2 s).
        run = self.run_vm(self.in_wine("bash", BOXES, LOADER, EXE), drives=["qbc850"],
                          options=["--media-poll", "2000"])
        sim = self.run_sim(["qbc850"], ["y"])
        self.assertEqual(run.stdout, sim.stdout, run.stderr.decode("latin-1")[-3000:])
        self.assertEqual(run.rc, 0)
        self.assertIn(b"boxes: 2", run.stderr)  # the question, then the notice
        self.assertEqual(len(run.state), 1)
        self.assert_flashed(run.state[0])
        self.assertEqual(run.state, sim.state)
        self.assert_same_commands(run, TASK, sim)
        # Wine opens the device for each command, and the kernel polls: the
        # drive hears both, which is only measured here.
        dispatches, foreign = run.dispatched(), run.foreign(TASK)
        report("Commands odflsh.exe did not send under Wine, whole run:",
               tally([d for d, f in zip(dispatches, foreign) if f]))
        window = update_window(dispatches, foreign)
        self.assertIsNotNone(window, "no switch into the kernel and read-back INQUIRY in the trace")
        start, end = window
        report("... from the switch into the kernel to the read-back:",
               tally([d for d, f in zip(dispatches[start + 1:end], foreign[start + 1:end]) if f]))


if __name__ == "__main__":
    unittest.main()
