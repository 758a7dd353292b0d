"""The Linux odflsh as a tool: --list and --list --json say what a run would do
and send the drives nothing but reads; --yes updates without a terminal; the
words on standard error that explain a run that could not start; two odflsh
on one drive."""

import json
import os
import pty
import re
import subprocess
import sys
import time
import unittest

from progtest import PROGRAM, ProgramCase, file_lines

OLD = "qbc850,rev=1.00"
CURRENT = "qbc850,rev=1.04,date=08/01/10"
OTHER = "qrw730"
KERNEL = "qbc850,kernel=1"
KEYS = {"letter", "device", "vendor", "product", "revision", "date", "mode", "target",
        "action", "update_to", "reason"}
# Opcodes that change a drive: WRITE BUFFER (firmware and mode switches), START STOP UNIT.
CHANGING = ("3B", "1B")


class Listing(ProgramCase):

    def assert_nothing_changed(self, run, drives):
        for opcode in CHANGING:
            self.assertEqual(run.commands(opcode), [], "sent %s" % opcode)
        self.assertEqual(len(run.state), len(drives))
        for line in run.state:
            self.assertIn("image 0 bytes", line)

    def test_each_drive_and_what_a_run_would_do(self):
        drives = [OLD, CURRENT, OTHER, KERNEL]
        expected = [
            # letter, device, product, revision, mode, target, action, update_to
            ("D:", "/dev/sr0", "BD-ROM  QBC-850", "1.00", "normal", True, "update", "1.04"),
            ("E:", "/dev/sr1", "BD-ROM  QBC-850", "1.04", "normal", True, "current", None),
            ("F:", "/dev/sr2", "DVD-RW  QRW-730", "1.20", "normal", False, "none", None),
            ("G:", "/dev/sr3", "BD-RW   QBW-610", "0001", "kernel", True, "update", "1.04"),
        ]
        listed = self.run_odflsh(drives, terminal=False, args=["--list", "--json"])
        self.assertEqual(listed.rc, 0, listed.stderr)
        self.assertEqual(listed.stderr, b"")
        self.assert_nothing_changed(listed, drives)
        # The acceptance's own parser takes it.
        subprocess.run([sys.executable, "-m", "json.tool"], input=listed.stdout, check=True,
                       stdout=subprocess.DEVNULL)
        objects = json.loads(listed.stdout)
        self.assertEqual(len(objects), len(expected))
        for got, (letter, device, product, revision, mode, target, action, update_to) in zip(
                objects, expected):
            with self.subTest(letter=letter):
                self.assertEqual(set(got), KEYS)
                self.assertEqual((got["letter"], got["device"], got["vendor"], got["product"],
                                  got["revision"], got["mode"], got["target"], got["action"],
                                  got["update_to"], got["reason"]),
                                 (letter, device, "KESTREL", product, revision, mode, target,
                                  action, update_to, None))
                self.assertRegex(got["date"], r"^\d\d/\d\d/\d\d$")

        text = self.run_odflsh(drives, terminal=False, args=["--list"])
        self.assertEqual(text.rc, 0)
        self.assert_nothing_changed(text, drives)
        lines = text.stdout.decode().splitlines()
        words = ["update to 1.04", "already current", "not a target", "update to 1.04"]
        self.assertEqual(len(lines), len(expected))
        for line, row, word in zip(lines, expected, words):
            self.assertRegex(line, r"^%s +%s +KESTREL +%s +%s .* %s +%s$"
                             % (row[0], row[1], re.escape(row[2]), row[3], row[4], word))

    def test_refusals_say_why(self):
        # Drives a run would leave alone after its checks, and a missing image.
        cases = [
            ([OLD + ",hw=QBC 0200"], True, "Hardware Revision is not matched."),
            ([OLD], False, "S1003431.104"),
        ]
        for drives, image, reason in cases:
            with self.subTest(drives=drives, image=image):
                if not image:
                    os.remove(os.path.join(self.work, "S1003431.104"))
                run = self.run_odflsh(drives, terminal=False, args=["--list", "--json"])
                self.assertEqual(run.rc, 0)
                self.assert_nothing_changed(run, drives)
                (drive,) = json.loads(run.stdout)
                self.assertEqual((drive["action"], drive["update_to"]), ("refused", None))
                self.assertIn(reason, drive["reason"])

    def test_an_incomplete_identity_is_refused_and_sent_nothing(self):
        # INQUIRY replies cut before or inside the revision: no run may take
        # such a drive for a target (it would be switched into its kernel and
        # never confirmed), and the listing says so.
        cases = [
            # name, fault, the revision listed
            ("cut before the revision", "fail=inquiry@0:short=32", ""),
            ("cut inside the revision", "fail=inquiry@0:short=34", "1.\\x00\\x00"),
        ]
        for name, fault, revision in cases:
            with self.subTest(name):
                drives = [OLD + "," + fault]
                listed = self.run_odflsh(drives, terminal=False, args=["--list", "--json"])
                self.assertEqual(listed.rc, 0, listed.stderr)
                self.assert_nothing_changed(listed, drives)
                (drive,) = json.loads(listed.stdout)
                self.assertEqual((drive["target"], drive["action"], drive["update_to"], drive["revision"]),
                                 (False, "refused", None, revision))
                self.assertIn("incomplete identity (revision missing or not printable)", drive["reason"])
                text = self.run_odflsh(drives, terminal=False, args=["--list"]).stdout.decode()
                self.assertRegex(text, r"^D: +/dev/sr0 +KESTREL +BD-ROM  QBC-850 +%s +normal +refused: "
                                       r"incomplete identity \(revision" % re.escape(revision))

                run = self.run_odflsh(drives, terminal=False, args=["--yes"])
                self.assertEqual(run.rc, 1)
                self.assertTrue(run.stdout.endswith(b"\r\nAvailable target is not found."), run.stdout)
                self.assert_nothing_changed(run, drives)
                self.assertIn("mode normal", run.state[0])

    def test_no_drive_lists_nothing_and_says_why(self):
        for args, stdout in ((["--list"], b""), (["--list", "--json"], b"[]\n")):
            with self.subTest(args=args):
                run = self.run_odflsh([], terminal=False, args=args)
                self.assertEqual((run.rc, run.stdout), (0, stdout))
                self.assertEqual(run.stderr.decode(),
                                 "odflsh: no optical drive found: there is no /dev/sr* device.\n")


