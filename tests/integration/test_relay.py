# SPDX-License-Identifier: GPL-2.0-or-later
"""quil-helper-dbus's line to the MBIM helper: one forwarded request at a time, first in
first out, while everything else goes on; a queue 0 nobody empties never hangs it; late
and stray answers never reach the wrong caller.

Most scenarios play the MBIM helper themselves on the queues, so that they decide when
a request is taken and what comes back."""

import threading
import time

import pytest

from dbus_ready import wait_exported
from test_at_channel import LSUSB_MODULE, answer  # noqa: F401 (fixtures below)
from test_at_channel import at_rig, mbim_helper, modem_factory  # noqa: F401

NORMAL = 1
PORT_STATE = 0x2001
UNKNOWN = 0x7777  # no row in the MBIM helper's command table


def dbus_helper_alone(sb, clients=1):
    """The D-Bus helper without an MBIM helper, and connected clients."""
    first = sb.dbus_client()
    sb.start_dbus_helper()
    wait_exported(first)
    return [first] + [sb.dbus_client() for _ in range(clients - 1)]


class Call(threading.Thread):
    """A sendMesg running in the background; .result once joined."""

    def __init__(self, client, *args, **kw):
        super().__init__(daemon=True)
        self.client, self.args, self.kw = client, args, kw
        self.result = self.error = None
        self.start()

    def run(self):
        try:
            self.result = self.client.send_mesg(*self.args, **self.kw)
        except Exception as exc:  # noqa: BLE001 (reported by the test)
            self.error = exc

    def get(self, timeout=20):
        self.join(timeout)
        assert not self.is_alive(), "sendMesg still waiting"
        if self.error is not None:
            raise self.error
        return self.result


def take_request(sb, timeout=5):
    """Takes the next request off queue 0, as the MBIM helper would."""
    msg = sb.queues.receive(0, NORMAL, timeout=timeout)
    assert msg is not None, "no request reached queue 0"
    return msg


def test_full_queue_answered_at_once(sandbox):
    (client,) = dbus_helper_alone(sandbox)  # nobody reads queue 0
    for n in range(8):  # what a queue of the sandbox holds
        sandbox.queues.send(0, NORMAL, 9, 0x9000 + n, 0, b"filler")
    mark = sandbox.log.mark()
    result = client.send_mesg(3, UNKNOWN, 0, None, "full", timeout=5)
    assert result.reply == ((3, UNKNOWN), 1, 4, "full")
    assert result.elapsed < 1
    sandbox.log.wait_for(r"queue 0 is full, message cid 0x7777 dropped!", start=mark)
    # The daemon still serves its local commands.
    assert client.send_mesg(3, PORT_STATE, 0, 0, "").rtcode == 0


def test_one_request_on_queue_0_at_a_time_in_arrival_order(sandbox):
    clients = dbus_helper_alone(sandbox, clients=3)
    calls = []
    for n, client in enumerate(clients):
        mark = sandbox.log.mark()
        calls.append(Call(client, 10 + n, UNKNOWN, 0, None, f"from {n}"))
        sandbox.log.wait_for(r"enter! helper get request!", start=mark)
    for n in range(3):
        msg = take_request(sandbox)
        assert (msg.serviceid, msg.text) == (10 + n, f"from {n}")
        # The others wait in the line until this one has its answer.
        assert sandbox.queues.receive(0, NORMAL, timeout=0.3) is None
        sandbox.queues.send(1, NORMAL, msg.serviceid, msg.cid, 0, f"answer {n}".encode())
        assert calls[n].get().reply == ((10 + n, UNKNOWN), 0, 8, f"answer {n}")


