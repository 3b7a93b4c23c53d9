# SPDX-License-Identifier: GPL-2.0-or-later
"""Control messages injected on queue 1 and the D-Bus signals the D-Bus helper makes
of them; control message 4 stops it."""

import struct
import time

import pytest

from dbus_ready import wait_exported

CONTROL = 2  # HELPER_MSG_CONTROL
SIM, HOME, ROAM, FASTBOOT, STOP = 0x11, 0x13, 0x15, 0x100A, 0x4
LOCAL_CHANGED = ("simcardChange", "local mccmnc changed!")
ROAM_CHANGED = ("roamRegion", "roam mccmnc changed!")
WATCHED = ("simcardChange", "roamRegion", "fastbootStatus")


def raw_body(cid, length, payload=b""):
    body = struct.pack("=iiii", 0, cid, 0, length) + payload
    return body + b"\0" * (2040 - len(body))


class Receiver:
    """A running D-Bus helper, exported on a private bus, with a client listening."""

    def __init__(self, sb):
        self.sb = sb
        sb.set_lsusb([])
        sb.start_bus()
        self.client = sb.dbus_client()
        self.daemon = sb.start_dbus_helper()
        wait_exported(self.client)
        self.sentinels = 0

    def send(self, cid, payload=b"", length=None, raw=None):
        if isinstance(payload, str):
            payload = payload.encode()
        if raw is not None:
            self.sb.queues.send(1, CONTROL, 0, cid, raw_body=raw)
        else:
            self.sb.queues.send(1, CONTROL, 0, cid, payload=payload, len=length)

    def settle(self):
        """Every message sent so far has been handled, its signals delivered and its
        log lines read: a SIM state message sent last comes back as the last signal."""
        self.sentinels += 1
        text = f"sentinel {self.sentinels}"
        self.send(SIM, text)
        self.client.wait_signal("simcardChange", timeout=10, args=(text,))
        self.sb.log.sync()

    def signals(self, keep_sentinels=False):
        out = [(member, args[0]) for member, args in self.client.signals if member in WATCHED]
        if not keep_sentinels:
            out = [s for s in out if not s[1].startswith("sentinel ")]
        return out


# (case, messages as (cid, payload[, len]), signals, log lines that must appear)
SIGNAL_CASES = [
    ("same home code twice", [(HOME, "310260"), (HOME, "310260")], [LOCAL_CHANGED],
     [r"same local mccmnc, abort signal emit process!"]),
    ("same registered code twice", [(ROAM, "26201"), (ROAM, "26201")], [ROAM_CHANGED],
     [r"same roam mccmnc, abort signal emit process!"]),
    ("home code changes back and forth", [(HOME, "310260"), (HOME, "26201"), (HOME, "310260")],
     [LOCAL_CHANGED] * 3, [r"local mccmnc changed from 26201 to 310260"]),
    ("the two codes are remembered apart", [(ROAM, "310260"), (HOME, "310260"), (ROAM, "310260")],
     [ROAM_CHANGED, LOCAL_CHANGED], [r"same roam mccmnc"]),
    ("len 0 dropped, remembered code kept", [(HOME, "310260"), (HOME, "", 0), (HOME, "310260")],
     [LOCAL_CHANGED], [r"NULL pointer!", r"same local mccmnc"]),
    ("code ends at its NUL", [(HOME, b"310260\0junk", 11), (HOME, "310260")], [LOCAL_CHANGED],
     [r"same local mccmnc"]),
    ("code of 7 characters fits", [(ROAM, "1234567"), (ROAM, "1234567")], [ROAM_CHANGED],
     [r"same roam mccmnc"]),
    ("code longer than 7 refused", [(HOME, "12345678"), (ROAM, "123456789012"), (HOME, "1234567")],
     [LOCAL_CHANGED], [r"local mccmnc text of 8 characters is too long",
                       r"roam mccmnc text of 12 characters is too long"]),
    ("SIM state texts", [(SIM, "SIM inserted"), (SIM, "SIM removed")],
     [("simcardChange", "SIM inserted"), ("simcardChange", "SIM removed")], []),
    ("SIM state len 0 dropped", [(SIM, "", 0), (ROAM, "", 0)], [], [r"NULL pointer!"]),
    ("SIM state not UTF-8 dropped", [(SIM, b"SIM \xff\xfe")], [], [r"not UTF-8"]),
]


@pytest.mark.parametrize("messages,signals,logs",
                         [pytest.param(m, s, l, id=c) for c, m, s, l in SIGNAL_CASES])
def test_sim_and_network_signals(sandbox, messages, signals, logs):
    rx = Receiver(sandbox)
    for cid, payload, *length in messages:
        rx.send(cid, payload, length[0] if length else None)
    rx.settle()
    assert rx.signals() == signals
    for line in logs:
        assert sandbox.log.count(line) >= 1, line
    assert rx.daemon.alive()


FASTBOOT_CASES = [
    ("fastboot flash ok, 12 partitions written", "fastboot flash ok", "-"),
    ("[3/12] fastboot flashing... modem.img", "fastboot flashing...", "+"),
    ("fastboot flash fail: modem.img", "fastboot flash fail", "-"),
    # Tested in order: progress first.
    ("fastboot flashing... fastboot flash ok", "fastboot flashing...", "+"),
    ("fastboot flash", None, None),
    ("", None, None),
]


@pytest.mark.parametrize("payload,expected,banner", FASTBOOT_CASES)
def test_fastboot_status(sandbox, payload, expected, banner):
    rx = Receiver(sandbox)
    rx.send(FASTBOOT, payload)
    rx.settle()
    if expected is None:
        assert rx.signals() == []
        assert sandbox.log.count(r"Invalid payload str!") == 1
    else:
        assert rx.signals() == [("fastbootStatus", expected)]
        assert sandbox.log.count(r": " + "\\" + banner + "{68}$") == 1


def test_unusable_messages_are_refused(sandbox):
    rx = Receiver(sandbox)
    # Unknown ids, among them ids meant for the other queue.
    for cid in (0x20, 0x1, 0x3, -1):
        rx.send(cid, "x")
    # A len that does not fit the body.
    rx.send(SIM, raw=raw_body(SIM, 5000, b"SIM inserted"))
    rx.send(FASTBOOT, raw=raw_body(FASTBOOT, -3, b"fastboot flash ok"))
    rx.settle()
    assert rx.signals() == []
    for text in ("0x0020", "0x0001", "0x0003", "0xffffffff"):
        assert sandbox.log.count(rf"\[Debug\]: .*Unsupported control message cid:{text}$") == 1
    assert sandbox.log.count(r"Invalid payload length 5000") == 1
    assert sandbox.log.count(r"Invalid payload length -3") == 1
    assert rx.daemon.alive()


def test_stop_message_ends_the_daemon(sandbox):
    rx = Receiver(sandbox)
    assert sandbox.queues.exists(0) and sandbox.queues.exists(1)
    rx.send(STOP)
    assert rx.daemon.wait(15) == 0
    sandbox.log.wait_for(r"quil-helper-mbim no resp at all! will remove message seq and exit dbus!")
    sandbox.log.wait_for(r"exiting 'quil-helper-dbus'\.\.\.")
    assert not sandbox.queues.exists(0)
    assert not sandbox.queues.exists(1)
