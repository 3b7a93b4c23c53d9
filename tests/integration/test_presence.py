# SPDX-License-Identifier: GPL-2.0-or-later
"""Presence of the module: the start-up search, udev add/remove events, the
cellularState signals and the control messages 1, 2 and 16 on queue 0.

No MBIM helper runs here: the tests read queue 0 themselves."""

import time

import pytest

from dbus_ready import wait_exported
from harness.udev_events import UdevEvents

CONTROL = 2  # HELPER_MSG_CONTROL
MODULE = "3f1e:0a12 Quillon KT300"
MOUSE = "046d:c077 Logitech USB Optical Mouse"
EDL = "05c6:9008 Qualcomm HS-USB QDLoader 9008"
KT500_LSPCI = "0000:08:00.0 Wireless controller [0d40]: Quillon KT500 [5e86] (rev 01)"
MODULE_PATH = "/devices/pci0000:00/0000:00:14.0/usb1/1-3"
MOUSE_PATH = "/devices/pci0000:00/0000:00:14.0/usb1/1-5"
PCI_PATH = "/devices/pci0000:00/0000:00:1c.0/0000:08:00.0"

EXISTED = "[ModemState]cellular existed!"
MISSING = "[ModemState]cellular missing!"
RETRY = r"don't find valid cellular, will retry!"
MONITOR_READY = r"quil_adapter_udev_init:\d+: finished!"
# Far below the 2-second pause of a hot-plugged arrival, far above the few
# milliseconds between the control message and the signal of the start-up check.
DELAY_LINE = 1.5


def expect_control(sb, cid, payload=b"", timeout=10.0):
    msg = sb.queues.receive(0, CONTROL, timeout=timeout)
    assert msg is not None, f"no control message {cid:#x} on queue 0"
    assert (msg.cid, msg.payload) == (cid, payload)
    assert msg.mtype == CONTROL and msg.serviceid == 0 and msg.rtcode == 0
    return time.monotonic()


def state_signals(client, start=0):
    return [args[0] for member, args in client.signals[start:] if member == "cellularState"]


class Scenario:
    """A D-Bus helper with a bus client and a udev event sender."""

    def __init__(self, sb, lsusb, lspci="", gate_first_search=False):
        self.sb = sb
        sb.set_lspci(lspci)
        gate = sb.workdir / "lsusb.gate"
        if gate_first_search:
            # The first search waits until the object is exported, so the start-up
            # signal has a skeleton to go out through.
            body = "".join(f'echo "Bus 001 Device 00{i + 2}: ID {line}"\n'
                           for i, line in enumerate(lsusb))
            sb.set_tool("lsusb", script=f'while [ ! -e "{gate}" ]; do sleep 0.05; done\n{body}')
        else:
            sb.set_lsusb(lsusb)
        self.events = UdevEvents(sb)
        sb.start_bus()
        self.client = sb.dbus_client()
        self.daemon = sb.start_dbus_helper()
        if gate_first_search:
            wait_exported(self.client)
            gate.touch()

    def signal_after(self, start, timeout=10.0):
        """Waits for the next cellularState signal at/after index start."""
        self.client.wait_signal("cellularState", timeout=timeout, start=start)
        return time.monotonic()


def test_module_present_at_start(sandbox):
    sc = Scenario(sandbox, [MODULE], gate_first_search=True)
    expect_control(sandbox, 1, b"cdc-wdm")
    sent = expect_control(sandbox, 0x10)
    got = sc.signal_after(0)
    assert got - sent < DELAY_LINE
    assert state_signals(sc.client) == [EXISTED]
    sandbox.log.wait_for(r"Found cellular KT300-WW-00 added!")
    sandbox.log.wait_for(MONITOR_READY)
    sandbox.log.sync()
    assert sandbox.log.count(RETRY) == 0
    assert sandbox.queues.count(0) == 0


def test_module_found_at_later_attempt(sandbox):
    sc = Scenario(sandbox, [])
    wait_exported(sc.client)
    sandbox.log.wait_for(RETRY, timeout=15)
    sandbox.set_lsusb([MODULE])
    sent = expect_control(sandbox, 1, b"cdc-wdm", timeout=15)
    got = sc.signal_after(0)
    assert got - sent < DELAY_LINE
    sandbox.log.wait_for(MONITOR_READY)
    # Not found at the first attempt: no 0x10.
    assert sandbox.queues.count(0) == 0
    assert state_signals(sc.client) == [EXISTED]


