# SPDX-License-Identifier: GPL-2.0-or-later
"""A small GDBus client of com.quillon.helper on a sandbox's private system bus."""

import threading
import time

from gi.repository import Gio, GLib

NAME = "com.quillon.helper"
PATH = "/com/quillon/helper"
IFACE = "com.quillon.helper"


class SendMesgResult(tuple):
    """(reply, elapsed): reply is ((serviceid, cid), rtcode, len, payload) as the daemon
    answered, elapsed the seconds the call took. The fields are also attributes."""

    def __new__(cls, reply, elapsed):
        self = super().__new__(cls, (reply, elapsed))
        (self.serviceid, self.cid), self.rtcode, self.len, self.payload = reply
        self.reply = reply
        self.elapsed = elapsed
        return self


class DBusClient:
    """sb.dbus_client(): calls com.quillon.helper and records its signals.

    .signals is a list of (member, args) in arrival order; args is the tuple of the
    signal's arguments, e.g. ("[ModemState]cellular existed!",)."""

    def __init__(self, address):
        self.address = address
        self.signals = []
        self._cond = threading.Condition()
        self._ready = threading.Event()
        self._error = None
        self._context = GLib.MainContext()
        self._loop = GLib.MainLoop(self._context)
        self.connection = None
        self._thread = threading.Thread(target=self._run, name="dbus-client", daemon=True)
        self._thread.start()
        self._ready.wait(10)
        if self._error is not None:
            raise self._error
        if self.connection is None:
            raise RuntimeError(f"could not connect to {address}")

    def _run(self):
        self._context.push_thread_default()
        try:
            self.connection = Gio.DBusConnection.new_for_address_sync(
                self.address,
                Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
                | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION,
                None, None)
            self.connection.signal_subscribe(None, IFACE, None, None, None,
                                             Gio.DBusSignalFlags.NONE, self._on_signal)
        except Exception as exc:  # handed to the constructor
            self._error = exc
            self._ready.set()
            return
        self._ready.set()
        self._loop.run()
        self._context.pop_thread_default()

    def _on_signal(self, _conn, _sender, _path, _iface, member, params):
        with self._cond:
            self.signals.append((member, tuple(params.unpack())))
            self._cond.notify_all()

    def close(self):
        if self.connection is not None:
            try:
                self.connection.close_sync(None)
            except GLib.Error:
                pass
        self._loop.quit()
        self._thread.join(timeout=2)

    # --- calls -------------------------------------------------------------------

    def call(self, method, *args, signature=None, timeout=15):
        """Calls a method of com.quillon.helper; the arguments are strings unless a
        signature says otherwise. Returns the unpacked out-arguments tuple; a D-Bus
        error raises GLib.Error."""
        if signature is None:
            signature = "s" * len(args)
        params = GLib.Variant(f"({signature})", tuple(args)) if signature else None
        result = self.connection.call_sync(NAME, PATH, IFACE, method, params, None,
                                           Gio.DBusCallFlags.NONE, int(timeout * 1000), None)
        return tuple(result.unpack()) if result is not None else ()

    def send_mesg(self, serviceid, cid, rtcode=0, len=None, payload="", timeout=15):
        """sendMesg(((serviceid, cid), rtcode, len, payload)); len defaults to the
        payload's length in bytes. Returns SendMesgResult(reply, elapsed)."""
        if len is None:
            len = payload.encode().__len__()
        start = time.monotonic()
        (reply,) = self.call("sendMesg", ((serviceid, cid), rtcode, len, payload),
                             signature="((ii)iis)", timeout=timeout)
        return SendMesgResult(reply, time.monotonic() - start)

    def name_has_owner(self, name=NAME):
        result = self.connection.call_sync(
            "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "NameHasOwner", GLib.Variant("(s)", (name,)), None, Gio.DBusCallFlags.NONE,
            5000, None)
        return bool(result.unpack()[0])

    # --- signals -----------------------------------------------------------------

    def mark(self):
        with self._cond:
            return builtin_len(self.signals)

    def signals_of(self, member, start=0):
        with self._cond:
            return [args for m, args in self.signals[start:] if m == member]

    def wait_signal(self, member, timeout=5, start=0, args=None):
        """Args of the first `member` signal at/after position start (and, when args
        is given, with those args); AssertionError on timeout."""
        deadline = time.monotonic() + timeout
        pos = start
        with self._cond:
            while True:
                while pos < builtin_len(self.signals):
                    m, got = self.signals[pos]
                    pos += 1
                    if m == member and (args is None or tuple(args) == got):
                        return got
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(
                        f"no signal {member}{'' if args is None else tuple(args)} within "
                        f"{timeout} s; got {self.signals!r}")
                self._cond.wait(left)


builtin_len = len
