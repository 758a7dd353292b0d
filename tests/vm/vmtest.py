"""Shared start of the tests on the test machine (tools/vm/odflsh-vm): a run
in the guest with its outputs, the commands a program sent told apart from
the ones the sr driver sent on its own, and odflsh-sim's run of the same
scenario on the pass-through route for comparison.

Named by the environment (set by CTest): ODFLSH_VM (odflsh-vm), ODFLSH_SIM
(odflsh-sim), and per test ODFLSH_PROGRAM (odflsh) or ODFLSH_EXE (odflsh.exe)
with ODFLSH_WINE (the Wine loader that runs it).
"""

import collections
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zlib

VM = os.environ.get("ODFLSH_VM", "")
SIM = os.environ.get("ODFLSH_SIM", "")
HERE = os.path.dirname(os.path.abspath(__file__))
ON_TERMINAL = os.path.join(HERE, "on_terminal.py")
IMAGE = "S1003431.104"
BANNER = b"\n/// ODD Firmware Update Utility Ver2.27A\n"
NO_TARGET = BANNER + b"\r\nAvailable target is not found."
# scsi_debug as the QBC-850: the vendor's trailing blank must be given, in quotes.
QBC850 = 'ptype=5 inq_vendor="KESTREL " inq_product="BD-ROM  QBC-850 " inq_rev=1.00'
QBC850_SHORT_VENDOR = 'ptype=5 inq_vendor=KESTREL inq_product="BD-ROM  QBC-850 " inq_rev=1.00'
# A guest's life: boot, the run, and Wine's start-up, all under TCG on a busy machine.
GUEST_LIMIT = 900
SG_IO = "2285"

# "odflsh-151 [000] ..... 7.123: EVENT_TEXT"
RAW_LINE = re.compile(r"^\s*(?P<task>.+)-(?P<pid>\d+)\s+\[\d+\]\s+\S+\s+(?P<time>[\d.]+): (?P<text>.*)$")
# ALLOW MEDIUM REMOVAL, which sr sends when the device's last user closes it.
RELEASE_UNLOCK = "1e "
DISPATCH = re.compile(r"scsi_dispatch_cmd_start:.* raw=([0-9a-f ]+)\)")
# odflsh-sim --trace: "cmd   12 ms D:    12 00 00 00 60 00  in 96  timeout 2 s"
SIM_COMMAND = re.compile(r"^cmd +\d+ ms \S+ +((?:[0-9A-F]{2} )*[0-9A-F]{2})  ")


# The switch of a family-one drive into its kernel, and back to normal mode,
# which starts its re-flash; the INQUIRY after that reads the new revision.
KERNEL_SWITCH = "3b 04 ff "
NORMAL_SWITCH = "3b 05 ff "
INQUIRY = "12 "
OPCODES = {"00": "TEST UNIT READY", "12": "INQUIRY", "1b": "START STOP UNIT",
           "1e": "PREVENT ALLOW MEDIUM REMOVAL", "3b": "WRITE BUFFER", "3c": "READ BUFFER",
           "4a": "GET EVENT STATUS NOTIFICATION"}

# One command the kernel dispatched: the task that issued it (its name and
# pid), when (s), its CDB, and whether that task was inside an SG_IO call of
# its own, which makes it the task's command rather than the kernel's.
Dispatch = collections.namedtuple("Dispatch", "task pid time cdb in_call")


def _call_starts(text):
    """An SG_IO ioctl entering the kernel, in the tracer's text."""
    return text.startswith("sys_ioctl(") and ("cmd: " + SG_IO) in text


def _call_ends(text):
    return text.startswith("sys_ioctl ->")