def test_many_clients_each_get_their_own_replies_in_order(sandbox):
    clients = dbus_helper_alone(sandbox, clients=6)
    stop = threading.Event()

    def mbim_helper_echo():
        while not stop.is_set():
            msg = sandbox.queues.receive(0, NORMAL, timeout=0.2)
            if msg is not None:
                sandbox.queues.send(1, NORMAL, msg.serviceid, msg.cid, 0,
                                    b"re " + msg.payload)

    echo = threading.Thread(target=mbim_helper_echo, daemon=True)
    echo.start()
    replies = {n: [] for n in range(len(clients))}

    def client_loop(n):
        for k in range(15):
            r = clients[n].send_mesg(100 + n, UNKNOWN, 0, None, f"{n}:{k}")
            replies[n].append(r.reply)

    threads = [threading.Thread(target=client_loop, args=(n,)) for n in range(len(clients))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    stop.set()
    echo.join(2)
    for n in range(len(clients)):
        assert replies[n] == [((100 + n, UNKNOWN), 0, len(f"re {n}:{k}"), f"re {n}:{k}")
                              for k in range(15)]


def test_slow_at_command_does_not_hold_up_other_callers(sandbox, at_rig):
    modem = at_rig(answer("AT+CGMR", silent=True), dbus=True)
    slow_client, other = sandbox.at_client, sandbox.dbus_client()
    slow = Call(slow_client, 1, 0x1002, 0, 0, "", timeout=20)
    deadline = time.monotonic() + 5
    while b"AT+CGMR" not in modem.received():
        assert time.monotonic() < deadline, "the AT command never reached the port"
        time.sleep(0.02)
    # Local commands are served while the AT command waits for its answer.
    for _ in range(5):
        result = other.send_mesg(2, PORT_STATE, 0, 0, "")
        assert result.rtcode == 0 and result.elapsed < 0.5, result
    # A forwarded call waits its turn and then gets its own answer.
    queued = Call(other, 3, UNKNOWN, 0, None, "next", timeout=20)
    assert slow.get().reply == ((1, 0x1002), 1, 5, "ERROR")
    assert queued.get().reply == ((3, UNKNOWN), 1, 5, "ERROR")


def test_answers_with_no_request_waiting_are_dropped(sandbox):
    (client,) = dbus_helper_alone(sandbox)
    mark = sandbox.log.mark()
    # Left there by requests long gone, with the ids the next caller will use.
    for text in (b"old", b"older"):
        sandbox.queues.send(1, NORMAL, 2, UNKNOWN, 0, text)
    sandbox.log.wait_for(r"answer for serviceid 2 cid 0x7777 with no request waiting, dropped",
                         start=mark)
    call = Call(client, 2, UNKNOWN, 0, None, "now")
    msg = take_request(sandbox)
    sandbox.queues.send(1, NORMAL, msg.serviceid, msg.cid, 0, b"fresh")
    assert call.get().reply == ((2, UNKNOWN), 0, 5, "fresh")


@pytest.mark.parametrize("strays, expected, line", [
    ([(9, 0x9999, 0, b"other")], None,
     r"Get mismatched message, drop it and retry to get response!"),
    # Two in a row: the request fails, and never with another request's text.
    ([(9, 0x9999, 0, b"other"), (8, 0x8888, 0, b"bad\xff")], (1, 3, "now"),
     r"Get mismatched message again! return error to dbus!"),
], ids=["stray-then-right", "two-strays"])
def test_stray_answers_while_a_request_waits(sandbox, strays, expected, line):
    (client,) = dbus_helper_alone(sandbox)
    call = Call(client, 2, UNKNOWN, 0, None, "now")
    msg = take_request(sandbox)
    for serviceid, cid, rtcode, payload in strays:
        sandbox.queues.send(1, NORMAL, serviceid, cid, rtcode, payload)
    sandbox.log.wait_for(line)
    if expected is None:
        sandbox.queues.send(1, NORMAL, msg.serviceid, msg.cid, 0, b"right")
        expected = (0, 5, "right")
    assert call.get().reply == ((2, UNKNOWN), *expected)


@pytest.mark.slow
def test_late_answer_of_a_timed_out_request_never_reaches_the_next_caller(sandbox):
    first, second = dbus_helper_alone(sandbox, clients=2)
    late = Call(first, 4, UNKNOWN, 0, None, "first")
    taken = take_request(sandbox)  # taken, then never answered in time
    assert late.get().reply == ((4, UNKNOWN), 1, 0, "")
    # The same ids again: held back while the first one's answer may still come.
    mark = sandbox.log.mark()
    again = Call(second, 4, UNKNOWN, 0, None, "second")
    local = second.send_mesg(4, PORT_STATE, 0, 0, "")
    assert local.rtcode == 0 and local.elapsed < 0.5
    assert sandbox.queues.receive(0, NORMAL, timeout=0.5) is None
    sandbox.queues.send(1, NORMAL, taken.serviceid, taken.cid, 0, b"for the first")
    sandbox.log.wait_for(r"late answer for serviceid 4 cid 0x7777 taken off, dropped",
                         start=mark)
    msg = take_request(sandbox)
    assert msg.text == "second"
    sandbox.queues.send(1, NORMAL, msg.serviceid, msg.cid, 0, b"for the second")
    assert again.get().reply == ((4, UNKNOWN), 0, 14, "for the second")


@pytest.mark.parametrize("length, payload, expected", [
    (40, b"short", (0, 5, "short")),  # a len past the text is cut to it
    (3, b"short", (0, 3, "sho")),  # len bytes of the body are the answer
    (6, b"ab\0cd", (0, 2, "ab")),  # the text ends at its first NUL
])
def test_reply_len_never_exceeds_its_text(sandbox, length, payload, expected):
    (client,) = dbus_helper_alone(sandbox)
    call = Call(client, 5, UNKNOWN, 0, None, "q")
    msg = take_request(sandbox)
    sandbox.queues.send(1, NORMAL, msg.serviceid, msg.cid, 0, payload, len=length)
    assert call.get().reply == ((5, UNKNOWN), *expected)
