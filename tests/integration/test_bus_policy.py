# SPDX-License-Identifier: GPL-2.0-or-later
"""The project's bus policy (data/com.quillon.helper.conf) on the sandbox's private
system bus, which otherwise keeps the system bus's defaults: nobody may own a name
or receive a method call unless a policy file says so."""

import pytest

from harness.sandbox import REPO

POLICY = REPO / "data" / "com.quillon.helper.conf"
pytestmark = pytest.mark.skipif(not POLICY.exists(), reason=f"{POLICY} not written yet")

# A stand-in service run inside the sandbox: it finds the bus where the daemons do
# (/run/dbus/system_bus_socket), owns the name and echoes sendMesg.
OWNER = r"""
import sys
from gi.repository import Gio, GLib
XML = ('<node><interface name="com.quillon.helper"><method name="sendMesg">'
       '<arg type="((ii)iis)" direction="in"/><arg type="((ii)iis)" direction="out"/>'
       '</method></interface></node>')
conn = Gio.bus_get_sync(Gio.BusType.SYSTEM, None)
info = Gio.DBusNodeInfo.new_for_xml(XML).interfaces[0]
def call(conn, sender, path, iface, method, params, inv):
    inv.return_value(GLib.Variant("(((ii)iis))", (params.unpack()[0],)))
conn.register_object("/com/quillon/helper", info, call, None, None)
ret = conn.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                     "RequestName", GLib.Variant("(su)", ("com.quillon.helper", 4)), None,
                     Gio.DBusCallFlags.NONE, 5000, None)
print("owner", ret.unpack()[0], flush=True)
GLib.MainLoop().run()
"""


def request_name(sb, *prefix):
    return sb.run([*prefix, "dbus-send", "--system", "--print-reply",
                   "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                   "org.freedesktop.DBus.RequestName", "string:com.quillon.helper", "uint32:4"])


def test_root_owns_the_name_and_serves_calls(sandbox):
    sandbox.start_bus()
    assert "uint32 1" in request_name(sandbox).stdout  # primary owner
    client = sandbox.dbus_client()
    owner = sandbox.spawn(["python3", "-c", OWNER], name="owner")
    sandbox.wait_bus_name()
    reply, _ = client.send_mesg(3, 0x1002, 0, 2, "ab", timeout=5)
    assert reply == ((3, 0x1002), 0, 2, "ab")
    owner.kill()


def test_other_users_cannot_own_the_name(sandbox):
    sandbox.start_bus()
    result = request_name(sandbox, "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups")
    assert result.returncode != 0
    assert "AccessDenied" in result.stderr
