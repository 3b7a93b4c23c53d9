# SPDX-License-Identifier: GPL-2.0-or-later
"""The AT command channel of the MBIM helper against a simulated modem AT port.

Every scenario runs the real quil-helper-mbim in its own sandbox, with a fake lsusb
that shows the module and the simulated modem's pty linked in as /dev/ttyUSB1 (the
AT port of catalogue row 0, 3f1e:0a12). Requests go in on queue 0 and the responses
are taken from queue 1; the cut-out table and the client's view of raw modem bytes go
through the D-Bus helper as a desktop client's sendMesg does.
"""

import pathlib
import sys
import time

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "sim"))
import at_modem  # noqa: E402
from dbus_ready import wait_exported  # noqa: E402

LSUSB_MODULE = ["3f1e:0a12 Quillon KT300-WW-00"]
LSUSB_DOWNLOAD_MODE = ["05c6:9008 Qualcomm QDL mode"]
CRLF2 = b"\r\n\r\n"


class Reply:
    def __init__(self, serviceid, cid, rtcode, payload, elapsed):
        self.serviceid, self.cid, self.rtcode = serviceid, cid, rtcode
        self.payload, self.elapsed = payload, elapsed

    def __repr__(self):
        return f"Reply(rtcode={self.rtcode}, payload={self.payload!r}, {self.elapsed:.2f}s)"


def ask_over_queues(sb, cid, payload=b"", serviceid=1, rtcode=0, timeout=10.0):
    """One request on queue 0, its response from queue 1."""
    start = time.monotonic()
    sb.queues.send(0, 1, serviceid, cid, rtcode=rtcode, payload=payload)
    msg = sb.queues.receive(1, 1, timeout=timeout)
    assert msg is not None, f"no response to cid 0x{cid:04x}"
    return Reply(msg.serviceid, msg.cid, msg.rtcode, msg.payload, time.monotonic() - start)


def ask_over_dbus(sb, cid, payload=b"", serviceid=1, rtcode=0, timeout=15.0):
    """One sendMesg call through the D-Bus helper (started by the rig)."""
    text = payload.decode("utf-8")
    ((sid, c), rt, _len, out), elapsed = sb.at_client.send_mesg(
        serviceid, cid, rtcode, len(payload), text, timeout=timeout)
    return Reply(sid, c, rt, out.encode("utf-8"), elapsed)


# The way the table-driven test reaches the daemons.
ASK_VIA_DBUS = True
ask = ask_over_dbus if ASK_VIA_DBUS else ask_over_queues


@pytest.fixture
def mbim_helper(sandbox):
    """Starts quil-helper-mbim once its request receiver runs; after the test, fails
    it when a sanitizer build reported a fault."""
    started = []

    def start(dbus=False):
        daemon = sandbox.start_mbim_helper()
        started.append(daemon)
        sandbox.log.wait_for(r"Enter to loop: get request and deal!", timeout=10)
        if dbus:
            started.append(sandbox.start_dbus_helper())
            sandbox.at_client = sandbox.dbus_client()
            wait_exported(sandbox.at_client)
        return daemon

    yield start
    for daemon in started:
        daemon.stop_checked()


@pytest.fixture
def modem_factory(sandbox):
    """Starts a simulated AT modem (scenario dict or None for the default table),
    links it in as /dev/<node> and stops it after the test."""
    started = []

    def start(scenario=None, node="ttyUSB1", name="at_modem"):
        modem = at_modem.AtModem(sandbox.root, scenario, name=name)
        started.append(modem)
        sandbox.link_dev(node, modem.slave)
        return modem

    yield start
    for modem in started:
        modem.stop()


@pytest.fixture
def at_rig(sandbox, modem_factory, mbim_helper):
    """A fitted module and a started MBIM helper; the test starts its own modem."""
    sandbox.set_lsusb(LSUSB_MODULE)

    def start(scenario=None, dbus=False):
        modem = modem_factory(scenario)
        mbim_helper(dbus=dbus)
        return modem

    return start


