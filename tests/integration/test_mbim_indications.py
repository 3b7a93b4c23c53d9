# SPDX-License-Identifier: GPL-2.0-or-later
"""Indications and control messages of the MBIM helper against the simulated modem:
the SIM state table for indications and for the cid 16 query answer, the follow-up
home provider and register state queries, register state indications, module removal
(cid 2) and the home provider retry rule. Driven through the queues; control messages
to the D-Bus helper are read from queue 1."""

import pytest

from mbim_sim import (HOME, PORT_INIT, PORT_REMOVED, REG, SIM_STATE, SUBSCRIBER_QUERY,
                      mbim_helper, mbim_modem)  # noqa: F401

INSERTED = (SIM_STATE, b"SIM inserted")
REMOVED = (SIM_STATE, b"SIM removed")
MARKER = "99999"
SENTINEL_CID = 0x99  # refused by the control receiver: marks the end of queue 0


def settle(sb, helper, start):
    """Every control message sent after start, once the indications before a marker
    and every follow-up posted to queue 0 have been handled. Returns (messages, number
    of control messages the helper took from queue 0)."""
    helper.modem.indicate("register_state", provider_id=MARKER)
    got = []
    while True:
        msg = helper.next_control(timeout=10)
        assert msg is not None, f"no marker; got {got}"
        if (msg.cid, msg.payload) == (REG, MARKER.encode()):
            break
        got.append((msg.cid, msg.payload))
    mark = sb.log.mark()
    helper.control(SENTINEL_CID)
    sb.log.wait_for(r"Invalid control cid! refuse to execute!", start=mark)
    taken = sb.log.count(r"Get control message!", start=start) - 1
    return got, taken


@pytest.fixture
def opened(sandbox, mbim_modem, mbim_helper):
    def start(scenario=None):
        modem = mbim_modem({"home_provider": "310260", "register_provider": "310410",
                            **(scenario or {})})
        helper = mbim_helper()
        helper.modem = modem
        helper.open_port()
        return helper

    return start


# ready states pushed as indications -> control messages, follow-up queries posted,
# log lines
INDICATION_CASES = [
    pytest.param([0, 1], [INSERTED], 0,
                 [r"SIM card is initializing!",
                  r"SIM card was inserted before, abort to send signal!"], id="0-then-1"),
    pytest.param([1], [INSERTED], 1, [], id="1-first"),
    pytest.param([1, 1], [INSERTED], 1,
                 [r"SIM card was inserted before, abort to send signal!"], id="1-twice"),
    pytest.param([6], [], 0, [r"Duplicated ind, SIM card is locked!"], id="6-locked"),
    pytest.param([2], [], 0, [r"SIM card not inserted at all, abort to send signal!"],
                 id="2-without-sim"),
    pytest.param([4], [], 0, [r"Failure on SIM card state! treat it as SIM card removed!",
                              r"SIM card not inserted at all, abort to send signal!"],
                 id="4-failure"),
    pytest.param([1, 2], [INSERTED, REMOVED], 1, [], id="1-then-2"),
    pytest.param([0, 4], [INSERTED, REMOVED], 0,
                 [r"Failure on SIM card state! treat it as SIM card removed!"], id="0-then-4"),
    pytest.param([7, 3], [], 0, [r"Not support ESIM yet!",
                                 r"Unsupported SIM card ready state: 3!"], id="7-and-3"),
]


@pytest.mark.parametrize("states,messages,posts,lines", INDICATION_CASES)
def test_sim_state_from_indications(sandbox, opened, states, messages, posts, lines):
    helper = opened()
    start = sandbox.log.mark()
    for state in states:
        step = sandbox.log.mark()
        helper.modem.indicate("subscriber_ready", ready_state=state)
        sandbox.log.wait_for(rf"ready state:{state}$", start=step)
    got, taken = settle(sandbox, helper, start)
    # The home provider answer (cid 18's) follows the posts; it carries the code.
    expected_home = [(HOME, b"310260")] * posts
    home = [m for m in got if m[0] == HOME]
    got = [m for m in got if m[0] != HOME]
    if posts and not home:
        msg = helper.next_control(timeout=10)
        home = [(msg.cid, msg.payload)]
    assert got == messages
    assert home == expected_home
    assert taken == posts
    for line in lines:
        sandbox.log.wait_for(line, start=start)
    # Only the indication's own follow-up: no register state query from it.
    assert len(helper.modem.received("register_state")) == 0