def trace_lines(path, pattern):
    if not os.path.exists(path):
        return []
    with open(path, encoding="latin-1") as f:
        return [line for line in f.read().splitlines() if re.search(pattern, line)]


class TwoPrograms(ProgramCase):
    """Two odflsh on one drive, their locks in one folder as flock(2) locks on
    one device would be: each process has a simulated drive of its own, so
    what the drive of each received shows what that process sent."""

    def setUp(self):
        super().setUp()
        self.locks = os.path.join(self.work, "locks")
        os.mkdir(self.locks)

    def start(self, name, drive, args):
        env = self.fake_env([drive], {"ODFLSH_FAKE_LOCKS": self.locks,
                                      "ODFLSH_FAKE_STATE": os.path.join(self.work, name + ".state"),
                                      "ODFLSH_FAKE_TRACE": os.path.join(self.work, name + ".trace")})
        return subprocess.Popen([PROGRAM, *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, cwd=self.work, env=env)

    def wait_for(self, name, pattern, process):
        deadline = time.monotonic() + 60
        while not trace_lines(os.path.join(self.work, name + ".trace"), pattern):
            if process.poll() is not None or time.monotonic() > deadline:
                self.fail("%s never reached %r" % (name, pattern))
            time.sleep(0.05)

    def resume(self):
        with open(os.path.join(self.work, "resume"), "w"):
            pass

    def test_a_drive_being_updated_is_listed_busy(self):
        # The first odflsh is paused in the middle of its transfer, holding
        # the drive's lock, while the listings run.
        updating = self.start("first", OLD + ",pause=writebuf/7/f0@10", ["--yes"])
        try:
            self.wait_for("first", r" paused", updating)
            listed = self.run_odflsh([OLD], terminal=False, args=["--list", "--json"],
                                     env={"ODFLSH_FAKE_LOCKS": self.locks})
            text = self.run_odflsh([OLD], terminal=False, args=["--list"],
                                   env={"ODFLSH_FAKE_LOCKS": self.locks})
        finally:
            self.resume()
            updating.communicate(timeout=120)
        self.assertEqual(updating.returncode, 0)
        self.assertEqual(listed.rc, 0)
        self.assertEqual(json.loads(listed.stdout), [{
            "letter": "D:", "device": "/dev/sr0", "vendor": None, "product": None, "revision": None,
            "date": None, "mode": None, "target": False, "action": "busy", "update_to": None,
            "reason": "another odflsh is updating it (it holds the drive's lock)"}])
        self.assertRegex(text.stdout.decode(),
                         r"^D: +/dev/sr0 +busy: another odflsh is updating it \(it holds the drive's lock\)\n$")
        for run in (listed, text):
            self.assertEqual([line for line in run.trace if line.startswith("cmd ")], [])

    def test_an_update_waits_for_a_probe_in_progress(self):
        # A listing paused inside its probe holds the drive's shared lock: an
        # update started then may probe too, but sends nothing that changes
        # the drive until the probe is over.
        probing = self.start("probe", OLD + ",pause=inquiry", ["--list"])
        updating = None
        try:
            self.wait_for("probe", r" paused", probing)
            updating = self.start("update", OLD, ["--yes"])
            self.wait_for("update", r"^cmd .* 3C 02 F1 ", updating)
            time.sleep(1)  # long enough for an update that does not wait to switch the drive
            self.assertEqual(trace_lines(os.path.join(self.work, "update.trace"), r"^cmd .* 3B "), [])
            self.assertIsNone(updating.poll())
        finally:
            self.resume()
            listing, _ = probing.communicate(timeout=60)
            if updating is not None:
                _, told = updating.communicate(timeout=120)
        self.assertEqual(probing.returncode, 0)
        self.assertEqual(updating.returncode, 0, told)
        self.assert_flashed(file_lines(os.path.join(self.work, "update.state"))[0])
        self.assertIn(b"update to 1.04", listing)


class Unattended(ProgramCase):

    def test_yes_updates_without_a_terminal_as_a_person_would(self):
        drives = [OLD, OLD]
        run = self.run_odflsh(drives, terminal=False, args=["--yes"])
        self.assertEqual(run.rc, 0, run.stderr)
        for line in run.state:
            self.assert_flashed(line)
        # The console is the one a person answering yes gets.
        self.assertEqual(run.stdout, self.run_sim(drives, ["y", "y"]).stdout)
        err = run.stderr.decode()
        self.assertNotIn("[y/n]", err)
        self.assertEqual(len(re.findall(r"(?m)^odflsh: --yes answered Yes to the question whether "
                                        r"to update all drives\.$", err)), 1)

    def test_without_yes_nothing_is_written(self):
        run = self.run_odflsh([OLD], terminal=False)
        self.assertEqual(run.commands("3B"), [])
        self.assert_untouched(run.state[0])


class ClearWords(ProgramCase):

    def test_no_device_is_said_before_the_run_ends(self):
        run = self.run_odflsh([], terminal=False)
        self.assertEqual(run.rc, 1)
        self.assertTrue(run.stdout.endswith(b"\r\nAvailable target is not found."))
        self.assertIn(b"there is no /dev/sr* device", run.stderr)

    def test_root_is_advised_only_to_others(self):
        cases = [("1000", True), ("0", False)]
        for euid, advised in cases:
            with self.subTest(euid=euid):
                run = self.run_odflsh([OLD + ",open=eacces"], terminal=False,
                                      env={"ODFLSH_FAKE_EUID": euid})
                err = run.stderr.decode()
                self.assertIn("cannot open /dev/sr0 (Permission denied)", err)
                self.assertEqual("run odflsh as root" in err, advised, err)
                self.assertEqual("already runs as root" in err, not advised, err)

    def test_an_image_that_cannot_be_read_is_explained_once(self):
        cases = [
            ("missing", os.remove, "No such file or directory"),
            ("folder", lambda p: (os.remove(p), os.mkdir(p)), "it is a folder, not a file"),
            ("fifo", lambda p: (os.remove(p), os.mkfifo(p)), "it is not a regular file"),
            ("empty", lambda p: open(p, "wb").close(), "the file is empty"),
        ]
        if os.geteuid() != 0:  # root reads any file
            cases.append(("unreadable", lambda p: os.chmod(p, 0), "Permission denied"))
        for name, spoil, reason in cases:
            with self.subTest(name):
                self.setUp()
                spoil(os.path.join(self.work, "S1003431.104"))
                run = self.run_odflsh([OLD, OLD], terminal=False, args=["--yes"])
                lines = [l for l in run.stderr.decode().splitlines() if "S1003431.104" in l]
                self.assertEqual(lines, ["odflsh: cannot read S1003431.104 in %s: %s."
                                         % (self.work, reason)])
                self.assertIn(b"S1003431.104", run.stdout)  # the run's own load-failure message
                for line in run.state:
                    self.assert_untouched(line)

    def test_a_terminal_gets_a_last_line_end(self):
        master, slave = pty.openpty()
        process = subprocess.Popen([PROGRAM], stdin=subprocess.DEVNULL, stdout=slave,
                                   stderr=subprocess.DEVNULL, cwd=self.work,
                                   env=self.fake_env([]))
        os.close(slave)
        shown = b""
        while True:
            try:
                data = os.read(master, 4096)
            except OSError:  # the program closed its side
                break
            if not data:
                break
            shown += data
        os.close(master)
        self.assertEqual(process.wait(timeout=60), 1)
        # The terminal turns each line end into CR LF.
        self.assertTrue(shown.endswith(b"Available target is not found.\r\n"), shown)


if __name__ == "__main__":
    unittest.main()