def answer(command, **keys):
    return {"commands": {command: keys}}


# One row per cut-out rule: cid, payload, the command the port must receive, what the
# modem answers, and the reply.
CUT_OUT_ROWS = [
    pytest.param(0x1001, b"", b"AT+GTSAPFWVER?",
                 {"lines": ['+GTSAPFWVER: "81600.0000.00.29.01.02"']},
                 b"81600.0000.00.29.01.02", id="quotes-0x1001"),
    pytest.param(0x1002, b"", b"AT+CGMR", {"lines": ["KT300.1.2.3.4_20261201"]},
                 b"KT300.1.2.3.4_20261201", id="first-line-after-lf-0x1002"),
    pytest.param(0x2002, b"", b"AT+GTOEMUSBID?", {"lines": ["+GTOEMUSBID: 3f1e,0a12"]},
                 b" 3f1e,0a12", id="after-colon-0x2002"),
    pytest.param(0x4002, b"", b"AT+BODYSAREN?", {"lines": ["+BODYSAREN: 1"]}, b"1",
                 id="after-blank-0x4002"),
    pytest.param(0x4020, b"1", b"AT+GTFMODE=1", {}, b"OK", id="second-line-0x4020"),
    pytest.param(0x4005, b"2,3", b"AT+BODYSARON=1,2,3", {}, b"OK",
                 id="second-line-set-list-0x4005"),
    pytest.param(0x3004, b"", b"ATI7", {"lines": ["KT300-WW-00"]},
                 b"ATI7\r\r\nKT300-WW-00\r\n\r\nOK\r\n", id="whole-answer-0x3004"),
]


@pytest.mark.parametrize("cid,payload,command,modem_answer,expected", CUT_OUT_ROWS)
def test_at_channel_cut_out_table(sandbox, at_rig, cid, payload, command, modem_answer,
                                  expected):
    modem = at_rig(answer(command.decode(), **modem_answer), dbus=ASK_VIA_DBUS)
    reply = ask(sandbox, cid, payload, serviceid=3)
    assert (reply.serviceid, reply.cid, reply.rtcode, reply.payload) == (3, cid, 0, expected)
    assert modem.received() == command + CRLF2


@pytest.mark.parametrize("cid,payload,command,modem_answer,expected", [
    pytest.param(0x4020, b"1", "AT+GTFMODE=1", {"final": "ERROR"}, b"ERROR", id="final-error"),
    pytest.param(0x4002, b"", "AT+BODYSAREN?", {"lines": ["+CME ERROR: 3"], "final": None},
                 b"ERROR: 3", id="cme-error"),
])
def test_at_channel_error_answer_gives_rtcode_1(sandbox, at_rig, cid, payload, command,
                                                modem_answer, expected):
    at_rig(answer(command, **modem_answer))
    mark = sandbox.log.mark()
    reply = ask_over_queues(sandbox, cid, payload)
    assert (reply.rtcode, reply.payload) == (1, expected)
    sandbox.log.wait_for(r"\[Error\]: quil_parse_send_atcmd_ready:\d+: "
                         r"\[quil_parse_send_atcmd_ready\]:at_cmd return error:",
                         start=mark)


def test_at_channel_silent_port_gives_error_after_5_seconds(sandbox, at_rig):
    modem = at_rig(answer("AT+CGMR", silent=True))
    reply = ask_over_queues(sandbox, 0x1002, timeout=15)
    assert (reply.rtcode, reply.payload) == (1, b"ERROR")
    assert 4.8 <= reply.elapsed <= 7.5, reply
    assert modem.received() == b"AT+CGMR" + CRLF2
    sandbox.log.wait_for(r"get received data:Read Error")


