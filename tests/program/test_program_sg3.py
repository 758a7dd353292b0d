"""The simulated device nodes cross-checked with an independent SCSI client:
Debian's sg3-utils (sg_inq, sg_raw, sg_turs) run under libodflsh_fakesg.so
must see the simulated drive as a real one: its identity, its drive
information, its not-ready states, and injected failures decoded as injected.
Skipped (exit code 77) when sg3-utils is not installed."""

import os
import re
import shutil
import subprocess
import sys
import unittest

from progtest import ProgramCase, TIME_LIMIT, file_lines

CLIENTS = ("sg_inq", "sg_raw", "sg_turs")
DRIVE_INFO = ["sg_raw", "-r", "48", "/dev/sr0",
              "3c", "02", "f1", "00", "00", "00", "00", "00", "30", "00"]
MODE_BLOCK_CDB = ["3b", "04", "ff", "00", "00", "00", "00", "01", "00", "00"]


class Client:
    def __init__(self, rc, stdout, stderr, state, trace):
        self.rc = rc
        self.stdout = stdout
        self.stderr = stderr
        self.output = stdout + stderr
        self.state = state
        self.trace = trace


def dumped_bytes(text):
    """The data of sg_raw's hexadecimal dump (on its stderr): lines of an
    offset, then a 49-column field of up to sixteen bytes in two groups of
    eight, then the same bytes as text."""
    data = bytearray()
    for line in text.splitlines():
        match = re.match(r"^ [0-9a-f]+ {5}(.*)$", line)
        if match:
            data += bytes(int(h, 16) for h in match.group(1)[:49].split())
    return bytes(data)


