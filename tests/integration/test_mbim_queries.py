# SPDX-License-Identifier: GPL-2.0-or-later
"""The MBIM-backed request cids against the simulated modem behind the real proxy,
driven through the queues: 0x1007, 0x4026, 0x4027, 0x4028; requests before the port
is announced; cid 1 with bad or unknown port names."""

import pytest

from mbim_sim import PORT_INIT, mbim_helper, mbim_modem, slot_set_requests  # noqa: F401

OK, FAIL = 0, 1


def answer(msg):
    return msg.rtcode, msg.len, msg.payload


def ok(text):
    return (OK, len(text), text.encode())


ERROR = (FAIL, 5, b"ERROR")

# scenario, [(cid, payload, expected answer, log line or None)], expected slot sets
CASES = [
    pytest.param(
        {"home_provider": "310260", "register_provider": "310410", "slot_mappings": [1]},
        [(0x1007, b"", ok("310260"), r"get local mccmnc:310260"),
         (0x4026, b"", ok("310410"), r"provider id: 310410"),
         (0x4027, b"", ok("1"), r"found work slot:1")],
        [], id="registered-one-slot"),
    pytest.param(
        {"register_state": 2, "register_provider": "", "slot_mappings": [0, 1]},
        [(0x4026, b"", ERROR, r"don't get valid roam mccmnc!"),
         (0x4027, b"", ERROR, r"work slot not 1! Actual:2")],
        [], id="searching-two-slots"),
    pytest.param(
        {"slot_mappings": [0]},
        [(0x4028, b"1", ok("1"), r"found work slot:1"),
         (0x4028, b"2", ERROR, r"Invalid slot:2!"),
         (0x4028, b"-1", ERROR, r"Invalid slot:-1!"),
         (0x4028, b"abc", ok("0"), r"found work slot:0"),
         (0x4028, b"1x", ok("1"), r"found work slot:1"),
         (0x4028, b"", ok("0"), r"found work slot:0")],
        [[1], [0], [1], [0]], id="slot-switch"),
    pytest.param(
        # The module answers a switch with a different slot: that is what is reported.
        {"slot_mappings": [0], "slot_set_result": [0]},
        [(0x4028, b"1", ok("0"), r"found work slot:0")],
        [[1]], id="slot-switch-refused"),
    pytest.param(
        {"errors": {"home_provider": 2, "device_slot_mappings": 9}},
        [(0x1007, b"", ERROR, r"error: operation failed: "),
         (0x4027, b"", ERROR, r"error: operation failed: ")],
        [], id="module-errors"),
]


@pytest.mark.parametrize("scenario,requests,slot_sets", CASES)
def test_mbim_requests(sandbox, mbim_modem, mbim_helper, scenario, requests, slot_sets):
    modem = mbim_modem(scenario)
    helper = mbim_helper()
    helper.open_port()
    for serviceid, (cid, payload, expected, line) in enumerate(requests, start=1):
        mark = sandbox.log.mark()
        msg = helper.request(cid, payload, serviceid=serviceid)
        assert answer(msg) == expected, (hex(cid), payload)
        if line:
            sandbox.log.wait_for(line, start=mark)
    # Refused slots never reach the module.
    assert slot_set_requests(modem) == slot_sets


@pytest.mark.parametrize("cid", [0x1007, 0x4026, 0x4027, 0x4028])
def test_requests_before_the_port_is_announced(sandbox, mbim_helper, cid):
    helper = mbim_helper()
    mark = sandbox.log.mark()
    msg = helper.request(cid, b"1")
    assert answer(msg) == ERROR
    assert sandbox.log.count(r"mbim device not ready! wait for 1s!", start=mark) == 3
    sandbox.log.wait_for(r"Reach max retry, mbim device not ready!", start=mark)
    sandbox.log.wait_for(r"Send request failed, error:3", start=mark)


def test_silent_module_answers_error_after_the_command_timeout(sandbox, mbim_modem, mbim_helper):
    mbim_modem({"silent": ["home_provider"]})
    helper = mbim_helper()
    helper.open_port()
    mark = sandbox.log.mark()
    msg = helper.request(0x1007, timeout=15)
    assert answer(msg) == ERROR
    sandbox.log.wait_for(r"error: operation failed: ", start=mark)