def test_at_channel_ok_inside_a_word_ends_collection(sandbox, at_rig):
    # The rest of the answer comes 3 seconds later and must not be waited for.
    first = "ATI7\r\r\nBOOKS\r\n"
    at_rig(answer("ATI7", raw=first + "\r\nLATE\r\n\r\nOK\r\n", split_at=[len(first)], gap=3))
    reply = ask_over_queues(sandbox, 0x3004)
    assert (reply.rtcode, reply.payload) == (0, first.encode())
    assert reply.elapsed < 2.5, reply


def test_at_channel_answer_split_over_several_writes(sandbox, at_rig):
    at_rig(answer("AT+CGMR", lines=["KT300.9"], chunks=6, gap=0.2))
    reply = ask_over_queues(sandbox, 0x1002)
    assert (reply.rtcode, reply.payload) == (0, b"KT300.9")


@pytest.mark.parametrize("serviceid,refused", [(5, False), (6, True)])
def test_at_channel_serviceid_above_5_refused(sandbox, at_rig, serviceid, refused):
    modem = at_rig()
    mark = sandbox.log.mark()
    reply = ask_over_queues(sandbox, 0x1006, serviceid=serviceid)
    assert reply.serviceid == serviceid
    if refused:
        assert (reply.rtcode, reply.payload) == (1, b"ERROR")
        sandbox.log.wait_for(r"Illegal param, 0, 0!", start=mark)
        assert modem.received() == b""
    else:
        assert (reply.rtcode, reply.payload) == (0, b"861234560123456")


@pytest.mark.parametrize("cid,log_line", [
    pytest.param(0x1009, r"Illegal param, 0, 0!", id="0x1009-no-completion"),
    pytest.param(0x401e, r"\[Error\]: quil_adapter_send_at_over_gnss_message:\d+: NULL pointer!",
                 id="0x401e-empty-command"),
])
def test_at_channel_rows_that_are_always_refused(sandbox, at_rig, cid, log_line):
    modem = at_rig()
    mark = sandbox.log.mark()
    reply = ask_over_queues(sandbox, cid)
    assert (reply.cid, reply.rtcode, reply.payload) == (cid, 1, b"ERROR")
    sandbox.log.wait_for(log_line, start=mark)
    sandbox.log.wait_for(r"Execute error or not matched! will call default resp!", start=mark)
    assert modem.received() == b""


def test_at_channel_usb_id_0x1008(sandbox, at_rig):
    modem = at_rig()
    reply = ask_over_queues(sandbox, 0x1008)
    assert (reply.rtcode, reply.payload) == (0, b"3f1e0a12")
    assert modem.received() == b"AT" + CRLF2


@pytest.mark.parametrize("cid,flood,lines,expected_start", [
    pytest.param(0x3004, 5000, [], b"ATI7\rxxx", id="whole-answer-cut-to-a-body"),
    pytest.param(0x1002, 3000, ["KT300.7"], None, id="result-before-the-flood"),
])
def test_at_channel_oversize_answer(sandbox, at_rig, cid, flood, lines, expected_start):
    command = {0x3004: "ATI7", 0x1002: "AT+CGMR"}[cid]
    at_rig({"commands": {command: {"lines": lines, "flood": flood, "final": None},
                         "AT+CGSN": {"lines": ["861234560123456"]}}})
    reply = ask_over_queues(sandbox, cid)
    # A full buffer ends the collection at once.
    assert reply.elapsed < 4, reply
    assert reply.rtcode == 0
    if expected_start is None:
        assert reply.payload == b"KT300.7"
    else:
        assert reply.payload.startswith(expected_start)
        assert len(reply.payload) == 2023
    sandbox.log.wait_for(r"get received data:")
    # The daemon goes on serving, with nothing of the flood in the next answer.
    after = ask_over_queues(sandbox, 0x1006)
    assert (after.rtcode, after.payload) == (0, b"861234560123456")


