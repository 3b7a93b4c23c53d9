# SPDX-License-Identifier: GPL-2.0-or-later
"""The D-Bus helper's side of a fastboot flash: the long wait for the answer to 0x100a,
the flashProgress signals made of control messages 0x100b, and ModemManager kept off
the module while the flash runs (a stand-in ModemManager on the private bus).

No MBIM helper runs: the tests play its part on the queues (the request from queue 0,
the answer and the control messages on queue 1)."""

import time
from concurrent.futures import ThreadPoolExecutor

import pytest
from gi.repository import Gio

from dbus_ready import wait_exported
from harness.modem_manager import NAME as MM_NAME, PATH as MM_PATH, UID, ModemManagerStandIn

NORMAL, CONTROL = 1, 2
FASTBOOT = 0x100A  # the flash request, and the control message of its status texts
PROGRESS = 0x100B
PORT_STATE = 0x2001
SIM = 0x11
MODULE = "3f1e:0a12 Quillon KT300-WW-00"
FLASH_PAYLOAD = "ap:A1;md:M1;op:P1"
FLASHING = (0, 17, "fastboot_flashing")
SWITCH_PORT = (1, 20, "fastboot_switch_port")
FOUND = r"Found cellular KT300-WW-00 added!"
INHIBITED = [(UID, True)]
RELEASED = [(UID, True), (UID, False)]


class Rig:
    """A D-Bus helper on an open private bus, the module found by its start-up search,
    a client, and, when asked, a stand-in ModemManager started before the helper."""

    def __init__(self, sb, module=True, mm=None):
        self.sb = sb
        sb.set_lsusb([MODULE] if module else [])
        sb.start_bus(policy="open")
        self.client = sb.dbus_client()
        self.mm = ModemManagerStandIn(sb, **mm) if mm is not None else None
        self.daemon = sb.start_dbus_helper()
        wait_exported(self.client)
        if module:
            sb.log.wait_for(FOUND)
        self._pool = ThreadPoolExecutor(max_workers=2)
        self._sentinels = 0

    def request(self, serviceid=3, payload=FLASH_PAYLOAD):
        """Sends 0x100a in the background; the future gives the SendMesgResult."""
        return self._pool.submit(self.client.send_mesg, serviceid, FASTBOOT, 0, None, payload,
                                 timeout=40)

    def take_request(self, timeout=10):
        msg = self.sb.queues.receive(0, NORMAL, timeout=timeout)
        assert msg is not None, "no request reached queue 0"
        assert (msg.cid, msg.payload) == (FASTBOOT, FLASH_PAYLOAD.encode())
        return msg

    def answer(self, msg, rtcode, length, text):
        self.sb.queues.send(1, NORMAL, msg.serviceid, msg.cid, rtcode, text, len=length)

    def status(self, text):
        """A status text of the flash, and its fastbootStatus signal."""
        start = self.client.mark()
        self.sb.queues.send_control(1, FASTBOOT, text)
        self.client.wait_signal("fastbootStatus", timeout=10, start=start, args=(text,))

    def settle(self):
        """Every control message sent so far has been handled: a SIM state message sent
        last comes back as the last signal."""
        self._sentinels += 1
        text = f"sentinel {self._sentinels}"
        self.sb.queues.send_control(1, SIM, text)
        self.client.wait_signal("simcardChange", timeout=10, args=(text,))
        self.sb.log.sync()

    def main_loop_done(self):
        """Everything the main loop did before now has reached the stand-in: a call the
        helper serves in its main loop, then a call to the stand-in, which the bus
        delivers after whatever the helper sent it earlier."""
        self.client.send_mesg(1, PORT_STATE, 0, 0, "")
        if self.mm is not None:
            self.client.connection.call_sync(
                MM_NAME, MM_PATH, "org.freedesktop.DBus.ObjectManager", "GetManagedObjects",
                None, None, Gio.DBusCallFlags.NONE, 5000, None)
        self.sb.log.sync()

    def close(self):
        self._pool.shutdown(wait=False, cancel_futures=True)


@pytest.fixture
def rigs(sandbox):
    made = []

    def make(**kwargs):
        rig = Rig(sandbox, **kwargs)
        made.append(rig)
        return rig

    yield make
    for rig in made:
        rig.close()


