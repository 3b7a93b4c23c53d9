# SPDX-License-Identifier: GPL-2.0-or-later
"""quil-helper-mbim as a black box in its sandbox: requests on queue 0 and their
responses on queue 1, control messages on queue 0, queues left over or removed.

No module is fitted (the fake lsusb and lspci print nothing), so every request below
is answered with the default response whatever later handlers can do: unknown cids,
the default rows, the two rows whose handler refuses, and AT rows without a module."""

import struct

import time

import pytest
from harness import HELPER_MSG_CONTROL, HELPER_MSG_NORMAL

ERROR = dict(rtcode=1, len=5, payload=b"ERROR")
UNKNOWN_CID = 0x5000
STOP = 0x0003
# Sent on queue 1 by an MBIM helper that starts beside queues it did not make.
ANNOUNCE_REQUEST = 0x0005
IDENT = "helper_mbim_analyzer"

# (cid, serviceid, payload, what it is)
ERROR_ROWS = [
    (0x5000, 2, "", "unknown cid"),
    (0x0000, 1, "", "cid 0 is not a row"),
    (-1, 3, "x", "negative cid"),
    (0x7FFFFFFF, 4, "", "largest cid"),
    (0x0001, 0, "", "default row"),
    (0x0002, 1, "", "default row"),
    (0x0004, 1, "", "default row"),
    (0x0010, 1, "", "default row"),
    (0x0012, 1, "", "default row"),
    (0x0014, 1, "", "default row"),
    (0x0016, 1, "", "default row"),
    (0x0018, 1, "", "default row"),
    (0x0019, 1, "", "default row"),
    (0x2001, 5, "", "served by the D-Bus helper"),
    (0x2003, 1, "", "served by the D-Bus helper"),
    (0x2004, 1, "/opt/quillon/pkg", "EDL flash, D-Bus helper"),
    (0x4006, 1, "1,2", "default row with an AT text"),
    (0x4029, 1, "", "default row"),
    (0x1009, 1, "", "AT row without completion"),
    (0x401E, 1, "", "AT row without command"),
    (0x1002, 1, "", "AT query, no module"),
    (0x4001, 2, "1", "AT set, no module"),
    (0x0100, 0, "", "AT query, no module"),
    (0x5000, -7, "", "negative serviceid copied"),
    (0x5000, 123456789, "payload", "large serviceid copied"),
]
NOT_IN_TABLE = {0x5000, 0x0000, -1, 0x7FFFFFFF}
DEFAULT_ROWS = {0x0001, 0x0002, 0x0004, 0x0010, 0x0012, 0x0014, 0x0016, 0x0018, 0x0019,
                0x2001, 0x2003, 0x2004, 0x4006, 0x4029}


def assert_error_response(msg, serviceid, cid):
    assert msg is not None, "no response"
    assert (msg.mtype, msg.serviceid, msg.cid) == (HELPER_MSG_NORMAL, serviceid, cid)
    assert (msg.rtcode, msg.len, msg.payload) == (ERROR["rtcode"], ERROR["len"],
                                                  ERROR["payload"])
    # The rest of the body is zero: the payload is NUL-terminated.
    assert msg.body[16 + 5:] == bytes(2040 - 21)


def request(sb, serviceid, cid, payload="", **kw):
    sb.queues.send(0, HELPER_MSG_NORMAL, serviceid, cid, payload=payload, **kw)


def expect_only(sb, serviceid, cid, timeout=10):
    """The next response is for (serviceid, cid), and a sentinel request sent after it
    gets the next one: nothing else came on queue 1 in between."""
    assert_error_response(sb.queues.receive(1, HELPER_MSG_NORMAL, timeout), serviceid, cid)
    request(sb, 99, UNKNOWN_CID)
    assert_error_response(sb.queues.receive(1, 0, timeout), 99, UNKNOWN_CID)
    assert sb.queues.count(1) == 0