# ready state answered to the cid 16 query -> control messages (in order)
QUERY_CASES = [
    pytest.param([1], [INSERTED, (HOME, b"310260"), (REG, b"310410")], id="1"),
    pytest.param([0], [INSERTED], id="0"),
    pytest.param([2], [], id="2"),
    pytest.param([4], [], id="4"),
    pytest.param([6], [], id="6"),
]


@pytest.mark.parametrize("ready_states,messages", QUERY_CASES)
def test_sim_state_from_the_cid16_query(sandbox, opened, ready_states, messages):
    helper = opened({"ready_states": ready_states})
    start = sandbox.log.mark()
    helper.control(SUBSCRIBER_QUERY)
    sandbox.log.wait_for(rf"ready state:{ready_states[0]}$", start=start)
    got = [(m.cid, m.payload) for m in (helper.next_control() for _ in messages)]
    assert got == messages
    rest, _ = settle(sandbox, helper, start)
    assert rest == []


def test_query_answer_then_indication_reports_once(sandbox, opened):
    helper = opened({"ready_states": [1]})
    helper.control(SUBSCRIBER_QUERY)
    first = [(m.cid, m.payload) for m in (helper.next_control() for _ in range(3))]
    assert first == [INSERTED, (HOME, b"310260"), (REG, b"310410")]
    start = sandbox.log.mark()
    helper.modem.indicate("subscriber_ready", ready_state=1)
    sandbox.log.wait_for(r"SIM card was inserted before, abort to send signal!", start=start)
    got, taken = settle(sandbox, helper, start)
    assert (got, taken) == ([], 0)


@pytest.mark.parametrize("provider,messages,line", [
    ("310410", [(REG, b"310410")], r"provider id: 310410"),
    ("", [], r"don't get valid roam mccmnc!"),
], ids=["with-provider", "searching"])
def test_register_state_indication(sandbox, opened, provider, messages, line):
    helper = opened()
    start = sandbox.log.mark()
    helper.modem.indicate("register_state", provider_id=provider,
                          register_state=3 if provider else 2)
    sandbox.log.wait_for(line, start=start)
    got, _ = settle(sandbox, helper, start)
    assert got == messages
    if not provider:
        sandbox.log.wait_for(r"register state: searching", start=start)


def test_other_indications_are_noted_only(sandbox, opened):
    helper = opened()
    start = sandbox.log.mark()
    # SMS configuration: a service the helper does not handle.
    helper.modem.indicate("raw", service="533fbeeb-14fe-4467-9f90-33a223e56c3f", cid=1,
                          data="00000000" "00000000")
    sandbox.log.wait_for(r"get unsupported mbim indication! service is 2, cid is 1", start=start)
    # Basic connect signal state: ignored without a line.
    helper.modem.indicate("raw", service="a289cc33-bcbb-8b4f-b6b0-133ec2aae6df", cid=11,
                          data="00" * 20)
    got, _ = settle(sandbox, helper, start)
    assert got == []
    assert sandbox.log.count(r"get unsupported mbim indication", start=start) == 1


def test_removal_tears_the_port_down_and_cid1_opens_it_again(sandbox, opened):
    helper = opened()
    helper.modem.indicate("subscriber_ready", ready_state=1)
    assert [(m.cid, m.payload) for m in (helper.next_control() for _ in range(2))] == [
        INSERTED, (HOME, b"310260")]

    start = sandbox.log.mark()
    queries_before = len(helper.modem.received("subscriber_ready"))
    helper.control(PORT_REMOVED)
    sandbox.log.wait_for(r"quil_adapter_helperm_deinit_get_subscriber_ready_status_ready:\d+: "
                         r"enter!", start=start)
    sandbox.log.wait_for(r"quil_adapter_mbim_port_deinit:\d+: enter!", start=start)
    assert len(helper.modem.received("subscriber_ready")) == queries_before + 1
    # Torn down: requests wait and fail, and no "SIM removed" went out.
    assert helper.request(0x1007).payload == b"ERROR"
    assert helper.next_control(timeout=0.5) is None

    start = sandbox.log.mark()
    helper.open_port()
    helper.modem.indicate("subscriber_ready", ready_state=1)
    assert [(m.cid, m.payload) for m in (helper.next_control() for _ in range(2))] == [
        INSERTED, (HOME, b"310260")]
    assert helper.request(0x1007).payload == b"310260"


