# SPDX-License-Identifier: GPL-2.0-or-later
"""A stand-in polkitd on a sandbox's private system bus: python-dbusmock's polkitd
template, owning org.freedesktop.PolicyKit1 with the Authority object.

Run inside the sandbox (PolkitStandIn does it):
    polkit.py --address unix:path=... --mode allow|deny|hang --log FILE
mode "allow" says yes to every action, "deny" no to every action that was not allowed
with set_allowed(), "hang" never answers a check (until release(), which says yes to
every held one unless allow_unknown(False) came first). It prints READY
once it owns its name and serves; every call is written to FILE.

From the tests: sb.start_bus() starts PolkitStandIn(sb, "allow") as sb.polkit unless
told otherwise (start_bus(polkit="deny" | "hang" | None)). The stand-in's MethodCalled
signals tell each CheckAuthorization as it comes: .checks() lists them as Check
records, .wait_checks(n) waits until there are n.
"""

import argparse
import os
import select
import signal
import subprocess
import sys
import threading
import time
from collections import namedtuple
from pathlib import Path

NAME = "org.freedesktop.PolicyKit1"
PATH = "/org/freedesktop/PolicyKit1/Authority"
MOCK_IFACE = "org.freedesktop.DBus.Mock"
MODES = ("allow", "deny", "hang")
# POLKIT_CHECK_AUTHORIZATION_FLAGS_ALLOW_USER_INTERACTION
ALLOW_USER_INTERACTION = 1

# One CheckAuthorization as the stand-in got it: subject kind ("system-bus-name") and its
# bus name, the action id, the flags.
Check = namedtuple("Check", "subject_kind bus_name action flags")


def _serve(args):
    import dbus
    import dbus.mainloop.glib
    import dbus.service
    from gi.repository import GLib

    import dbusmock.mockobject

    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(args.address)
    loop = GLib.MainLoop()
    bus.call_on_disconnection(lambda *_: loop.quit())
    # The object and its template are in place before the loop dispatches any call.
    bus_name = dbus.service.BusName(NAME, bus, do_not_queue=True)
    obj = dbusmock.mockobject.DBusMockObject(bus_name, PATH,
                                             "org.freedesktop.PolicyKit1.Authority", {},
                                             args.log)
    obj.AddTemplate("polkitd", None)
    dbusmock.mockobject.objects[PATH] = obj
    obj.allow_unknown = args.mode in ("allow", "hang")
    obj.simulate_hang = args.mode == "hang"
    print("READY", flush=True)
    loop.run()
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser()
    parser.add_argument("--address", required=True)
    parser.add_argument("--mode", choices=MODES, default="allow")
    parser.add_argument("--log", required=True)
    return _serve(parser.parse_args(argv))


