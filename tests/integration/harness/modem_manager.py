# SPDX-License-Identifier: GPL-2.0-or-later
"""A stand-in ModemManager on a sandbox's private bus: owns org.freedesktop.ModemManager1,
lists its modems through org.freedesktop.DBus.ObjectManager at
/org/freedesktop/ModemManager1 and records every InhibitDevice call.

Run inside the sandbox (sb.spawn), e.g.
    modem_manager.py --address unix:path=... --record FILE \\
        --device /sys/devices/.../1-3 --port cdc-wdm0:6 --port ttyUSB1:3
Each InhibitDevice call appends one JSON line {"uid": ..., "inhibit": ...} to FILE.
--no-modem lists no modem object; --fail-inhibit answers InhibitDevice with an error
(recorded all the same); --hang never answers GetManagedObjects.

From the tests: ModemManagerStandIn(sb, ...) starts it and waits until it owns its name.
"""

import argparse
import json
import sys
import time
from pathlib import Path

NAME = "org.freedesktop.ModemManager1"
PATH = "/org/freedesktop/ModemManager1"
MODEM_PATH = PATH + "/Modem/0"
UID = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-3"
# MMModemPortType: net 2, at 3, qmi 5, mbim 6.
PORTS = (("cdc-wdm0", 6), ("ttyUSB1", 3), ("wwan0", 2))

_XML = """<node>
  <interface name="org.freedesktop.DBus.ObjectManager">
    <method name="GetManagedObjects">
      <arg name="objects" type="a{oa{sa{sv}}}" direction="out"/>
    </method>
  </interface>
  <interface name="org.freedesktop.ModemManager1">
    <method name="InhibitDevice">
      <arg name="uid" type="s" direction="in"/>
      <arg name="inhibit" type="b" direction="in"/>
    </method>
  </interface>
</node>"""


def _serve(args):
    from gi.repository import Gio, GLib

    loop = GLib.MainLoop()
    conn = Gio.DBusConnection.new_for_address_sync(
        args.address,
        Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
        | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION,
        None, None)
    conn.connect("closed", lambda *_: loop.quit())
    held = []  # unanswered invocations of --hang

    def managed_objects():
        objects = {}
        if not args.no_modem:
            ports = [(name, int(kind)) for name, kind in
                     (p.rsplit(":", 1) for p in args.port)] if args.port else list(PORTS)
            objects[MODEM_PATH] = {
                "org.freedesktop.ModemManager1.Modem": {
                    "Device": GLib.Variant("s", args.device),
                    "Ports": GLib.Variant("a(su)", ports),
                    "PrimaryPort": GLib.Variant("s", ports[0][0] if ports else ""),
                },
                "org.freedesktop.ModemManager1.Modem.Simple": {},
            }
        # An object of another kind, which a client must pass over.
        objects[PATH + "/SIM/0"] = {
            "org.freedesktop.ModemManager1.Sim": {"SimIdentifier": GLib.Variant("s", "8901")},
        }
        return GLib.Variant("(a{oa{sa{sv}}})", (objects,))

    def on_call(_conn, _sender, _path, iface, method, params, invocation):
        if method == "GetManagedObjects":
            if args.hang:
                held.append(invocation)
                return
            invocation.return_value(managed_objects())
        elif method == "InhibitDevice":
            uid, inhibit = params.unpack()
            with open(args.record, "a") as f:
                f.write(json.dumps({"uid": uid, "inhibit": inhibit}) + "\n")
            if args.fail_inhibit:
                invocation.return_dbus_error("org.freedesktop.ModemManager1.Error.Core.NotFound",
                                             f"device {uid} not found")
            else:
                invocation.return_value(None)
        else:
            invocation.return_dbus_error("org.freedesktop.DBus.Error.UnknownMethod", method)

    info = Gio.DBusNodeInfo.new_for_xml(_XML)
    for iface in info.interfaces:
        conn.register_object(PATH, iface, on_call, None, None)
    reply = conn.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "RequestName", GLib.Variant("(su)", (NAME, 4)),
                           GLib.VariantType("(u)"), Gio.DBusCallFlags.NONE, 5000, None)
    if reply.unpack()[0] != 1:
        print(f"could not own {NAME}: {reply.unpack()[0]}", flush=True)
        return 1
    print("READY", flush=True)
    loop.run()
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser()
    parser.add_argument("--address", required=True)
    parser.add_argument("--record", required=True)
    parser.add_argument("--device", default=UID)
    parser.add_argument("--port", action="append", help="NAME:TYPE, repeatable")
    parser.add_argument("--no-modem", action="store_true")
    parser.add_argument("--fail-inhibit", action="store_true")
    parser.add_argument("--hang", action="store_true")
    return _serve(parser.parse_args(argv))


class ModemManagerStandIn:
    """The stand-in started inside a sandbox; .calls() lists the recorded InhibitDevice
    calls as (uid, inhibit)."""

    def __init__(self, sb, device=UID, ports=None, no_modem=False, fail_inhibit=False,
                 hang=False, timeout=10.0):
        self.sb = sb
        self.record = sb.root / "modem_manager.calls"
        if sb.bus_address is None:
            raise AssertionError("start the bus first, with policy=\"open\": the system "
                                 "policy lets nobody own ModemManager's name")
        argv = ["/usr/bin/python3", str(Path(__file__).resolve()), "--address", sb.bus_address,
                "--record", str(self.record), "--device", device]
        for name, kind in ports or ():
            argv += ["--port", f"{name}:{kind}"]
        for flag, on in (("--no-modem", no_modem), ("--fail-inhibit", fail_inhibit),
                         ("--hang", hang)):
            if on:
                argv.append(flag)
        self.proc = sb.spawn(argv, name="modem_manager")
        deadline = time.monotonic() + timeout
        while "READY" not in self.output():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise AssertionError("stand-in ModemManager did not start: " + self.output())
            time.sleep(0.05)

    def output(self):
        try:
            return self.proc.out_path.read_text(errors="replace")
        except FileNotFoundError:
            return ""

    def calls(self):
        try:
            lines = self.record.read_text().splitlines()
        except FileNotFoundError:
            return []
        return [(c["uid"], c["inhibit"]) for c in map(json.loads, lines)]

    def wait_calls(self, expected, timeout=5.0):
        """Waits until the recorded calls are `expected`; AssertionError otherwise."""
        deadline = time.monotonic() + timeout
        while self.calls() != expected:
            if time.monotonic() > deadline:
                raise AssertionError(f"InhibitDevice calls {self.calls()!r}, not {expected!r}")
            time.sleep(0.02)


if __name__ == "__main__":
    sys.exit(main())
