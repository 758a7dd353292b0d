"""SleepInhibitor against logind's mock on a private system bus, through the
probe program (ODFLSH_INHIBIT_PROBE): the lock logind lists while it is held
and not after, the descriptors the program keeps, and the one-line problem
when there is no bus, no logind, a refusal or a bus that never answers."""

import os
import re
import subprocess
import time

from bustest import MANAGER, WHAT, LogindBus, main

PROBE = os.environ.get("ODFLSH_INHIBIT_PROBE", "")
WHO = "odflsh"
WHY = "Updating the firmware of /dev/sr0 (KESTREL BD-ROM QBC-850)"
O_CLOEXEC = 0o2000000
# The call gives up after 3 s; a flash must not wait much longer than that.
HUNG_LIMIT = 8.0


class Probe:
    """The probe holding a SleepInhibitor; `first` is its line after Take."""

    def __init__(self, case, env=None):
        self.process = subprocess.Popen([PROBE, WHO, WHY], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True,
                                        env={**os.environ, **(env or {})})
        case.addCleanup(self.finish)
        self.first = self.process.stdout.readline().strip()

    def release(self):
        self.process.stdin.write("\n")
        self.process.stdin.flush()
        return self.process.stdout.readline().strip()

    def descriptors(self):
        """The probe's descriptors beyond stdin, stdout and stderr, each with
        what it is and its open flags."""
        found = {}
        folder = "/proc/%d/fd" % self.process.pid
        for name in os.listdir(folder):
            if int(name) <= 2:
                continue
            with open("/proc/%d/fdinfo/%s" % (self.process.pid, name)) as info:
                flags = int(re.search(r"^flags:\s+(\d+)", info.read(), re.M).group(1), 8)
            found[int(name)] = (os.readlink(os.path.join(folder, name)), flags)
        return found

    def finish(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            self.process.wait(10)
        self.process.stdout.close()


class SleepInhibitorOnTheBus(LogindBus):

    def setUp(self):
        if not PROBE or not os.path.exists(PROBE):
            self.fail("ODFLSH_INHIBIT_PROBE does not name a built file: %r" % PROBE)

    def test_the_lock_is_held_from_take_to_release(self):
        self.start_logind()
        probe = Probe(self)
        self.assertEqual(probe.first, "taken held=1")
        self.assertEqual(self.inhibitors(), [(WHAT, WHO, WHY, "block")])
        # The lock's descriptor alone is kept (the bus connection is closed),
        # and a program started meanwhile would not inherit it.
        kept = probe.descriptors()
        self.assertEqual(len(kept), 1, kept)
        target, flags = next(iter(kept.values()))
        self.assertTrue(target.startswith("pipe:"), target)
        self.assertTrue(flags & O_CLOEXEC, oct(flags))

        self.assertEqual(probe.release(), "released held=0")
        self.wait_for_inhibitors([])
        self.assertEqual(probe.descriptors(), {})

    def test_a_lock_that_cannot_be_taken_says_why(self):
        refusal = ('raise dbus.exceptions.DBusException("Access denied by policy", '
                   'name="org.freedesktop.DBus.Error.AccessDenied")')
        cases = (
            # (name, logind's Inhibit replaced by this code or None, where the bus is, problem)
            ("no bus", None, "unix:path=/nonexistent/odflsh-bus",
             r"no system bus \(No such file or directory\)"),
            ("no logind", None, None, r"logind is not running \(.+\)"),
            ("refused", refusal, None, r"refused: Access denied by policy"),
            ("a bus that never answers", None, "silent",
             r"no answer from logind on the system bus within 3 s"),
        )
        for name, inhibit, address, problem in cases:
            with self.subTest(name):
                env = {}
                if address == "silent":
                    env["DBUS_SYSTEM_BUS_ADDRESS"] = self.silent_bus()
                elif address:
                    env["DBUS_SYSTEM_BUS_ADDRESS"] = address
                if inhibit:
                    self.start_logind().AddMethod(MANAGER, "Inhibit", "ssss", "h", inhibit,
                                                  dbus_interface="org.freedesktop.DBus.Mock")
                started = time.monotonic()
                probe = Probe(self, env)
                self.assertLess(time.monotonic() - started, HUNG_LIMIT)
                self.assertRegex(probe.first, r"^problem: %s held=0$" % problem)
                self.assertEqual(probe.descriptors(), {})
                self.assertEqual(probe.release(), "released held=0")


if __name__ == "__main__":
    main()
