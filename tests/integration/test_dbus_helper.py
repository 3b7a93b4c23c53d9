# SPDX-License-Identifier: GPL-2.0-or-later
"""quil-helper-dbus on the sandbox's private system bus: the sendMesg road through the
MBIM helper and back, the commands it serves itself, the reset line, the 6-second
time-out (response matching: test_relay.py), the unimplemented methods and the stop signals."""

import os
import signal
import threading
import time

import pytest
from gi.repository import GLib

from dbus_ready import wait_exported

NORMAL, CONTROL = 1, 2
PORT_STATE, HW_RESET, EDL_FLASH = 0x2001, 0x2003, 0x2004
UNKNOWN = 0x7777  # no row in the MBIM helper's command table
RESET_OK = ("reset_modem_hw_success", 23)
RESET_FAIL = ("reset_modem_hw_fail", 20)


def start(sb, mbim=True):
    """Both daemons (or the D-Bus helper alone) and a client once the object is out."""
    client = sb.dbus_client()
    if mbim:
        sb.start_mbim_helper()
    daemon = sb.start_dbus_helper()
    wait_exported(client)
    return client, daemon


def wait_until(predicate, timeout=5.0, what="condition"):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError(f"{what} not reached in {timeout} s")
        time.sleep(0.02)


@pytest.mark.parametrize("serviceid, cid, rtcode, length, payload, expected", [
    # Forwarded: the MBIM helper has no row for the cid and answers its default.
    (2, UNKNOWN, 0, None, "hi", (1, 5, "ERROR")),
    (3, UNKNOWN, 0, 0, "", (1, 5, "ERROR")),
    # A len the payload cannot honour is refused here, the request echoed.
    (2, UNKNOWN, 0, -1, "ab", (1, -1, "ab")),
    (2, UNKNOWN, 0, 4, "abc", (1, 4, "abc")),
    (2, UNKNOWN, 0, 2024, "x" * 2024, (1, 2024, "x" * 2024)),
    (2, PORT_STATE, 0, 3, "ab", (1, 3, "ab")),
], ids=["forwarded", "forwarded-empty", "len-negative", "len-past-payload", "len-too-big",
        "local-cid-bad-len"])
def test_send_mesg_replies(sandbox, serviceid, cid, rtcode, length, payload, expected):
    client, _ = start(sandbox)
    result = client.send_mesg(serviceid, cid, rtcode, length, payload)
    assert result.reply == ((serviceid, cid), *expected)


@pytest.mark.parametrize("lsusb, state", [
    ([], "noport\n"),
    (["3f1e:0a12 Quillon KT300"], "normalport\n"),
    (["05c6:9008 Qualcomm QDL mode"], "flashport\n"),
    (["3f1e:f00f Quillon fastboot"], "fastbootport\n"),
])
def test_port_state_served_locally(sandbox, lsusb, state):
    sandbox.set_lsusb(lsusb)
    client, _ = start(sandbox, mbim=False)
    result = client.send_mesg(4, PORT_STATE, 7, 0, "")
    assert result.reply == ((4, PORT_STATE), 7, len(state), state)
    assert sandbox.queues.drain(0, NORMAL) == []


@pytest.mark.parametrize("lsusb, expected", [
    ([], (1, 5, "ERROR")),  # not in download mode: forwarded like any other cid
    # Download mode: the flash thread takes it (and fails on this payload) at once.
    (["05c6:9008 Qualcomm QDL mode"], (0, 12, "edl flashing")),
], ids=["forwarded", "download-mode"])
def test_edl_flash_request(sandbox, lsusb, expected):
    sandbox.set_lsusb(lsusb)
    client, _ = start(sandbox)
    result = client.send_mesg(1, EDL_FLASH, 0, None, "pkg")
    assert result.reply == ((1, EDL_FLASH), *expected)


class ValueRecorder:
    """A FIFO as /sys/class/gpio/gpioN/value: records every byte written to it."""

    def __init__(self, path):
        self.path = path
        path.parent.mkdir(parents=True)
        os.mkfifo(path)
        self.data = b""
        self._cond = threading.Condition()
        self._stop = False
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stop:
            with open(self.path, "rb", buffering=0) as fifo:
                while chunk := fifo.read(64):
                    with self._cond:
                        self.data += chunk
                        self._cond.notify_all()

    def wait_for(self, data, timeout=5.0):
        with self._cond:
            if not self._cond.wait_for(lambda: self.data == data, timeout):
                raise AssertionError(f"value file got {self.data!r}, not {data!r}")

    def close(self):
        self._stop = True
        fd = os.open(self.path, os.O_WRONLY | os.O_NONBLOCK)  # lets the reader go
        os.close(fd)
        self._thread.join(2)


