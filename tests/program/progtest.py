"""Shared start of the program tests: the real Linux odflsh run on the
simulated device nodes of libodflsh_fakesg.so, with its questions answered on
a pseudo-terminal, and odflsh-sim run on the same scenario for comparison.

The programs are named by the environment (set by CTest):
ODFLSH_PROGRAM (odflsh), ODFLSH_SIM (odflsh-sim), ODFLSH_FAKESG (the library).
"""

import hashlib
import os
import pty
import re
import shutil
import subprocess
import tempfile
import unittest
import zlib

from terminal import PROMPT, converse

PROGRAM = os.environ.get("ODFLSH_PROGRAM", "")
SIM = os.environ.get("ODFLSH_SIM", "")
FAKESG = os.environ.get("ODFLSH_FAKESG", "")
IMAGE = "S1003431.104"
TIME_LIMIT = 120  # seconds for one run; a run that loops must fail, not hang CI


class Run:
    """What one run left behind: exit code, the exact stdout bytes, what went
    to stderr (the terminal's transcript on a pseudo-terminal run), the drive
    state lines and the fixture's trace."""

    def __init__(self, rc, stdout, stderr, state, trace, questions=0):
        self.rc = rc
        self.stdout = stdout
        self.stderr = stderr
        self.state = state
        self.trace = trace
        self.questions = questions

    def commands(self, opcode):
        """Trace lines of the commands with this opcode (two hex digits) that
        reached a drive."""
        pattern = re.compile(r"^cmd +\d+ ms \S+ +%s " % opcode)
        return [line for line in self.trace
                if pattern.match(line) and "refused" not in line]


# Said once in every run that updates a drive where no logind answers on the
# system bus, as in these tests; the tests of the inhibitor look at it themselves.
NO_INHIBITOR = "odflsh: cannot keep the system from sleeping or shutting down"


def notices(stderr):
    """The program's own lines on standard error, but for the missing-logind line."""
    return [line for line in stderr.decode("latin-1").splitlines()
            if line.startswith("odflsh:") and not line.startswith(NO_INHIBITOR)]


def crc32(path):
    with open(path, "rb") as f:
        return "%08x" % (zlib.crc32(f.read()) & 0xFFFFFFFF)


def file_lines(path):
    if not os.path.exists(path):
        return []
    with open(path, encoding="latin-1") as f:
        return f.read().splitlines()


