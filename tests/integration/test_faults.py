# SPDX-License-Identifier: GPL-2.0-or-later
"""Faults and load, with both daemons and the simulated AT modem, seen by D-Bus clients.

Every scenario checks the same two things: each sendMesg got its own reply (the
serviceid and cid it asked with, never another call's late answer), and once the fault
is over the service answers correctly again.
"""

import pathlib
import signal
import sys
import threading
import time

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "sim"))
import at_modem  # noqa: E402
from dbus_ready import wait_exported  # noqa: E402
from test_at_channel import LSUSB_MODULE  # noqa: E402

CGMR, CGSN = 0x1002, 0x1006
ATI7, BODYSARON = 0x3004, 0x4005
CGMR_TEXT = "KT300.1.2.3.4_20261201"
CGSN_TEXT = "861234560123456"
# The D-Bus helper gives up on a forwarded request after 6 s.
REPLY_LIMIT = 7.0


class Rig:
    """A fitted module on a simulated AT port, both daemons, a D-Bus client."""

    def __init__(self, sb, scenario=None):
        self.sb = sb
        sb.set_lsusb(LSUSB_MODULE)
        self.modem = at_modem.AtModem(sb.root, scenario)
        sb.link_dev("ttyUSB1", self.modem.slave)
        self.mbim = sb.start_mbim_helper()
        sb.log.wait_for(r"Enter to loop: get request and deal!", timeout=10)
        self.dbus = sb.start_dbus_helper()
        self.client = sb.dbus_client()
        wait_exported(self.client)

    def ask(self, cid, payload="", serviceid=1, client=None):
        """One sendMesg; checks that the reply is this call's own and came in time."""
        result = (client or self.client).send_mesg(serviceid, cid, 0, None, payload,
                                                   timeout=REPLY_LIMIT + 3)
        assert (result.serviceid, result.cid) == (serviceid, cid), result.reply
        assert result.elapsed < REPLY_LIMIT, result
        return result

    def serves(self, serviceid=2):
        """The service answers correctly: two different commands, each its own answer."""
        assert self.ask(CGMR, serviceid=serviceid).reply[1:] == (0, len(CGMR_TEXT), CGMR_TEXT)
        assert self.ask(CGSN, serviceid=serviceid + 1).reply[1:] == (0, len(CGSN_TEXT),
                                                                      CGSN_TEXT)

    def stop(self):
        for daemon in (self.dbus, self.mbim):
            if daemon is not None:
                daemon.stop_checked()
        self.modem.stop()


@pytest.fixture
def rig(sandbox):
    made = []

    def start(scenario=None):
        made.append(Rig(sandbox, scenario))
        return made[-1]

    yield start
    for r in made:
        r.stop()


def then_normal(command, bad, extra=None):
    """A scenario whose first answer to `command` is `bad` and every later one normal."""
    normal = at_modem.DEFAULT_SCENARIO["commands"][command]
    commands = dict(at_modem.DEFAULT_SCENARIO["commands"])
    commands[command] = {"sequence": [bad, normal]}
    commands.update(extra or {})
    return {"commands": commands}


# What the modem answers first, and the reply that gives (None: any reply of the call's
# own, as long as it is well-formed text).
MODEM_FAULTS = [
    pytest.param(CGMR, {"raw": "\x01\x02\x7f\x1b[31mgarbage\x1b[0m\xfe\xff"}, (1, "ERROR"),
                 id="garbage-without-final-code"),
    pytest.param(ATI7, {"raw": "ATI7\r\xff\xfe\x80\x1b[31mgarbage\r\n\r\nOK\r\n"}, None,
                 id="garbage-bytes-in-the-whole-answer"),
    pytest.param(CGMR, {"raw": "\x00" * 64 + "\r\n" + CGMR_TEXT + "\r\n\r\nOK\r\n"}, (1, "ERROR"),
                 id="nuls-before-the-answer"),
    pytest.param(CGMR, {"raw": "\x00" * 300}, (1, "ERROR"), id="nothing-but-nuls"),
    pytest.param(ATI7, {"raw": "ATI7\r\r\nQuil\x00lon\r\n\r\nOK\r\n"}, (0, "ATI7\r\r\nQuil"),
                 id="nul-inside-the-answer"),
    pytest.param(CGMR, {"flood": 1_000_000, "final": None}, (1, "ERROR"),
                 id="endless-data"),
    pytest.param(ATI7, {"flood": 1_000_000, "final": None}, None, id="endless-whole-answer"),
]
# A modem that streams keeps doing so until it reads the next command: what it sent
# meanwhile is the start of the next answer, and may fill it (that answer is then
# "ERROR"). The one after it is clean.
STREAMING = {"endless-data", "endless-whole-answer"}


