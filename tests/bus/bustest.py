"""Shared start of the tests that watch the system bus: a private system bus
(dbus-daemon) for the test class, the logind of python3-dbusmock on it when a
test starts one, and what logind lists as held.

python3-dbusmock comes from Debian's archive, so these scripts run under
Debian's interpreter (/usr/bin/python3); without the module or dbus-daemon
they exit 77, saying why, and CTest reports them skipped."""

import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import warnings

try:
    import dbus
    import dbusmock
    BusBase = dbusmock.DBusTestCase
    IMPORT_PROBLEM = None
except ImportError as error:
    dbus = dbusmock = None
    BusBase = unittest.TestCase
    IMPORT_PROBLEM = str(error)

MANAGER = "org.freedesktop.login1.Manager"
WHAT = ("sleep:shutdown:idle:handle-lid-switch:handle-suspend-key:"
        "handle-hibernate-key:handle-power-key")
# logind's mock lets a lock go when it sees the descriptor closed, which it
# notices in its own time.
SETTLE = 5.0


def missing():
    """Why these tests cannot run here, or None."""
    if shutil.which("dbus-daemon") is None:
        return "dbus-daemon is not installed"
    if IMPORT_PROBLEM is not None:
        return "python3-dbusmock is not importable by %s (%s)" % (sys.executable, IMPORT_PROBLEM)
    return None


def main():
    reason = missing()
    if reason:
        print("SKIP: " + reason)
        sys.exit(77)
    unittest.main()


class LogindBus(BusBase):
    """A private system bus for the class, named by DBUS_SYSTEM_BUS_ADDRESS in
    this process's environment (and so in the programs it starts)."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.start_system_bus()

    def start_logind(self):
        """logind's mock on the bus until the test ends; its main object."""
        with warnings.catch_warnings():
            # dbusmock loads its template in a way Python warns about; not ours to mend.
            warnings.simplefilter("ignore", ImportWarning)
            process, logind = self.spawn_server_template("logind", {}, stdout=subprocess.DEVNULL)

        def stop():
            process.terminate()
            process.wait()
        self.addCleanup(stop)
        self.logind = logind
        return logind

    def inhibitors(self):
        """(what, who, why, mode) of each lock logind holds."""
        return [tuple(str(field) for field in held[:4])
                for held in self.logind.ListInhibitors(dbus_interface=MANAGER)]

    def wait_for_inhibitors(self, expected):
        """Asserts that logind comes to hold exactly `expected`."""
        deadline = time.monotonic() + SETTLE
        while self.inhibitors() != expected and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(self.inhibitors(), expected)

    def silent_bus(self):
        """The address of a socket that takes connections and never answers:
        a bus that hangs."""
        path = os.path.join(self.scratch(), "silent")
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        listener.bind(path)
        listener.listen(8)
        self.addCleanup(listener.close)
        return "unix:path=" + path

    def scratch(self):
        if not hasattr(self, "_scratch"):
            self._scratch = tempfile.mkdtemp(prefix="odflsh-bus-")
            self.addCleanup(shutil.rmtree, self._scratch, True)
        return self._scratch
