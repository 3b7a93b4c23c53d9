# SPDX-License-Identifier: GPL-2.0-or-later
"""The MBIM device's double close against every other descriptor of the MBIM helper.

libmbim-glib closes the socket of a device opened through mbim-proxy twice, back to
back in the main-loop thread. Should another thread be given that number between the
two closes (the AT port, a pipe of the module detection), the second close takes it
away from under that thread. The window is two system calls wide; to make it count,
the main thread runs under strace with every close held up on its way out, so that
the gap between the two closes is tens of milliseconds, and AT requests run all the
time while the module is removed (control cid 2) and announced again (cid 1).
"""

import os
import shutil
import subprocess
import time

import pytest

from mbim_sim import OPENED, PORT_INIT, PORT_REMOVED, MbimModem, Helper, kill_proxies_in
from test_at_channel import LSUSB_MODULE, at_modem

ROUNDS = 200
CGMR = b"KT300.1.2.3.4_20261201"
# Microseconds every close of the main thread is held up on its way out.
CLOSE_DELAY_US = 20000
BAD_FD = "Bad file descriptor"


def descriptors(pid):
    """What the process's descriptors lead to, sockets and pipes without their inode
    (a device opened anew gets a new socket, maybe under another number)."""
    kinds = []
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            target = os.readlink(f"/proc/{pid}/fd/{fd}")
        except FileNotFoundError:
            continue
        kinds.append(target.split(":[")[0] if ":[" in target else target)
    return sorted(kinds)


def held_close(pid, record):
    """strace on the main thread alone (its tid is the pid): each close returns late.
    The other threads run free, so that they create descriptors meanwhile. Every close
    of the main thread is written to `record`."""
    tracer = subprocess.Popen(
        ["strace", "-qq", "-p", str(pid), "-e", "trace=close",
         "-e", f"inject=close:delay_exit={CLOSE_DELAY_US}", "-o", str(record)],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # Attached once the thread names its tracer.
    deadline = time.monotonic() + 10
    while tracer_of(pid) != tracer.pid:
        assert tracer.poll() is None and time.monotonic() < deadline, "strace did not attach"
        time.sleep(0.01)
    return tracer


def tracer_of(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("TracerPid:"):
                return int(line.split()[1])
    return 0


def second_closes(record):
    """The closes of a number already closed: libmbim's second close of each device."""
    return sum("EBADF" in line for line in record.read_text().splitlines())


@pytest.fixture
def stress_rig(sandbox):
    """Module fitted, simulated AT and MBIM ports, the MBIM helper with its port open."""
    sandbox.set_lsusb(LSUSB_MODULE)
    at = at_modem.AtModem(sandbox.root)
    sandbox.link_dev("ttyUSB1", at.slave)
    mbim = MbimModem(sandbox)
    helper = Helper(sandbox)
    helper.open_port()
    yield helper
    helper.daemon.stop_checked()
    kill_proxies_in(helper.netns)
    mbim.stop()
    at.stop()


@pytest.mark.slow
@pytest.mark.timeout(300)
@pytest.mark.skipif(shutil.which("strace") is None, reason="needs strace to widen the window")
def test_double_close_never_meets_another_threads_descriptor(sandbox, stress_rig):
    helper = stress_rig
    pid = helper.daemon.pid
    # The first request starts the tools of the module detection once, so that what
    # they leave open for the process's life (none should) is counted in both figures.
    assert helper.request(0x1002).payload == CGMR
    before = descriptors(pid)

    record = sandbox.root / "main_thread_closes.txt"
    tracer = held_close(pid, record)
    replies, wrong = 0, []
    try:
        for n in range(ROUNDS):
            mark = sandbox.log.mark()
            helper.control(PORT_REMOVED)
            helper.control(PORT_INIT, b"cdc-wdm")
            # Requests while the teardown and the new open run in the main thread.
            while True:
                msg = helper.request(0x1002, serviceid=1 + n % 5)
                replies += 1
                if (msg.rtcode, msg.payload) != (0, CGMR):
                    wrong.append((n, msg.rtcode, msg.payload))
                if sandbox.log.count(OPENED, start=mark):
                    break
    finally:
        tracer.terminate()
        tracer.wait(10)

    # Each round's teardown closed the device's socket a second time, into the gap.
    assert second_closes(record) >= ROUNDS
    assert not wrong, f"{len(wrong)} of {replies} replies wrong, first: {wrong[:3]}"
    assert helper.request(0x1002).payload == CGMR
    # The port is open again (the last round waited for it), the tools have ended.
    sandbox.log.sync()
    after = descriptors(pid)
    assert after == before, f"descriptors before {before}, after {after}"
    log_text = "\n".join(sandbox.log.messages())
    assert BAD_FD not in log_text
    assert BAD_FD not in helper.daemon.output()
    assert helper.daemon.alive()