@pytest.mark.parametrize("cid,bad,expected", MODEM_FAULTS)
def test_modem_faults_on_the_at_port(request, sandbox, rig, cid, bad, expected):
    command = {CGMR: "AT+CGMR", ATI7: "ATI7"}[cid]
    r = rig(then_normal(command, bad))
    result = r.ask(cid, serviceid=4)
    (_, rtcode, length, payload) = result.reply
    assert length == len(payload.encode())
    if expected is not None:
        assert (rtcode, payload) == expected
    if request.node.callspec.id in STREAMING:
        after = r.ask(CGSN, serviceid=5).reply[1:]
        assert after in ((0, len(CGSN_TEXT), CGSN_TEXT), (1, 5, "ERROR"))
    # The next answer of the same command is the modem's normal one, and no part of
    # the fault's answer reaches another call.
    if cid == CGMR:
        assert r.ask(CGMR, serviceid=5).reply[1:] == (0, len(CGMR_TEXT), CGMR_TEXT)
    r.serves()
    assert r.mbim.alive() and r.dbus.alive()


@pytest.mark.parametrize("payload,sent", [
    pytest.param('1,"x;AT+CFUN=', None, id="open-quote-hides-a-chained-command"),
    pytest.param('"', None, id="a-quote-alone"),
    pytest.param('1,"a","b', None, id="third-quote-left-open"),
    pytest.param('2,"a;b"', b'AT+BODYSARON=1,2,"a;b"', id="closed-quotes-sent-as-they-stand"),
    # The set handler's empty argument (a sanitizer build reports any fault on it).
    pytest.param("", b"AT+BODYSARON=1,", id="empty-payload"),
])
def test_set_payload_quotes_and_empty(sandbox, rig, payload, sent):
    r = rig({"commands": {"AT+BODYSARON=*": {}, **at_modem.DEFAULT_SCENARIO["commands"]}})
    mark = sandbox.log.mark()
    if sent is None:
        assert r.ask(BODYSARON, payload).reply[1:] == (1, 5, "ERROR")
        sandbox.log.wait_for(r"Illegal character in AT argument", start=mark)
        assert b"BODYSARON" not in r.modem.received()
    else:
        assert r.ask(BODYSARON, payload).reply[1:] == (0, 2, "OK")
        assert r.modem.received() == sent + b"\r\n\r\n"
    r.serves()


def test_at_port_closed_mid_request_and_back(sandbox, rig):
    """The AT port goes away while a command waits for its answer, and a port appears
    again under the same name, with no udev event: the waiting call gets its own
    failure reply in time, so does a call while the port is gone, and the service is
    back once it is there."""
    commands = dict(at_modem.DEFAULT_SCENARIO["commands"])
    commands["AT+CGSN"] = {"silent": True}
    r = rig({"commands": commands})
    waiting = {}
    caller = threading.Thread(target=lambda: waiting.update(result=r.ask(CGSN)))
    caller.start()
    assert b"AT+CGSN" in r.modem.wait_received(b"AT+CGSN")
    gone = r.modem
    gone.stop()
    sandbox.unlink_dev("ttyUSB1")
    caller.join(REPLY_LIMIT + 3)
    assert waiting["result"].rtcode == 1, waiting["result"].reply
    assert r.ask(CGMR, serviceid=7).rtcode == 1
    r.modem = at_modem.AtModem(sandbox.root, name="at_modem_back")
    sandbox.link_dev("ttyUSB1", r.modem.slave)
    r.serves()


def receiver_lines(sb, function, start):
    return sb.log.count(rf"\b{function}:\d+: message queue not existed!", start=start)


