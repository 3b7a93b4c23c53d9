# SPDX-License-Identifier: GPL-2.0-or-later
"""Waiting until the D-Bus helper's object is exported, so that its signals go out."""

import time

from gi.repository import Gio, GLib


def wait_exported(client, timeout=15.0):
    """Returns once /com/quillon/helper carries com.quillon.helper (the helper has set
    up the object its signals are emitted through); AssertionError on timeout."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            result = client.connection.call_sync(
                "com.quillon.helper", "/com/quillon/helper",
                "org.freedesktop.DBus.Introspectable", "Introspect", None,
                GLib.VariantType("(s)"), Gio.DBusCallFlags.NONE, 2000, None)
            if 'interface name="com.quillon.helper"' in result.unpack()[0]:
                return
        except GLib.Error:
            pass
        time.sleep(0.05)
    raise AssertionError("com.quillon.helper was not exported in time")