class VmRun:
    """What one guest run left: exit code, stdout and stderr bytes, the state
    lines of the simulated drives, every dispatched CDB and the tracer's lines."""

    def __init__(self, rc, stdout, stderr, state, trace, raw):
        self.rc = rc
        self.stdout = stdout
        self.stderr = stderr
        self.state = state
        self.trace = trace
        self.raw = raw

    def calls(self, task_prefix):
        """The SG_IO calls of the tasks whose name starts with task_prefix, in
        order, each the list of CDBs the kernel dispatched for it, and the CDBs
        of every other dispatch (the sr driver's own, other programs').

        The tracer's syscall events do not see 32-bit programs' system calls:
        for a task with dispatches but no SG_IO event, each of its dispatches
        counts as one call (Wine opens the device in wineserver, so the sr
        driver's commands at open are never the program's own)."""
        if not any(RAW_LINE.match(line) and RAW_LINE.match(line).group("task").strip()
                   .startswith(task_prefix) and "sys_ioctl(" in line for line in self.raw):
            return self.dispatches(task_prefix)
        open_calls = {}
        calls, others = [], []
        for line in self.raw:
            match = RAW_LINE.match(line)
            if not match:
                continue
            pid, task, text = match.group("pid"), match.group("task").strip(), match.group("text")
            if _call_starts(text):
                open_calls[pid] = (task, [])
            elif _call_ends(text) and pid in open_calls:
                owner, cdbs = open_calls.pop(pid)
                if owner.startswith(task_prefix):
                    calls.append(cdbs)
            else:
                dispatched = DISPATCH.search(text)
                if not dispatched:
                    continue
                cdb = dispatched.group(1).strip()
                if pid in open_calls:
                    open_calls[pid][1].append(cdb)
                else:
                    others.append(cdb)
        return calls, others


    def _events(self):
        """(match, pid, text) of each of the tracer's lines."""
        for line in self.raw:
            match = RAW_LINE.match(line)
            if match:
                yield match, match.group("pid"), match.group("text")

    def dispatched(self):
        """Every dispatch of the trace, in order, as a Dispatch."""
        found, open_calls = [], set()
        for match, pid, text in self._events():
            if _call_starts(text):
                open_calls.add(pid)
            elif _call_ends(text):
                open_calls.discard(pid)
            else:
                dispatched = DISPATCH.search(text)
                if dispatched:
                    found.append(Dispatch(match.group("task").strip(), pid, float(match.group("time")),
                                          dispatched.group(1).strip(), pid in open_calls))
        return found

    def call_ends(self, task_prefix):
        """When each SG_IO call of the tasks named task_prefix... returned (s)."""
        ends, open_calls = [], {}
        for match, pid, text in self._events():
            if _call_starts(text):
                open_calls[pid] = match.group("task").strip()
            elif _call_ends(text) and pid in open_calls:
                if open_calls.pop(pid).startswith(task_prefix):
                    ends.append(float(match.group("time")))
        return ends

    def foreign(self, task_prefix):
        """Whether each dispatch is one the program (tasks named task_prefix...)
        did not send, in the order of dispatched(). Where the tracer saw no
        SG_IO call of the program's (a 32-bit program), a dispatch of its
        tasks is its own, but for sr's ALLOW MEDIUM REMOVAL at the last close."""
        every = self.dispatched()
        mine = [d for d in every if d.task.startswith(task_prefix)]
        if any(d.in_call for d in mine):
            return [not (d.in_call and d.task.startswith(task_prefix)) for d in every]
        return [not d.task.startswith(task_prefix) or d.cdb.startswith(RELEASE_UNLOCK)
                for d in every]

    def dispatches(self, task_prefix):
        """Every dispatch by a task whose name starts with task_prefix as a call
        of its own, and the others. The sr driver's ALLOW MEDIUM REMOVAL at
        the last close of the device runs in whichever task closes it last
        (under Wine the program or wineserver, as their closes fall); the
        program never sends that command itself, so it counts as the kernel's."""
        mine, others = [], []
        for line in self.raw:
            match = RAW_LINE.match(line)
            dispatched = DISPATCH.search(line)
            if not match or not dispatched:
                continue
            cdb = dispatched.group(1).strip()
            if match.group("task").strip().startswith(task_prefix) and not cdb.startswith(RELEASE_UNLOCK):
                mine.append([cdb])
            else:
                others.append(cdb)
        return mine, others


def update_window(dispatches, foreign):
    """The indexes of the program's switch of a drive into its kernel and of
    its read-back INQUIRY of the new revision (the last INQUIRY after the
    last switch back to normal mode), or None where the run has no such pair."""
    sent = [i for i, d in enumerate(dispatches) if not foreign[i]]
    starts = [i for i in sent if dispatches[i].cdb.startswith(KERNEL_SWITCH)]
    backs = [i for i in sent if dispatches[i].cdb.startswith(NORMAL_SWITCH)]
    if not starts or not backs:
        return None
    ends = [i for i in sent if i > backs[-1] and dispatches[i].cdb.startswith(INQUIRY)]
    return (starts[0], ends[-1]) if ends else None