@pytest.fixture
def helper(sandbox):
    daemon = sandbox.start_mbim_helper()
    yield daemon
    assert daemon.alive(), f"quil-helper-mbim ended with {daemon.proc.returncode}"


@pytest.mark.parametrize("cid,serviceid,payload,what", ERROR_ROWS,
                         ids=[f"{r[0] & 0xFFFFFFFF:#06x}-{r[3].replace(' ', '_')}"
                              for r in ERROR_ROWS])
def test_every_request_gets_one_error_response(sandbox, helper, cid, serviceid, payload, what):
    request(sandbox, serviceid, cid, payload)
    expect_only(sandbox, serviceid, cid)
    if cid in DEFAULT_ROWS:
        # Answered without looking for a module.
        assert sandbox.tool_calls("lsusb") == []
    if cid in NOT_IN_TABLE:
        sandbox.log.wait_for(r"^\[Error\]: \w+:\d+: Execute error or not matched! "
                             r"will call default resp!$")


def test_queued_requests_answered_in_order(sandbox):
    # Eight requests (a full queue 0) wait before the daemon starts.
    sandbox.queues.create(0)
    sandbox.queues.create(1)
    cids = [0x5000, 0x0001, 0x4029, 0x1009, 0x5001, 0x2003, 0x401E, 0x0019]
    for n, cid in enumerate(cids):
        request(sandbox, n, cid, payload=f"req {n}")
    assert sandbox.queues.count(0) == 8
    daemon = sandbox.start_mbim_helper()
    for n, cid in enumerate(cids):
        assert_error_response(sandbox.queues.receive(1, HELPER_MSG_NORMAL, 10), n, cid)
    # Bursts while it runs, drained as they come.
    for burst in range(3):
        sent = [(100 * burst + n, 0x6000 + n) for n in range(6)]
        for serviceid, cid in sent:
            request(sandbox, serviceid, cid)
        got = [sandbox.queues.receive(1, HELPER_MSG_NORMAL, 10) for _ in sent]
        for msg, (serviceid, cid) in zip(got, sent):
            assert_error_response(msg, serviceid, cid)
    # Started beside queues it did not make, it asked for the module once (cid 5).
    asked = sandbox.queues.receive(1, HELPER_MSG_CONTROL, 5)
    assert (asked.cid, asked.len) == (ANNOUNCE_REQUEST, 0)
    assert sandbox.queues.count(0) == 0 and sandbox.queues.count(1) == 0
    assert daemon.alive()


def test_control_message_on_queue0_is_left_to_the_control_receiver(sandbox, helper):
    start = sandbox.log.mark()
    # cid 0 is skipped without a line; an unknown id is refused with one.
    sandbox.queues.send(0, HELPER_MSG_CONTROL, 0, 0x0000)
    sandbox.queues.send(0, HELPER_MSG_CONTROL, 0, 0x0077, payload="not a request")
    sandbox.log.wait_for(r"^\[Error\]: \w+:\d+: Invalid control cid! refuse to execute!$",
                         start=start)
    request(sandbox, 7, 0x5000)
    # The only response is the request's: the request receiver answered no control
    # message, and both were taken off queue 0.
    expect_only(sandbox, 7, 0x5000)
    assert sandbox.queues.count(0) == 0
    assert sandbox.log.count(r"Invalid control cid! refuse to execute!", start=start) == 1


def raw_request(serviceid, cid, length, size=2040, fill=b"A"):
    body = struct.pack("=iiii", serviceid, cid, 0, length)
    return body + fill * (size - len(body))


# (what, raw body) of requests whose len does not fit, or whose body is unusual.
ODD_BODIES = [
    ("len-5000", raw_request(11, 0x5000, 5000)),
    ("len-minus-1", raw_request(12, 0x1002, -1)),
    ("len-2024", raw_request(13, 0x4001, 2024)),
    ("len-int-max", raw_request(14, 0x0001, 0x7FFFFFFF)),
    ("len-int-min", raw_request(15, 0x4029, -0x80000000)),
    ("len-2023-full-body", raw_request(16, 0x4001, 2023, fill=b"1")[:2039] + b"\0"),
    ("no-terminator-in-body", raw_request(17, 0x4001, 2023, fill=b"B")),
    ("body-longer-than-2040", raw_request(18, 0x5000, 3, size=3000)),
]