def test_queues_removed_under_both_daemons(sandbox, rig):
    r = rig()
    r.serves()
    mark = sandbox.log.mark()
    assert sandbox.queues.remove(0) and sandbox.queues.remove(1)
    sandbox.log.wait_for(r"quil_helper_main_receiver:\d+: message queue not existed!",
                         start=mark)
    # Without its queues every call still gets exactly its own reply, a failure.
    for serviceid in range(1, 4):
        result = r.ask(CGMR, serviceid=serviceid)
        assert result.rtcode == 1
    # Two seconds of absence: the request receiver wrote its line once, not ten times.
    time.sleep(2)  # the absence itself is the scenario: there is no event to wait for
    sandbox.log.sync()
    assert receiver_lines(sandbox, "quil_helper_main_receiver", mark) == 1
    # The queues made again (as a D-Bus helper starting would) are found within a
    # second, and the service is back.
    found = sandbox.log.mark()
    sandbox.queues.create(0)
    sandbox.queues.create(1)
    made = time.monotonic()
    sandbox.log.wait_for(r"quil_helper_main_receiver:\d+: message queue found again after "
                         r"\d+ attempts!", start=found, timeout=2)
    assert time.monotonic() - made < 1.0
    r.serves()
    assert r.mbim.alive() and r.dbus.alive()


@pytest.mark.timeout(90)
def test_sigterm_under_load_from_4_clients(sandbox, rig):
    r = rig()
    clients = [sandbox.dbus_client() for _ in range(4)]
    replies = {n: [] for n in range(4)}
    failures = {n: [] for n in range(4)}
    stop = threading.Event()

    def load(n):
        client = clients[n]
        serviceid = n + 1
        while not stop.is_set():
            start = time.monotonic()
            try:
                result = client.send_mesg(serviceid, CGMR, 0, None, "", timeout=REPLY_LIMIT + 3)
            except Exception as exc:  # the bus tells the caller that nobody will answer
                failures[n].append((repr(exc), time.monotonic() - start))
                # Once the daemon is gone, calls fail at once; keep the load steady.
                time.sleep(0.05)  # pacing of a client retrying, not a wait for an event
                continue
            replies[n].append(result)

    threads = [threading.Thread(target=load, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    try:
        deadline = time.monotonic() + 20
        while min(len(v) for v in replies.values()) < 3:
            assert time.monotonic() < deadline, {n: len(v) for n, v in replies.items()}
            time.sleep(0.05)  # polling the load threads' progress
        stopped = sandbox.log.mark()
        r.dbus.signal(signal.SIGTERM)
        assert r.dbus.wait(10) == 0
        sandbox.log.wait_for(r"exiting 'quil-helper-dbus'\.\.\.", start=stopped)
        assert not sandbox.queues.exists(0) and not sandbox.queues.exists(1)
        served_before = {n: len(v) for n, v in replies.items()}
        # Started again, as the service manager would: the service returns for all four.
        r.dbus.stop_checked()
        r.dbus = sandbox.start_dbus_helper()
        wait_exported(r.client)
        deadline = time.monotonic() + 20
        while any(len(replies[n]) < served_before[n] + 3 for n in range(4)):
            assert time.monotonic() < deadline, {n: len(v) for n, v in replies.items()}
            time.sleep(0.05)  # polling the load threads' progress
    finally:
        stop.set()
        for t in threads:
            t.join(REPLY_LIMIT + 5)
    for n in range(4):
        for result in replies[n]:
            assert (result.serviceid, result.cid) == (n + 1, CGMR), result.reply
            assert result.elapsed < REPLY_LIMIT, result
            # During the stop a call may fail (rtcode 1); an answer is always the modem's.
            if result.rtcode == 0:
                assert result.payload == CGMR_TEXT, result.reply
        # A call the stopping daemon could not answer failed at once, not by time-out.
        for what, elapsed in failures[n]:
            assert elapsed < REPLY_LIMIT, what
        assert replies[n][-1].reply[1:] == (0, len(CGMR_TEXT), CGMR_TEXT)
    r.serves()
    assert r.mbim.alive()