def task_group(task):
    """A task's name with a kernel worker's number dropped (kworker/0:1H-kblockd: kworker)."""
    return "kworker" if task.startswith("kworker/") else task


def tally(dispatches):
    """The dispatches counted by task and opcode, one "TASK OPCODE NAME: N" per line."""
    counts = collections.Counter((task_group(d.task), d.cdb[:2]) for d in dispatches)
    return "\n".join("  %s %s %s: %d" % (task, op, OPCODES.get(op, "?"), n)
                     for (task, op), n in sorted(counts.items())) or "  none"


def report(title, text):
    """Shown in the test's output (CTest keeps it) for whoever reads the figures."""
    sys.stderr.write("\n%s\n%s\n" % (title, text))


def file_lines(path):
    if not os.path.exists(path):
        return []
    with open(path, encoding="latin-1") as f:
        return f.read().splitlines()


def crc32(path):
    with open(path, "rb") as f:
        return "%08x" % (zlib.crc32(f.read()) & 0xFFFFFFFF)


def sim_commands(stderr):
    """The CDBs of odflsh-sim --trace's command lines, lower case as the kernel prints them."""
    found = []
    for line in stderr.decode("latin-1").splitlines():
        match = SIM_COMMAND.match(line)
        if match:
            found.append(match.group(1).lower())
    return found


class VmCase(unittest.TestCase):
    """A fresh working folder per test, holding a valid image for 1.04; the
    guest runs in it."""

    # The folder the guest runs in (shared read-write): the work folder
    # itself, or, when set, this one, which holds the work folder.
    guest_folder = None

    def setUp(self):
        for name, path in (("ODFLSH_VM", VM), ("ODFLSH_SIM", SIM)):
            if not path or not os.path.exists(path):
                self.fail("%s does not name a file: %r" % (name, path))
        self.work = tempfile.mkdtemp(prefix="odflsh-vm-test-", dir=self.guest_folder)
        self.addCleanup(shutil.rmtree, self.work, True)
        subprocess.run([SIM, "--make-image", IMAGE], cwd=self.work, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.image_crc = crc32(os.path.join(self.work, IMAGE))

    def run_vm(self, command, scsi_debug=None, drives=(), stdin=b"", options=()):
        args = [VM, "--trace", os.path.join(self.work, "trace.txt"),
                "--state", os.path.join(self.work, "state.txt"), *options]
        if scsi_debug is not None:
            args += ["--scsi-debug", scsi_debug]
        for drive in drives:
            args += ["--drive", drive]
        args += ["--timeout", str(GUEST_LIMIT), "--", *command]
        done = subprocess.run(args, input=stdin, capture_output=True,
                              cwd=self.guest_folder or self.work, timeout=GUEST_LIMIT + 60)
        if done.returncode == 125:
            self.fail("the test machine failed:\n" + done.stderr.decode("latin-1"))
        return VmRun(done.returncode, done.stdout, done.stderr,
                     file_lines(os.path.join(self.work, "state.txt")),
                     file_lines(os.path.join(self.work, "trace.txt")),
                     file_lines(os.path.join(self.work, "trace.txt.raw")))

    def run_sim(self, drives, answers=()):
        """odflsh-sim on the pass-through route, questions answered `answers` (y/n)."""
        command = [SIM, "--route", "pt", "--trace"]
        for drive in drives:
            command += ["--drive", drive]
        if answers:
            command += ["--answers", ",".join("yes" if a == "y" else "no" for a in answers)]
        done = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True,
                              cwd=self.work, timeout=300)
        state = [line for line in done.stderr.decode("latin-1").splitlines()
                 if line.startswith("drive ")]
        return VmRun(done.returncode, done.stdout, done.stderr, state,
                     sim_commands(done.stderr), [])

    def assert_same_commands(self, run, task_prefix, sim):
        """The program's SG_IO calls each carried one command, and they are
        odflsh-sim's commands, one for one and in order."""
        calls, _ = run.calls(task_prefix)
        self.assertTrue(calls, "no SG_IO call of %s in the trace" % task_prefix)
        self.assertEqual([len(c) for c in calls], [1] * len(calls),
                         "an SG_IO call without exactly one dispatched command")
        self.assertEqual([c[0] for c in calls], sim.trace)

    def assert_flashed(self, state_line):
        self.assertRegex(state_line, r" rev 1\.04 date 08/01/10 mode normal ")
        self.assertIn("image 1880576 bytes crc32 0x%s" % self.image_crc, state_line)