@pytest.mark.parametrize("payload,sent", [
    pytest.param(b"1" * 116, True, id="127-characters-sent"),
    pytest.param(b"1" * 117, False, id="128-characters-refused"),
    pytest.param(b"1" * 2000, False, id="2011-characters-refused"),
    pytest.param(b"1\r\nAT+CFUN=0", False, id="crlf-refused"),
    pytest.param(b"1\nAT+CFUN=0", False, id="lf-refused"),
    pytest.param(b"1;+CFUN=0", False, id="chained-command-refused"),
])
def test_at_channel_set_command_payload(sandbox, at_rig, payload, sent):
    modem = at_rig({"commands": {"AT+GTFMODE=*": {}}})
    mark = sandbox.log.mark()
    reply = ask_over_queues(sandbox, 0x4020, payload)
    if sent:
        assert (reply.rtcode, reply.payload) == (0, b"OK")
        assert modem.received() == b"AT+GTFMODE=" + payload + CRLF2
    else:
        assert (reply.rtcode, reply.payload) == (1, b"ERROR")
        sandbox.log.wait_for(r"AT command too long|Illegal character in AT argument", start=mark)
        assert modem.received() == b""
    assert sandbox.queues.count(1) == 0


@pytest.mark.parametrize("lsusb,lines", [
    pytest.param([], [r"Helper can't recognize cellular!", r"can't get atport name!"],
                 id="no-module-fitted"),
    pytest.param(LSUSB_DOWNLOAD_MODE, [r"Found QC-EDL exist!",
                                       r"Invalid atport name, don't init!"],
                 id="module-in-download-mode"),
])
def test_at_channel_without_an_at_port(sandbox, modem_factory, mbim_helper, lsusb, lines):
    sandbox.set_lsusb(lsusb)
    modem = modem_factory()
    mbim_helper()
    reply = ask_over_queues(sandbox, 0x1002)
    assert (reply.rtcode, reply.payload) == (1, b"ERROR")
    for line in lines:
        sandbox.log.wait_for(line)
    assert modem.received() == b""


def test_at_channel_port_node_gone(sandbox, mbim_helper):
    # find lists the node, but it leads nowhere: nothing is written, "Read Error".
    sandbox.set_lsusb(LSUSB_MODULE)
    sandbox.link_dev("ttyUSB1", "/dev/pts/no-such-pty")
    daemon = mbim_helper()
    reply = ask_over_queues(sandbox, 0x1002)
    assert (reply.rtcode, reply.payload) == (1, b"ERROR")
    sandbox.log.wait_for(r"AT port /dev/ttyUSB1 not existed!")
    sandbox.log.wait_for(r"get received data:Read Error")
    assert reply.elapsed < 4, reply
    assert "AT+CGMR" not in daemon.output() and "Open port failed" not in daemon.output()


def test_at_channel_fastboot_reboot_written_without_reading_an_answer(sandbox, at_rig):
    # The module goes to its bootloader: nothing is read back, and the request is
    # answered later by fastboot flashing.
    modem = at_rig()
    mark = sandbox.log.mark()
    sandbox.queues.send(0, 1, 1, 0x100a, payload=b"md:M1")
    sandbox.log.wait_for(r"get received data:syscmd do not return", start=mark)
    # The simulator records what it read a moment after the daemon wrote it.
    command = b"at+syscmd=sys_reboot bootloader" + CRLF2
    assert modem.wait_received(command) == command


def test_at_channel_untrusted_bytes_pass_through(sandbox, at_rig):
    # The MBIM helper relays the modem's bytes as they are, whatever their encoding.
    at_rig(answer("AT+CGMR", lines=["KT\xff\xfe300"]))
    reply = ask_over_queues(sandbox, 0x1002)
    assert (reply.rtcode, reply.payload) == (0, b"KT\xff\xfe300")


def test_at_channel_not_utf8_still_a_valid_dbus_reply(sandbox, at_rig):
    at_rig(answer("AT+CGMR", lines=["KT\xff\xfe300"]), dbus=True)
    reply = ask_over_dbus(sandbox, 0x1002)
    assert reply.rtcode == 0
    text = reply.payload.decode("utf-8")
    assert text.startswith("KT") and text.endswith("300"), text
