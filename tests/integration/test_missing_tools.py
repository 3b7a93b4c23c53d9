# SPDX-License-Identifier: GPL-2.0-or-later
"""A runtime tool that is not installed: one Error line naming it, for the life of the
process, instead of a shell's "not found" on every poll and request; the daemon goes on
as if the tool had printed nothing."""

import os
from pathlib import Path

import pytest

PORT_STATE = 0x2001
RETRY = r"don't find valid cellular, will retry!"


def path_without(sb, tools):
    """A PATH on which none of `tools` is found: the sandbox's fakes without them, then
    copies of the system's program dirs made of links to every other program (/bin and
    /sbin are /usr/bin and /usr/sbin on Debian 12, where the real tools may well be
    installed)."""
    for tool in tools:
        (sb.bin_dir / tool).unlink(missing_ok=True)
    dirs = [str(sb.bin_dir)]
    for n, system_dir in enumerate(("/usr/sbin", "/usr/bin")):
        mirror = sb.root / f"path{n}"
        mirror.mkdir()
        for entry in os.scandir(system_dir):
            if entry.name not in tools:
                (mirror / entry.name).symlink_to(Path(system_dir) / entry.name)
        dirs.append(str(mirror))
    return ":".join(dirs)


def test_missing_tools_are_reported_once_each(sandbox):
    sb = sandbox
    tools = ("lsusb", "lspci", "dmidecode")
    env = {"PATH": path_without(sb, tools)}
    sb.start_bus()
    client = sb.dbus_client()
    daemon = sb.start_dbus_helper(env=env)
    # dmidecode runs once at start-up (the reset line's SKU id); the start-up search runs
    # lsusb and lspci for every catalogue row, pass after pass.
    first = sb.log.wait_entry(RETRY, timeout=10)
    sb.log.wait_entry(RETRY, timeout=10, start=sb.log.entries().index(first) + 1)
    # The port state request reads lsusb too: without it, no port.
    for _ in range(2):
        reply = client.send_mesg(1, PORT_STATE).reply
        assert reply == ((1, PORT_STATE), 0, 7, "noport\n")
    sb.log.sync()
    missing = [e for e in sb.log.entries() if "not found" in e.message]
    assert sorted((e.priority, e.message.split(": ", 2)[-1]) for e in missing) == sorted(
        (3, f"tool {tool} not found, install it") for tool in tools), missing
    assert all(e.message.startswith("[Error]:") for e in missing)
    assert "not found" not in daemon.output()