# One module's life on the bus, step by step: (what happens, lsusb afterwards, udev
# event, log line that ends its handling, control messages, signals).
HOTPLUG_STEPS = [
    ("unrelated device added", [MODULE, MOUSE], ("add", "usb", MOUSE_PATH),
     r"device already existed!", [], []),
    ("unrelated device removed", [MODULE], ("remove", "usb", MOUSE_PATH),
     r"cellular seems not removed!", [], []),
    ("module switched to download mode", [EDL], ("remove", "usb", MODULE_PATH),
     r"cellular seems not removed!", [], []),
    ("download-mode device arrives", [EDL], ("add", "usb", MODULE_PATH),
     r"device already existed!", [], []),
    ("module removed", [], ("remove", "usb", MODULE_PATH),
     r"Found cellular QC-EDL removed!", [(2, b"")], [MISSING]),
    ("its interface removed", [], ("remove", "usb", MODULE_PATH + "/1-3:1.0"),
     r"device already removed or not inserted at all!", [], []),
    ("unrelated device added while missing", [MOUSE], ("add", "usb", MOUSE_PATH),
     r"Helper can't recognize cellular!", [], []),
    ("module plugged in again", [MOUSE, MODULE], ("add", "usb", MODULE_PATH),
     r"Found cellular KT300-WW-00 added!", [(1, b"cdc-wdm")], [EXISTED]),
    ("its interface added", [MOUSE, MODULE], ("add", "usb", MODULE_PATH + "/1-3:1.0"),
     r"device already existed!", [], []),
    ("other action", [MOUSE, MODULE], ("change", "usb", MODULE_PATH),
     r"don't know what accured on module: action: change", [], []),
    ("module removed again", [MOUSE], ("remove", "usb", MODULE_PATH),
     r"Found cellular KT300-WW-00 removed!", [(2, b"")], [MISSING]),
]


def test_hotplug_while_running(sandbox):
    sc = Scenario(sandbox, [MODULE], gate_first_search=True)
    expect_control(sandbox, 1, b"cdc-wdm")
    expect_control(sandbox, 0x10)
    sc.signal_after(0)
    sandbox.log.wait_for(MONITOR_READY)

    for what, lsusb, (action, subsystem, devpath), done, controls, signals in HOTPLUG_STEPS:
        start_sig = len(sc.client.signals)
        mark = sandbox.log.mark()
        sandbox.set_lsusb(lsusb)
        sc.events.event(action, subsystem, devpath)
        sandbox.log.wait_for(done, timeout=10, start=mark)
        for cid, payload in controls:
            sent = expect_control(sandbox, cid, payload)
            if cid == 1:
                # A hot-plugged module is announced after a pause.
                assert sc.signal_after(start_sig) - sent >= DELAY_LINE, what
        for _ in signals:
            sc.signal_after(start_sig)
        assert state_signals(sc.client, start_sig) == signals, what
        assert sandbox.queues.count(0) == 0, what
        if not controls:
            assert sandbox.log.count(r"Found cellular .* added!", start=mark) == 0, what
    assert state_signals(sc.client) == [EXISTED, MISSING, EXISTED, MISSING]


def test_pci_module_events(sandbox):
    """A PCIe module's events come from the kernel's "pci" subsystem; events of
    subsystems outside the filter start no search."""
    sc = Scenario(sandbox, [MODULE], gate_first_search=True)
    expect_control(sandbox, 1, b"cdc-wdm")
    expect_control(sandbox, 0x10)
    sandbox.log.wait_for(MONITOR_READY)
    sandbox.set_lsusb([])
    sc.events.remove("usb", MODULE_PATH)
    expect_control(sandbox, 2)

    sandbox.set_lspci(KT500_LSPCI + "\n")
    mark = sandbox.log.mark()
    sc.events.add("block", "/devices/virtual/block/loop0", devtype="disk")
    sc.events.event("change", "usb", MOUSE_PATH)
    sandbox.log.wait_for(r"action: change", start=mark)
    assert sandbox.log.count(r"Found cellular", start=mark) == 0
    assert sandbox.queues.count(0) == 0

    for subsystem in ("pci", "pcie"):
        start_sig = len(sc.client.signals)
        sandbox.set_lspci(KT500_LSPCI + "\n")
        sc.events.add(subsystem, PCI_PATH)
        sandbox.log.wait_for(r"Found cellular KT500-WW-00 added!", start=mark)
        # The KT500 row has no MBIM port prefix.
        expect_control(sandbox, 1, b"")
        sc.signal_after(start_sig)
        start_sig = len(sc.client.signals)
        mark = sandbox.log.mark()
        sandbox.set_lspci("")
        sc.events.remove(subsystem, PCI_PATH)
        sandbox.log.wait_for(r"Found cellular KT500-WW-00 removed!", start=mark)
        expect_control(sandbox, 2)
        sc.signal_after(start_sig)
        mark = sandbox.log.mark()
    assert state_signals(sc.client) == [EXISTED, MISSING] + [EXISTED, MISSING] * 2
    assert sandbox.queues.count(0) == 0


@pytest.mark.slow
@pytest.mark.timeout(300)
def test_no_module_for_the_whole_start_up(sandbox):
    """Two passes of 20 attempts 3 seconds apart, then hot-plug tracking."""
    sc = Scenario(sandbox, [])
    sandbox.log.wait_for(r"reach max retry! drop all remained init process!", timeout=240)
    sandbox.log.wait_for(MONITOR_READY)
    msgs = sandbox.log.messages()
    retries = [i for i, m in enumerate(msgs) if "don't find valid cellular, will retry!" in m]
    twice = [i for i, m in enumerate(msgs) if "don't find valid cellular twice" in m]
    assert len(retries) == 40
    assert len(twice) == 1 and retries[19] < twice[0] < retries[20]
    assert sandbox.queues.count(0) == 0
    assert state_signals(sc.client) == []

    wait_exported(sc.client)
    sandbox.set_lsusb([MODULE])
    sc.events.add("usb", MODULE_PATH)
    sent = expect_control(sandbox, 1, b"cdc-wdm")
    assert sc.signal_after(0) - sent >= DELAY_LINE
    assert state_signals(sc.client) == [EXISTED]
    assert sandbox.queues.count(0) == 0