# --- the wait for the answer -------------------------------------------------------


@pytest.mark.slow
def test_late_answer_reaches_the_client(sandbox, rigs):
    rig = rigs()
    call = rig.request()
    msg = rig.take_request()
    # The MBIM helper's worst case: 3 s, then polls a second apart until the module
    # shows up in fastboot mode.
    time.sleep(8)
    rig.answer(msg, *FLASHING)
    result = call.result(timeout=20)
    assert result.reply == ((3, FASTBOOT), *FLASHING)
    assert result.elapsed > 8
    sandbox.log.sync()
    assert sandbox.log.count(r"quil-helperm no resp!") == 0


@pytest.mark.slow
def test_silent_peer_times_out_after_the_long_limit(sandbox, rigs):
    rig = rigs(mm={})
    result = rig.request().result(timeout=30)
    assert result.reply == ((3, FASTBOOT), 1, 0, "")
    assert 14.5 < result.elapsed < 18
    assert sandbox.queues.drain(0, NORMAL) == []  # the request was withdrawn
    assert sandbox.log.count(r"quil-helperm no resp!") == 1
    # A failed request starts no flash: ModemManager gets the module back.
    rig.mm.wait_calls(RELEASED)


# --- progress on the bus -----------------------------------------------------------

DROPPED = r"\[Error\]: .*(Invalid fastboot progress payload|NULL pointer!|Invalid payload length)"
# (case, payload, len (None: the payload's), percent or None for no signal, error line)
PROGRESS_CASES = [
    ("14", b"14", None, 14, None),
    ("99", b"99", None, 99, None),
    ("0", b"0", None, 0, None),
    ("100", b"100", None, 100, None),
    ("three digits", b"007", None, 7, None),
    ("ends at its NUL", b"14\0junk", 7, 14, None),
    ("empty", b"", 0, None, r"NULL pointer!"),
    ("letters", b"abc", None, None, r"Invalid fastboot progress payload"),
    ("negative", b"-1", None, None, r"Invalid fastboot progress payload"),
    ("four digits", b"1000", None, None, r"Invalid fastboot progress payload"),
    ("above 100", b"101", None, None, r"Invalid fastboot progress payload"),
    ("newline", b"14\n", None, None, r"Invalid fastboot progress payload"),
    ("leading blank", b" 14", None, None, r"Invalid fastboot progress payload"),
    ("len past the body", b"14", 5000, None, r"Invalid payload length 5000"),
    ("negative len", b"14", -3, None, r"Invalid payload length -3"),
]


@pytest.mark.parametrize("payload,length,percent,error",
                         [pytest.param(p, n, v, e, id=c) for c, p, n, v, e in PROGRESS_CASES])
def test_progress_message(sandbox, rigs, payload, length, percent, error):
    rig = rigs(module=False)
    log_start = sandbox.log.mark()
    sandbox.queues.send(1, CONTROL, 0, PROGRESS, 0, payload, len=length)
    rig.settle()
    got = rig.client.signals_of("flashProgress")
    assert got == ([("fastboot", percent)] if percent is not None else [])
    drops = sandbox.log.count(DROPPED, start=log_start)
    if error is None:
        assert drops == 0
    else:
        assert drops == 1 and sandbox.log.count(r"\[Error\]: .*" + error, start=log_start) == 1
    assert rig.daemon.alive()


# --- ModemManager ------------------------------------------------------------------

END_CASES = [
    ("flash ok", FLASHING, "fastboot flash ok"),
    ("flash fail", FLASHING, "fastboot flash fail"),
    ("no fastboot mode", SWITCH_PORT, None),
]


@pytest.mark.parametrize("answer,final", [pytest.param(a, f, id=c) for c, a, f in END_CASES])
def test_modem_manager_leaves_the_module_alone_during_the_flash(sandbox, rigs, answer, final):
    rig = rigs(mm={})
    call = rig.request()
    msg = rig.take_request()
    assert rig.mm.calls() == INHIBITED  # asked before the request went out
    rig.answer(msg, *answer)
    assert call.result(timeout=20).reply == ((3, FASTBOOT), *answer)
    if final is None:
        rig.mm.wait_calls(RELEASED)
        return
    rig.status("fastboot flashing...")
    sandbox.queues.send(1, CONTROL, 0, PROGRESS, 0, b"14")
    rig.client.wait_signal("flashProgress", timeout=10, args=("fastboot", 14))
    rig.main_loop_done()
    assert rig.mm.calls() == INHIBITED  # held while the flash runs
    rig.status(final)
    rig.mm.wait_calls(RELEASED)