def test_removal_before_the_port_is_ready_changes_nothing(sandbox, mbim_modem, mbim_helper):
    mbim_modem({})
    helper = mbim_helper()
    start = sandbox.log.mark()
    helper.control(PORT_REMOVED)
    sandbox.log.wait_for(r"Reach max retry, mbim device not ready!", start=start, timeout=8)
    assert sandbox.log.count(r"quil_adapter_mbim_port_deinit", start=start) == 0
    helper.open_port()


@pytest.mark.slow
def test_home_provider_failing_40_times(sandbox, opened):
    helper = opened({"home_provider_errors": -1})
    start = sandbox.log.mark()
    helper.modem.indicate("subscriber_ready", ready_state=1)
    assert helper.next_control().payload == b"SIM inserted"
    sandbox.log.wait_for(r"reach max retry, SIM card init error!", start=start, timeout=90)
    assert sandbox.log.count(r"retry to check home provider! current times:\d+", start=start) == 40
    sandbox.log.wait_for(r"current times:40$", start=start)
    # The first query and its 40 retries.
    assert len(helper.modem.received("home_provider")) == 41
    got, _ = settle(sandbox, helper, start)
    assert got == []
    assert sandbox.log.count(r"reach max retry, SIM card init error!", start=start) == 1

    # A later cid 18 counts from 0 again, and an answer ends the retries.
    helper.modem.set(home_provider_errors=1)
    start = sandbox.log.mark()
    helper.control(0x12)
    msg = helper.next_control(timeout=10)
    assert (msg.cid, msg.payload) == (HOME, b"310260")
    sandbox.log.wait_for(r"current times:1$", start=start)
    assert sandbox.log.count(r"current times:", start=start) == 1


def removed_unanswered_and_back(sb, helper):
    """The module goes (cid 2) without answering the removal query and comes back
    (cid 1) while that query is pending. Returns the log mark taken before."""
    helper.modem.set(silent=["subscriber_ready"])
    start = sb.log.mark()
    helper.control(PORT_REMOVED)
    helper.modem.wait_received("subscriber_ready")
    helper.control(PORT_INIT, b"cdc-wdm")
    sb.log.wait_for(r"module removal pending, init again after it!", start=start)
    return start


def test_module_back_while_the_removal_query_is_pending(sandbox, opened):
    """A removed module may not answer the removal query (5-second command time-out);
    a cid 1 that arrives meanwhile is not lost: the port opens again after the
    teardown."""
    helper = opened()
    start = removed_unanswered_and_back(sandbox, helper)
    sandbox.log.wait_for(r"quil_adapter_mbim_port_deinit:\d+: enter!", start=start, timeout=10)
    sandbox.log.wait_for(r"mbim port init finished! flag:1", start=start, timeout=10)
    assert helper.request(0x1007).payload == b"310260"


@pytest.mark.parametrize("last,answer", [
    pytest.param(PORT_INIT, b"310260", id="back-again"),
    pytest.param(PORT_REMOVED, b"ERROR", id="gone-again"),
])
def test_two_removals_pending_follow_the_last_message(sandbox, opened, last, answer):
    """The module goes and comes back twice while its removal queries go unanswered:
    the answer of the second query belongs to a port already torn down and must not
    close the port that the later arrival opened."""
    helper = opened()
    start = removed_unanswered_and_back(sandbox, helper)
    helper.control(PORT_REMOVED)
    helper.modem.wait_received("subscriber_ready", count=2)
    if last == PORT_INIT:
        second = sandbox.log.mark()
        helper.control(PORT_INIT, b"cdc-wdm")
        sandbox.log.wait_for(r"module removal pending, init again after it!", start=second)
    sandbox.log.wait_for(r"removal answer of a port already torn down, ignored!", start=start,
                         timeout=15)
    helper.modem.set(silent=[])
    assert sandbox.log.count(r"quil_adapter_mbim_port_deinit:\d+: enter!", start=start) == 1
    assert helper.request(0x1007).payload == answer