@pytest.mark.parametrize("sku, gpio, fitted, expected", [
    ("0CBD", 883, True, RESET_OK),
    ("0CBD", 883, False, RESET_FAIL),  # value file missing: the writes fail
    ("ZZZZ", 0, False, RESET_FAIL),  # unknown SKU: no reset line
], ids=["known-sku", "known-sku-no-gpio", "unknown-sku"])
def test_hw_reset(sandbox, sku, gpio, fitted, expected):
    sandbox.set_tool("dmidecode", stdout=f"System Information\n\tSKU Number: {sku}\n")
    recorder = ValueRecorder(sandbox.gpio_dir / f"gpio{gpio}" / "value") if fitted else None
    try:
        client, _ = start(sandbox, mbim=False)
        if recorder:
            recorder.wait_for(b"1\n")  # the idle level, set at start-up
        else:
            sandbox.log.wait_for(r"quillon_hwreset_gpio_init failed!")
        result = client.send_mesg(5, HW_RESET, 0, 0, "")
        text, length = expected
        assert result.reply == ((5, HW_RESET), 0 if expected == RESET_OK else 1, length, text)
        if recorder:
            recorder.wait_for(b"1\n0\n1\n")
    finally:
        if recorder:
            recorder.close()


@pytest.mark.slow
def test_silent_mbim_helper_times_out_after_6_seconds(sandbox):
    client, _ = start(sandbox, mbim=False)
    # A control message ahead of the request must survive the time-out.
    sandbox.queues.send_control(0, 0x10)
    result = client.send_mesg(6, UNKNOWN, 0, None, "late", timeout=20)
    assert result.reply == ((6, UNKNOWN), 1, 0, "")
    assert 5.5 < result.elapsed < 8
    left = sandbox.queues.drain(0)
    assert [(m.mtype, m.cid) for m in left] == [(CONTROL, 0x10)]
    assert sandbox.log.count(r"quil-helperm no resp!") == 1


@pytest.mark.parametrize("method", ["getVersion", "setVersion"])
def test_version_methods_are_not_implemented(sandbox, method):
    client, _ = start(sandbox, mbim=False)
    with pytest.raises(GLib.Error) as err:
        client.call(method, "1.0.8")
    assert "org.freedesktop.DBus.Error.UnknownMethod" in err.value.message
    assert f"Method {method} is not implemented on interface com.quillon.helper" \
        in err.value.message


@pytest.mark.parametrize("forwarded", [False, True], ids=["idle", "after-forwarding"])
@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT, signal.SIGHUP])
def test_stop_signal_removes_queues_and_exits_0(sandbox, signum, forwarded):
    client, daemon = start(sandbox)
    if forwarded:
        # A forwarded request starts the request timer, which must not hold up the exit.
        assert client.send_mesg(1, UNKNOWN, 0, 0, "").reply == ((1, UNKNOWN), 1, 5, "ERROR")
    daemon.signal(signum)
    assert daemon.wait(10) == 0
    assert not sandbox.queues.exists(0) and not sandbox.queues.exists(1)
    sandbox.log.wait_for(r"Caught signal, stopping main loop\.\.\.")
    sandbox.log.wait_for(r"exiting 'quil-helper-dbus'\.\.\.")


def test_stop_signal_before_main_loop_only_removes_queues(sandbox):
    # dmidecode, run at start-up just before the loop, waits for the go file.
    sandbox.set_tool("dmidecode", script='while [ ! -e "$t/dmi.go" ]; do sleep 0.05; done')
    client = sandbox.dbus_client()
    daemon = sandbox.start_dbus_helper(wait=False)
    wait_until(lambda: sandbox.tool_calls("dmidecode"), what="dmidecode started")
    assert sandbox.queues.exists(0)
    daemon.signal(signal.SIGTERM)
    wait_until(lambda: not sandbox.queues.exists(0) and not sandbox.queues.exists(1),
               what="queues removed")
    (sandbox.tools_dir / "dmi.go").touch()
    wait_exported(client)
    assert daemon.alive()
    result = client.send_mesg(1, PORT_STATE, 0, 0, "")
    assert result.reply == ((1, PORT_STATE), 0, 7, "noport\n")
    daemon.signal(signal.SIGTERM)
    assert daemon.wait(10) == 0


OWNER = r"""
from gi.repository import Gio, GLib
conn = Gio.bus_get_sync(Gio.BusType.SYSTEM, None)
conn.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
               "RequestName", GLib.Variant("(su)", ("com.quillon.helper", 4)), None,
               Gio.DBusCallFlags.NONE, 5000, None)
GLib.MainLoop().run()
"""


def test_bus_name_owned_by_another_client_leaves_daemon_running(sandbox):
    sandbox.start_bus()
    sandbox.spawn(["python3", "-c", OWNER], name="owner")
    sandbox.wait_bus_name()
    daemon = sandbox.start_dbus_helper(wait=False)
    sandbox.log.wait_for(r"bus_name_lost !!!!", timeout=10)
    sandbox.log.wait_for(r"don't find valid cellular, will retry!", timeout=10)
    assert daemon.alive()
    assert sandbox.queues.exists(0) and sandbox.queues.exists(1)