def test_two_requests_pending_at_once(sandbox, mbim_modem, mbim_helper):
    """A request does not wait for the previous one's MBIM answer."""
    mbim_modem({"silent": ["home_provider"], "register_provider": "310410"})
    helper = mbim_helper()
    helper.open_port()
    sandbox.queues.send(0, 1, 7, 0x1007)
    sandbox.queues.send(0, 1, 8, 0x4026)
    first = sandbox.queues.receive(1, 1, timeout=10)
    assert (first.serviceid, first.cid, first.payload) == (8, 0x4026, b"310410")
    second = sandbox.queues.receive(1, 1, timeout=10)
    assert (second.serviceid, second.cid, answer(second)) == (7, 0x1007, ERROR)


@pytest.mark.parametrize("payload,line", [
    (b"", r"Invalid mbimport name, don't init!"),
    (b"cdc-wdm;touch /tmp/quil_injected", r"Invalid mbimport name, don't init!"),
    (b"*", r"Invalid mbimport name, don't init!"),
    (b"../cdc", r"Invalid mbimport name, don't init!"),
    (b"x" * 16, r"Invalid mbimport name, don't init!"),
    (b"ttyNOPE", r"can't find mbimport!"),
])
def test_port_init_refuses_bad_or_unknown_names(sandbox, mbim_modem, mbim_helper, payload, line):
    mbim_modem({})
    helper = mbim_helper()
    mark = sandbox.log.mark()
    helper.control(PORT_INIT, payload)
    sandbox.log.wait_for(line, start=mark)
    assert sandbox.log.count(r"device_new_ready", start=mark) == 0
    assert not sandbox.run(["test", "-e", "/tmp/quil_injected"]).returncode == 0
    # find ran with the prefix as one argument, never through a shell.
    if payload == b"ttyNOPE":
        assert sandbox.log.count(r"can't start find", start=mark) == 0


def test_second_port_init_changes_nothing(sandbox, mbim_modem, mbim_helper):
    modem = mbim_modem({})
    helper = mbim_helper()
    helper.open_port()
    mark = sandbox.log.mark()
    helper.control(PORT_INIT, b"cdc-wdm")
    sandbox.log.wait_for(r"mbim device has been inited!", start=mark)
    assert answer(helper.request(0x1007)) == ok("46001")
    assert [e["type"] for e in modem.received()].count("open") == 1


def test_request_waits_for_an_opening_port(sandbox, mbim_modem, mbim_helper):
    """A request sent right after cid 1 while the module takes 1.5 s to open is sent
    once the port is ready, after one or two one-second waits."""
    mbim_modem({"delays": {"open": 1.5}, "home_provider": "310260"})
    helper = mbim_helper()
    mark = sandbox.log.mark()
    helper.control(PORT_INIT, b"cdc-wdm")
    sandbox.log.wait_for(r"begin to init!", start=mark)
    msg = helper.request(0x1007)
    assert answer(msg) == ok("310260")
    waits = sandbox.log.count(r"mbim device not ready! wait for 1s!", start=mark)
    assert 1 <= waits <= 2
    assert sandbox.log.count(r"Reach max retry", start=mark) == 0


def test_port_init_while_an_earlier_attempt_is_opening(sandbox, mbim_modem, mbim_helper):
    """Two cid 1 messages in a row: the later attempt replaces the earlier one, the
    port ends up ready once and serves requests."""
    modem = mbim_modem({"delays": {"open": 1.0}, "home_provider": "310260"})
    helper = mbim_helper()
    mark = sandbox.log.mark()
    helper.control(PORT_INIT, b"cdc-wdm")
    helper.control(PORT_INIT, b"cdc-wdm")
    sandbox.log.wait_for(r"mbim port init finished! flag:1", start=mark, timeout=15)
    assert answer(helper.request(0x1007)) == ok("310260")
    assert sandbox.log.count(r"mbim port init finished! flag:1", start=mark) == 1
    assert sandbox.log.count(r"device_new_ready hello world!", start=mark) == 2
    assert [e["type"] for e in modem.received()].count("open") == 1
