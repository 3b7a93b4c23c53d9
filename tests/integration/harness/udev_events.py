# SPDX-License-Identifier: GPL-2.0-or-later
"""udev "add"/"remove" events for the daemons inside a Sandbox.

libudev monitors of the "udev" source listen on netlink (NETLINK_KOBJECT_UEVENT)
multicast group 2, where udevd sends every processed device as a message with a
"libudev" header followed by the device's properties. This module builds such
messages and multicasts them from inside the sandbox's own network namespace, so
only the sandbox's listeners see them; the host's real listeners never do.

Inside a sandbox libudev subscribes to nothing unless /run/udev/control exists
(it takes the absence as "no udevd here"), so enable_udev_control() must be called
before the daemon sets up its monitor.

Usage:
    events = UdevEvents(sb)            # enables /run/udev/control as well
    events.add("usb", "/devices/pci0000:00/0000:00:14.0/usb1/1-3")
    events.remove("usb", "/devices/pci0000:00/0000:00:14.0/usb1/1-3")

Run as a program (inside the sandbox only), it sends the events given as JSON.
"""

import json
import os
import socket
import struct
import sys

NETLINK_KOBJECT_UEVENT = 15
UDEV_MONITOR_GROUP = 2
UDEV_MONITOR_MAGIC = 0xFEEDCAFE
# struct udev_monitor_netlink_header: prefix[8], then eight 32-bit fields.
HEADER_SIZE = 40


def murmur_hash2(data: bytes, seed: int = 0) -> int:
    """MurmurHash2, 32 bit, as libudev hashes subsystem and devtype for its filter."""
    m = 0x5BD1E995
    mask = 0xFFFFFFFF
    length = len(data)
    h = (seed ^ length) & mask
    pos = 0
    while length - pos >= 4:
        (k,) = struct.unpack_from("<I", data, pos)
        k = (k * m) & mask
        k ^= k >> 24
        k = (k * m) & mask
        h = (h * m) & mask
        h ^= k
        pos += 4
    rest = length - pos
    if rest == 3:
        h ^= data[pos + 2] << 16
    if rest >= 2:
        h ^= data[pos + 1] << 8
    if rest >= 1:
        h ^= data[pos]
        h = (h * m) & mask
    h ^= h >> 13
    h = (h * m) & mask
    h ^= h >> 15
    return h


def build_message(action: str, subsystem: str, devpath: str, seqnum: int,
                  devtype: str | None = None, properties: dict | None = None) -> bytes:
    """One libudev netlink message: header, then NUL-separated KEY=value properties."""
    props = {
        "ACTION": action,
        "DEVPATH": devpath,
        "SUBSYSTEM": subsystem,
        "SEQNUM": str(seqnum),
        "USEC_INITIALIZED": "1",
    }
    if devtype:
        props["DEVTYPE"] = devtype
    props.update(properties or {})
    blob = b"".join(f"{k}={v}".encode() + b"\0" for k, v in props.items())
    header = (b"libudev\0"
              + struct.pack(">I", UDEV_MONITOR_MAGIC)
              + struct.pack("=III", HEADER_SIZE, HEADER_SIZE, len(blob))
              + struct.pack(">IIII", murmur_hash2(subsystem.encode()),
                            murmur_hash2(devtype.encode()) if devtype else 0, 0, 0))
    assert len(header) == HEADER_SIZE
    return header + blob


def _netns_id(path: str = "/proc/self/ns/net") -> str:
    return os.readlink(path)


def enable_udev_control(sb) -> None:
    """Makes /run/udev/control exist inside the sandbox (its /run must be private)."""
    if hasattr(sb, "enable_udev_control"):
        sb.enable_udev_control()
        return
    inside = sb.run(["stat", "-c", "%d:%i", "/run"]).stdout.strip()
    host = os.stat("/run")
    if inside == f"{host.st_dev}:{host.st_ino}":
        raise RuntimeError("the sandbox shares the host's /run; refusing to touch it")
    res = sb.run(["sh", "-c", "mkdir -p /run/udev && : > /run/udev/control"])
    if res.returncode != 0:
        raise RuntimeError(f"cannot create /run/udev/control: {res.stderr}")


class UdevEvents:
    """Sends udev events to the listeners of one sandbox."""

    def __init__(self, sb, enable_control: bool = True):
        self.sb = sb
        self.seqnum = 1000
        inside = sb.run(["readlink", "/proc/self/ns/net"]).stdout.strip()
        if not inside or inside == _netns_id():
            raise RuntimeError("the sandbox has no network namespace of its own")
        if enable_control:
            enable_udev_control(sb)

    def send(self, events: list[dict]) -> None:
        """Each event: dict(action=, subsystem=, devpath=, devtype=None, properties={})."""
        batch = []
        for event in events:
            self.seqnum += 1
            batch.append(dict(event, seqnum=self.seqnum))
        res = self.sb.run(["/usr/bin/python3", os.path.abspath(__file__), json.dumps(batch)])
        if res.returncode != 0:
            raise RuntimeError(f"udev event not sent: {res.stdout}{res.stderr}")

    def event(self, action: str, subsystem: str, devpath: str, devtype: str | None = None,
              **properties) -> None:
        self.send([dict(action=action, subsystem=subsystem, devpath=devpath,
                        devtype=devtype, properties=properties)])

    def add(self, subsystem: str, devpath: str, devtype: str | None = None, **properties):
        self.event("add", subsystem, devpath, devtype, **properties)

    def remove(self, subsystem: str, devpath: str, devtype: str | None = None, **properties):
        self.event("remove", subsystem, devpath, devtype, **properties)


def _send_inside(batch: list[dict]) -> None:
    sock = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, NETLINK_KOBJECT_UEVENT)
    try:
        sock.bind((0, 0))
        for event in batch:
            message = build_message(event["action"], event["subsystem"], event["devpath"],
                                    event["seqnum"], event.get("devtype"),
                                    event.get("properties"))
            sock.sendto(message, (0, UDEV_MONITOR_GROUP))
    finally:
        sock.close()


if __name__ == "__main__":
    _send_inside(json.loads(sys.argv[1]))