def test_second_request_during_a_flash_keeps_the_inhibition(sandbox, rigs):
    rig = rigs(mm={})
    first = rig.request()
    rig.answer(rig.take_request(), *FLASHING)
    assert first.result(timeout=20).reply == ((3, FASTBOOT), *FLASHING)
    # A second flash is refused by the MBIM helper; its failure must not hand the
    # module of the running flash back to ModemManager.
    second = rig.request(serviceid=4)
    msg = rig.take_request()
    rig.answer(msg, 1, len(FLASH_PAYLOAD), FLASH_PAYLOAD)
    assert second.result(timeout=20).reply == ((4, FASTBOOT), 1, len(FLASH_PAYLOAD),
                                               FLASH_PAYLOAD)
    rig.main_loop_done()
    assert rig.mm.calls() == INHIBITED
    rig.status("fastboot flash ok")
    rig.mm.wait_calls(RELEASED)


# (case, rig arguments, the one log line, InhibitDevice calls at the end)
WITHOUT_CASES = [
    ("not on the bus", {}, r"\[Info\]: .*ModemManager is not on the bus, flash goes on without it!",
     []),
    ("no modem object", {"mm": {"no_modem": True}},
     r"\[Warning\]: .*ModemManager has no modem for the module, flash goes on without it!", []),
    ("modem of other ports",
     {"mm": {"ports": [("ttyUSB10", 3), ("wwan0at0", 3), ("wwan0mbim0", 6), ("wdm0", 6)]}},
     r"ModemManager has no modem for the module, flash goes on without it!", []),
    ("inhibition refused", {"mm": {"fail_inhibit": True}},
     r"\[Warning\]: .*ModemManager did not inhibit /sys/devices/.*/1-3 \(.*not found\), "
     r"flash goes on without it!", INHIBITED),
    ("module not found", {"module": False, "mm": {}},
     r"ports of the module unknown, ModemManager not asked to leave it alone!", []),
    ("ModemManager hangs", {"mm": {"hang": True}},
     r"ModemManager did not list its modems \(.*\), flash goes on without it!", []),
]


@pytest.mark.parametrize("rig_args,line,calls",
                         [pytest.param(a, l, c, id=i) for i, a, l, c in WITHOUT_CASES])
def test_flash_goes_on_without_modem_manager(sandbox, rigs, rig_args, line, calls):
    rig = rigs(**rig_args)
    call = rig.request()
    rig.answer(rig.take_request(), *FLASHING)
    assert call.result(timeout=20).reply == ((3, FASTBOOT), *FLASHING)
    rig.status("fastboot flash ok")
    if rig.mm is not None and not rig_args["mm"].get("hang"):
        rig.main_loop_done()
    else:
        rig.client.send_mesg(1, PORT_STATE, 0, 0, "")
        sandbox.log.sync()
    # One line says why, whatever the log level; Debug lines aside.
    assert sandbox.log.count(r"^\[(?!Debug).*(ModemManager|ports of the module)") == 1
    assert sandbox.log.count(line) == 1
    if rig.mm is not None:
        assert rig.mm.calls() == calls


@pytest.mark.parametrize("ports", [
    [("cdc-wdm3", 6)],  # the MBIM port, by its prefix
    [("ttyUSB1", 3)],  # the AT port, by its name
], ids=["mbim-port", "at-port"])
def test_modem_found_by_either_port(sandbox, rigs, ports):
    rig = rigs(mm={"ports": ports, "device": "/sys/devices/platform/wwan7"})
    call = rig.request()
    msg = rig.take_request()
    assert rig.mm.calls() == [("/sys/devices/platform/wwan7", True)]
    rig.answer(msg, *FLASHING)
    assert call.result(timeout=20).reply == ((3, FASTBOOT), *FLASHING)