class PolkitStandIn:
    """The stand-in started inside a sandbox whose bus runs; returns once it owns
    org.freedesktop.PolicyKit1 (its READY line, no polling)."""

    def __init__(self, sb, mode="allow", timeout=10.0):
        from gi.repository import Gio, GLib

        if sb.bus_address is None:
            raise AssertionError("start the bus first")
        self._Gio, self._GLib = Gio, GLib
        self.sb = sb
        self.mode = mode
        self.log_path = sb.root / "polkit.log"
        self._cond = threading.Condition()
        self._checks = []
        self._gone = False
        self._context = GLib.MainContext()
        self._loop = GLib.MainLoop(self._context)
        self._ready = threading.Event()
        self.connection = None
        # Subscribed before the stand-in exists, so that no check goes unseen.
        self._thread = threading.Thread(target=self._watch, name="polkit-watch", daemon=True)
        self._thread.start()
        if not self._ready.wait(10) or self.connection is None:
            raise RuntimeError(f"could not connect to {sb.bus_address}")
        argv = ["/usr/bin/python3", str(Path(__file__).resolve()), "--address",
                sb.bus_address, "--mode", mode, "--log", str(self.log_path)]
        self.proc = subprocess.Popen(
            sb.nsenter_prefix() + argv, env=sb.env(), stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=open(sb.root / "polkit.out", "wb"),
            start_new_session=True)
        sb._procs.append(self.proc)
        ready, _, _ = select.select([self.proc.stdout], [], [], timeout)
        line = self.proc.stdout.readline().decode(errors="replace") if ready else ""
        if line.strip() != "READY":
            raise AssertionError("polkit stand-in did not start: " + line
                                 + (sb.root / "polkit.out").read_text(errors="replace"))

    def _watch(self):
        Gio = self._Gio
        self._context.push_thread_default()
        try:
            self.connection = Gio.DBusConnection.new_for_address_sync(
                self.sb.bus_address,
                Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
                | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION,
                None, None)
            self.connection.signal_subscribe(None, MOCK_IFACE, "MethodCalled", PATH, None,
                                             Gio.DBusSignalFlags.NONE, self._on_called)
            self.connection.signal_subscribe("org.freedesktop.DBus", "org.freedesktop.DBus",
                                             "NameOwnerChanged", "/org/freedesktop/DBus", NAME,
                                             Gio.DBusSignalFlags.NONE, self._on_owner)
        finally:
            self._ready.set()
        self._loop.run()
        self._context.pop_thread_default()

    def _on_called(self, _conn, _sender, _path, _iface, _member, params):
        method, args = params.unpack()
        if method != "CheckAuthorization":
            return
        (kind, details), action, _details, flags, _cancel_id = args
        with self._cond:
            self._checks.append(Check(kind, details.get("name"), action, flags))
            self._cond.notify_all()

    def _on_owner(self, _conn, _sender, _path, _iface, _member, params):
        _name, _old, new = params.unpack()
        with self._cond:
            self._gone = new == ""
            self._cond.notify_all()

    # --- what it was asked ---------------------------------------------------------

    def checks(self, start=0):
        with self._cond:
            return list(self._checks[start:])

    def mark(self):
        with self._cond:
            return len(self._checks)

    def wait_checks(self, count, timeout=5.0, start=0):
        """The checks from position start on, once there are at least count of them."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while len(self._checks) - start < count:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(f"{len(self._checks) - start} polkit checks, not "
                                         f"{count}, within {timeout} s: {self._checks!r}")
                self._cond.wait(left)
            return list(self._checks[start:])

    # --- what it answers -----------------------------------------------------------

    def _mock(self, method, signature=None, *args):
        GLib = self._GLib
        params = GLib.Variant(f"({signature})", args) if signature else None
        self.connection.call_sync(NAME, PATH, MOCK_IFACE, method, params, None,
                                  self._Gio.DBusCallFlags.NONE, 5000, None)

    def set_allowed(self, actions):
        """Says yes to these action ids (and, in mode "allow", to every other)."""
        self._mock("SetAllowed", "as", list(actions))

    def allow_unknown(self, allow):
        self._mock("AllowUnknown", "b", allow)

    def hang(self, on=True):
        """Checks from now on are not answered (on) or answered again (off)."""
        self._mock("SimulateHang", "b", on)

    def emit_changed(self):
        """polkitd's Changed signal, as after its rules or actions changed."""
        self._mock("EmitSignal", "sssav", "org.freedesktop.PolicyKit1.Authority", "Changed", "",
                   [])

    def release(self):
        """Answers every check held so far."""
        self._mock("ReleaseHangingCalls")

    def stop(self, timeout=5.0):
        """Ends the stand-in and returns once its name has left the bus."""
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.proc.wait(timeout=timeout)
        deadline = time.monotonic() + timeout
        with self._cond:
            while not self._gone:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(f"{NAME} still owned {timeout} s after the stand-in "
                                         "ended")
                self._cond.wait(left)

    def close(self):
        if self.connection is not None:
            try:
                self.connection.close_sync(None)
            except self._GLib.Error:
                pass
        self._loop.quit()
        self._thread.join(timeout=2)
        if self.proc.stdout is not None:
            self.proc.stdout.close()


if __name__ == "__main__":
    sys.exit(main())