@pytest.mark.parametrize("what,body", ODD_BODIES, ids=[b[0] for b in ODD_BODIES])
def test_odd_bodies_answered_with_default_response(sandbox, helper, what, body):
    serviceid, cid = struct.unpack_from("=ii", body)
    sandbox.queues.send(0, HELPER_MSG_NORMAL, raw_body=body)
    expect_only(sandbox, serviceid, cid)


@pytest.mark.parametrize("leftover", [(0, 1), (0,)], ids=["both", "queue0-only"])
def test_start_with_leftover_queues(sandbox, leftover):
    for i in leftover:
        sandbox.queues.create(i)
    # A stale request from an earlier run is served like any other.
    request(sandbox, 3, 0x4029)
    daemon = sandbox.start_mbim_helper()
    sandbox.log.wait_for(r"^\[Debug\]: \w+:\d+: seq already existed!$")
    if leftover == (0, 1):
        asked = sandbox.queues.receive(1, HELPER_MSG_CONTROL, 5)
        assert (asked.cid, asked.len) == (ANNOUNCE_REQUEST, 0)
        expect_only(sandbox, 3, 0x4029)
    else:
        # Queue 1 is not made when queue 0 was there: the answer cannot be sent, and
        # the daemon goes on.
        sandbox.log.wait_for(r"message queue not existed!")
        sandbox.log.wait_for(r"send resp to main loop failed!")
        assert not sandbox.queues.exists(1)
        # Still in charge of its control messages.
        sandbox.queues.send(0, HELPER_MSG_CONTROL, 0, STOP)
        assert daemon.wait(10) == 0
        return
    assert daemon.alive()


def test_removed_queues_are_found_again(sandbox):
    daemon = sandbox.start_mbim_helper()
    request(sandbox, 1, 0x5000)
    expect_only(sandbox, 1, 0x5000)
    start = sandbox.log.mark()
    assert sandbox.queues.remove(0) and sandbox.queues.remove(1)
    # The request receiver reports the absence once (then once a minute), not at every
    # attempt, and finds the queues again within a second.
    sandbox.log.wait_for(r"^\[Error\]: \w+:\d+: message queue not existed!$", start=start)
    again = sandbox.log.mark()
    sandbox.queues.create(0)
    sandbox.queues.create(1)
    found = time.monotonic()
    request(sandbox, 2, 0x4029, payload="after")
    expect_only(sandbox, 2, 0x4029)
    assert time.monotonic() - found < 1.5
    sandbox.log.wait_for(r"message queue found again after \d+ attempts!", start=again)
    assert sandbox.log.count(r"message queue not existed!", start=start) == 1
    # The control receiver found the new queue 0 too.
    sandbox.queues.send(0, HELPER_MSG_CONTROL, 0, STOP)
    assert daemon.wait(10) == 0


def test_control_stop_ends_it_with_status_0(sandbox):
    daemon = sandbox.start_mbim_helper()
    request(sandbox, 1, 0x5000)
    expect_only(sandbox, 1, 0x5000)
    sandbox.queues.send(0, HELPER_MSG_CONTROL, 0, STOP)
    assert daemon.wait(10) == 0
    stopping = sandbox.log.wait_entry(r"Caught signal, stopping quil-helper-mbim\.\.\.$")
    exiting = sandbox.log.wait_entry(r"exiting 'quil-helper-mbim'\.\.\.$")
    assert stopping.message.startswith("[Error]: ") and stopping.priority == 3
    assert exiting.message.startswith("[Critical]: main:") and exiting.priority == 2
    assert exiting.ident == IDENT and exiting.pid == daemon.pid
    # The MBIM helper never removes a queue.
    assert sandbox.queues.exists(0) and sandbox.queues.exists(1)