class Sg3Utils(ProgramCase):

    def client(self, command, drives):
        self._reset_fixture_files()
        done = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True,
                              cwd=self.work, env=self.fake_env(drives), timeout=TIME_LIMIT)
        return Client(done.returncode, done.stdout.decode("latin-1"),
                      done.stderr.decode("latin-1"),
                      file_lines(os.path.join(self.work, "state.txt")),
                      file_lines(os.path.join(self.work, "trace.txt")))

    def test_sg_inq_shows_the_simulated_identity(self):
        cases = [
            # drives, device, vendor, product, revision
            (["qbc850,rev=1.00"], "/dev/sr0", "KESTREL ", "BD-ROM  QBC-850 ", "1.00"),
            (["qbc850,rev=1.04,date=08/01/10"], "/dev/sr0", "KESTREL ", "BD-ROM  QBC-850 ", "1.04"),
            # A drive left in its kernel part answers with the kernel's identity.
            (["qbc850,kernel=1"], "/dev/sr0", "KESTREL ", "BD-RW   QBW-610 ", "0001"),
            (["qbc850", "qbc850,rev=1.02"], "/dev/sr1", "KESTREL ", "BD-ROM  QBC-850 ", "1.02"),
        ]
        for drives, device, vendor, product, revision in cases:
            with self.subTest(drives=drives, device=device):
                run = self.client(["sg_inq", device], drives)
                self.assertEqual(run.rc, 0, run.output)
                self.assertIn("PDT=5", run.output)
                self.assertIn(" Vendor identification: %s\n" % vendor, run.output)
                self.assertIn(" Product identification: %s\n" % product, run.output)
                self.assertIn(" Product revision level: %s\n" % revision, run.output)
                # sg_inq's own request, as the drive received it.
                self.assertRegex(run.trace[1], r" 12 00 00 00 24 00  in 36 ")

    def test_sg_inq_finds_no_drive_where_there_is_none(self):
        run = self.client(["sg_inq", "/dev/sr1"], ["qbc850"])
        self.assertNotEqual(run.rc, 0)
        self.assertIn("No such file or directory", run.output)

    def test_sg_raw_reads_the_48_byte_drive_information(self):
        cases = [
            # drive, hardware revision (16-23), signature (24-31), normal part's model (32-39)
            ("qbc850", b"QBC 0100", b"KES_ADV ", b"QBC-850 "),
            ("qbc850,hw=QBC 0200,sig=KES_X,normal=QBC-851", b"QBC 0200", b"KES_X   ", b"QBC-851 "),
            # Only the kernel part runs: the model name starts with a blank.
            ("qbc850,kernel=1", b"QBC 0100", b"KES_ADV ", b"        "),
        ]
        for drive, hardware, signature, normal in cases:
            with self.subTest(drive=drive):
                run = self.client(DRIVE_INFO, [drive])
                self.assertEqual(run.rc, 0, run.output)
                self.assertIn("SCSI Status: Good", run.output)
                expected = bytes(16) + hardware + signature + normal + bytes(8)
                self.assertEqual(dumped_bytes(run.output), expected)
                self.assertRegex(run.trace[1], r" 3C 02 F1 00 00 00 00 00 30 00  in 48 ")

    def test_sg_turs_sees_the_not_ready_states(self):
        cases = [
            # drive, sg3 exit status, sense key, additional sense
            ("qbc850", 2, "Not Ready", "Medium not present"),
            ("qbc850,ready=becoming", 2, "Not Ready",
             "Logical unit is in process of becoming ready"),
            ("qbc850,ready=notready", 2, "Not Ready",
             "Logical unit not ready, initializing command required"),
            ("qbc850,disc=1,ua=1", 6, "Unit Attention",
             "Power on, reset, or bus device reset occurred"),
            ("qbc850,disc=1", 0, None, None),
        ]
        for drive, rc, key, asc in cases:
            with self.subTest(drive=drive):
                run = self.client(["sg_turs", "-v", "/dev/sr0"], [drive])
                self.assertEqual(run.rc, rc, run.output)
                if key is None:
                    self.assertNotIn("Sense key", run.output)
                else:
                    self.assertIn("Sense key: %s\n" % key, run.output)
                    self.assertIn("Additional sense: %s\n" % asc, run.output)

    def test_injected_check_conditions_decode_as_injected(self):
        cases = [
            # fault (KEY/ASC/ASCQ), sg3 exit status, sense key, additional sense
            ("3/11/0", 3, "Medium Error", "Unrecovered read error"),
            ("5/24/0", 5, "Illegal Request", "Invalid field in cdb"),
            ("2/3a/0", 2, "Not Ready", "Medium not present"),
            # sg3-utils gives medium and hardware errors one exit status.
            ("4/44/0", 3, "Hardware Error", "Internal target failure"),
            ("6/29/0", 6, "Unit Attention", "Power on, reset, or bus device reset occurred"),
        ]
        for fault, rc, key, asc in cases:
            with self.subTest(fault=fault):
                run = self.client(DRIVE_INFO, ["qbc850,fail=readbuf/2/f1:" + fault])
                self.assertEqual(run.rc, rc, run.output)
                self.assertIn("SCSI Status: Check Condition", run.output)
                self.assertIn("Sense key: %s\n" % key, run.output)
                self.assertIn("Additional sense: %s\n" % asc, run.output)

    def test_failures_below_the_drive_are_not_drive_answers(self):
        cases = [
            # kernel or drive setting, what sg_raw reports
            ("eperm=readbuf@0", r"Operation not permitted"),
            ("fail=readbuf:timeout", r"Host_status=0x03 \[DID_TIME_OUT\]"),
            ("fail=readbuf:transport", r"Host_status=0x07 \[DID_ERROR\]"),
        ]
        for setting, report in cases:
            with self.subTest(setting=setting):
                run = self.client(DRIVE_INFO, ["qbc850," + setting])
                self.assertNotEqual(run.rc, 0)
                self.assertRegex(run.output, report)
                self.assertNotIn("Sense key", run.output)
                self.assertEqual(dumped_bytes(run.output), b"")

    def test_a_mistaken_drive_setting_stops_the_client_at_once(self):
        # A fixture that ignored a typo would let a test pass without its fault.
        run = self.client(["sg_turs", "/dev/sr0"], ["qbc850,eperm=writebuff@0"])
        self.assertEqual(run.rc, 99)
        self.assertIn("odflsh_fakesg: ODFLSH_FAKE_DRIVES: eperm=writebuff@0", run.stderr)
        self.assertEqual(run.trace, [])

    def test_data_sent_by_sg_raw_reaches_the_drive(self):
        # The kernel-mode switch with the built-in checksum moves the drive into
        # its kernel part; with a wrong checksum it refuses the parameter list.
        good = b"KESTREL  QBW-610" + bytes([0xB9, 0xD8, 0x3A, 0xC2])
        cases = [(good, 0, "mode kernel"), (good[:16] + bytes(4), 5, "mode normal")]
        for block, rc, mode in cases:
            with self.subTest(block=block[16:20].hex()):
                path = os.path.join(self.work, "mode.bin")
                with open(path, "wb") as f:
                    f.write(block + bytes(256 - len(block)))
                run = self.client(["sg_raw", "-s", "256", "-i", path, "/dev/sr0", *MODE_BLOCK_CDB],
                                  ["qbc850"])
                self.assertEqual(run.rc, rc, run.output)
                self.assertIn(mode, run.state[0])
                self.assertRegex(run.trace[1], r" 3B 04 FF 00 00 00 00 01 00 00  out 256 ")


if __name__ == "__main__":
    missing = [name for name in CLIENTS if shutil.which(name) is None]
    if missing:
        print("SKIP: sg3-utils is not installed (%s missing)" % ", ".join(missing))
        sys.exit(77)
    unittest.main()