class ProgramCase(unittest.TestCase):
    """A fresh working folder per test, holding a valid image for 1.04."""

    def setUp(self):
        for name, path in (("ODFLSH_PROGRAM", PROGRAM), ("ODFLSH_SIM", SIM),
                           ("ODFLSH_FAKESG", FAKESG)):
            if not path or not os.path.exists(path):
                self.fail("%s does not name a built file: %r" % (name, path))
        self.work = tempfile.mkdtemp(prefix="odflsh-program-")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.sysfs = os.path.join(self.work, "sysfs")
        os.mkdir(self.sysfs)
        subprocess.run([SIM, "--make-image", IMAGE], cwd=self.work, check=True)
        self.image_crc = crc32(os.path.join(self.work, IMAGE))
        # As a publisher ships it, with its SHA-256 beside it; without that the
        # Linux program tells the image's digest on stderr in every run.
        with open(os.path.join(self.work, IMAGE), "rb") as f:
            self.image_sha256 = hashlib.sha256(f.read()).hexdigest()
        with open(os.path.join(self.work, IMAGE + ".sha256"), "w") as f:
            f.write("%s  %s\n" % (self.image_sha256, IMAGE))

    def fake_env(self, drives, extra=None):
        """The environment of a process that sees `drives` as /dev/sr*.
        The library is preloaded into that process only."""
        env = dict(os.environ)
        for name in ("LC_ALL", "LC_MESSAGES", "LANG"):
            env.pop(name, None)
        env["LC_ALL"] = "C"
        env["LD_PRELOAD"] = FAKESG
        env["ODFLSH_FAKE_DRIVES"] = ";".join(drives)
        env["ODFLSH_FAKE_STATE"] = os.path.join(self.work, "state.txt")
        env["ODFLSH_FAKE_TRACE"] = os.path.join(self.work, "trace.txt")
        env["ODFLSH_FAKE_RESUME"] = os.path.join(self.work, "resume")
        # The drives' polling attribute and /run/odflsh, in the working folder.
        env["ODFLSH_FAKE_SYSFS"] = self.sysfs
        # Never the machine's own bus: a test must not hold off its sleep.
        # Without a bus, each update says once that it cannot.
        env["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=" + os.path.join(self.work, "no-system-bus")
        # The program believes it runs as an ordinary user unless a test says otherwise.
        env["ODFLSH_FAKE_EUID"] = "1000"
        # A sanitized odflsh must accept a library loaded before its runtime.
        env["ASAN_OPTIONS"] = ":".join(
            filter(None, [env.get("ASAN_OPTIONS", ""), "verify_asan_link_order=0"]))
        env.update(extra or {})
        return env

    def _reset_fixture_files(self):
        for name in ("state.txt", "trace.txt", "resume"):
            path = os.path.join(self.work, name)
            if os.path.exists(path):
                os.remove(path)

    def run_odflsh(self, drives, answers=(), terminal=True, args=(), env=None, during=None,
                   out=None):
        """odflsh under the library. On a terminal, the questions are answered
        with `answers` ("y" or "n" each) on a pseudo-terminal that is stdin and
        stderr, while stdout goes to a file (or to `out`, a writable file
        object, whose bytes the caller collects); otherwise stdin is /dev/null
        and stderr a pipe. On a terminal, `during(process)` is called about
        every 0.2 s while the program runs."""
        self._reset_fixture_files()
        environment = self.fake_env(drives, env)
        out_path = os.path.join(self.work, "odflsh.out")
        with open(out_path, "wb") as out_file:
            out = out or out_file
            if not terminal:
                done = subprocess.run([PROGRAM, *args], stdin=subprocess.DEVNULL, stdout=out,
                                      stderr=subprocess.PIPE, cwd=self.work,
                                      env=environment, timeout=TIME_LIMIT)
                rc, stderr, questions = done.returncode, done.stderr, done.stderr.count(PROMPT)
            else:
                rc, stderr, questions = self._run_on_terminal([PROGRAM, *args], out,
                                                              environment, answers, during)
        with open(out_path, "rb") as f:
            stdout = f.read()
        return Run(rc, stdout, stderr, file_lines(os.path.join(self.work, "state.txt")),
                   file_lines(os.path.join(self.work, "trace.txt")), questions)

    def _run_on_terminal(self, command, out, env, answers, during=None):
        master, slave = pty.openpty()
        process = subprocess.Popen(command, stdin=slave, stdout=out, stderr=slave,
                                   cwd=self.work, env=env, start_new_session=True)
        os.close(slave)
        try:
            transcript, asked, finished = converse(process, master, answers, TIME_LIMIT, during)
            if not finished:
                process.kill()
                self.fail("odflsh did not finish within %d s; terminal so far:\n%r"
                          % (TIME_LIMIT, transcript))
        finally:
            os.close(master)
        return process.wait(), transcript, asked

    def run_sim(self, drives, answers, sim_args=()):
        """odflsh-sim on the pass-through route with the same drives, its
        questions answered with `answers` ("y" or "n" each)."""
        command = [SIM, "--route", "pt", *sim_args]
        for drive in drives:
            command += ["--drive", drive]
        if answers:
            command += ["--answers", ",".join("yes" if a == "y" else "no" for a in answers)]
        done = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True,
                              cwd=self.work, timeout=TIME_LIMIT)
        err = done.stderr.decode("latin-1").splitlines()
        return Run(done.returncode, done.stdout, done.stderr,
                   [line for line in err if line.startswith("drive ")], [],
                   sum(1 for line in err if line.startswith("box Ask")))

    def assert_flashed(self, state_line):
        self.assertRegex(state_line, r" rev 1\.04 date 08/01/10 mode normal ")
        self.assertIn("image 1880576 bytes crc32 0x%s" % self.image_crc, state_line)

    def assert_untouched(self, state_line, revision="1.00"):
        self.assertIn(" rev %s " % revision, state_line)
        self.assertIn("image 0 bytes", state_line)
