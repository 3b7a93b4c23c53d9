# SPDX-License-Identifier: GPL-2.0-or-later
"""Who may use the queues: only root, the daemons' own user. A queue left open to other
users by an older run is made anew; one that another user made is never used; a
message from another user is refused by the kernel."""

import pytest

from dbus_ready import wait_exported

NOBODY = 65534
HELPER_MSG_NORMAL, HELPER_MSG_CONTROL = 1, 2

# Runs inside the sandbox as nobody: sends one message on a queue of the daemons and
# prints what the kernel said.
SEND_AS_NOBODY = """
import struct, sys, sysv_ipc
key = sysv_ipc.ftok(".", int(sys.argv[1]), silence_warning=True)
body = struct.pack("=iiii", 0, int(sys.argv[3], 0), 0, 0) + bytes(2024)
try:
    q = sysv_ipc.MessageQueue(key)
    q.send(body, block=False, type=int(sys.argv[2]))
    print("sent")
except sysv_ipc.PermissionsError:
    print("refused")
"""

# Creates queues 0 and 1 as nobody, open to everybody, and puts a request on queue 0.
CREATE_AS_NOBODY = """
import struct, sysv_ipc
qs = [sysv_ipc.MessageQueue(sysv_ipc.ftok(".", i, silence_warning=True), sysv_ipc.IPC_CREX,
                            mode=0o666) for i in (0, 1)]
qs[0].send(struct.pack("=iiii", 1, 0x1006, 0, 0) + bytes(2024), type=1)
print("made")
"""


def as_nobody(sb, code, *args):
    result = sb.run(["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups",
                     "/usr/bin/python3", "-c", code, *map(str, args)])
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


def assert_private(sb, i):
    st = sb.queues.stat(i)
    assert st is not None, f"queue {i} missing"
    assert (st["mode"] & 0o777, st["uid"], st["cuid"]) == (0o600, 0, 0), st
    return st


@pytest.mark.parametrize("daemon", ["mbim", "dbus"])
def test_queues_made_for_root_alone(sandbox, daemon):
    start = sandbox.start_mbim_helper if daemon == "mbim" else sandbox.start_dbus_helper
    start()
    assert sandbox.queues.wait_exists(1)
    for i in (0, 1):
        assert_private(sandbox, i)


def test_queues_left_open_by_an_older_run_are_made_anew(sandbox):
    for i in (0, 1):
        sandbox.queues.create(i, mode=0o666)
    old = [sandbox.queues.stat(i)["id"] for i in (0, 1)]
    sandbox.start_mbim_helper()
    for i in (0, 1):
        sandbox.log.wait_for(rf"queue {i} \(id {old[i]}, mode 0666, owner 0\) is open to other "
                             r"users, created anew!")
        assert assert_private(sandbox, i)["id"] != old[i]


def test_message_from_another_user_refused(sandbox):
    # The D-Bus helper obeys a control message 4 from its queue 1 by stopping: nobody
    # must not be able to send it, nor a request on queue 0.
    dbus = sandbox.start_dbus_helper()
    assert sandbox.queues.wait_exists(1)
    assert as_nobody(sandbox, SEND_AS_NOBODY, 1, HELPER_MSG_CONTROL, 0x0004) == "refused"
    assert as_nobody(sandbox, SEND_AS_NOBODY, 0, HELPER_MSG_NORMAL, 0x100A) == "refused"
    assert [sandbox.queues.count(i) for i in (0, 1)] == [0, 0]
    assert dbus.alive()


def test_queues_made_by_another_user_are_not_used(sandbox):
    # While no D-Bus helper runs, nobody makes the queues: the MBIM helper must not take
    # requests from them, and the next D-Bus helper makes them anew.
    sandbox.start_mbim_helper()
    sandbox.log.wait_for(r"Enter to loop: get request and deal!")
    for i in (0, 1):
        sandbox.queues.remove(i)
    assert as_nobody(sandbox, CREATE_AS_NOBODY) == "made"
    foreign = sandbox.queues.stat(0)["id"]
    mark = sandbox.log.mark()
    sandbox.log.wait_for(rf"queue 0 \(id {foreign}, mode 0666, owner {NOBODY}\) is open to "
                         r"other users, not used!", start=mark, ident="helper_mbim_analyzer")
    assert sandbox.queues.count(0) == 1  # the request was not taken

    client = sandbox.dbus_client()
    sandbox.start_dbus_helper()
    sandbox.log.wait_for(r"queue 0 .* is open to other users, created anew!", start=mark,
                         ident="helper")
    assert assert_private(sandbox, 0)["id"] != foreign
    assert assert_private(sandbox, 1)
    # The MBIM helper serves the new queues (its answer is the D-Bus helper's to take).
    wait_exported(client)
    result = client.send_mesg(7, 0x5000, 0, 0, "", timeout=10)
    assert result.reply == ((7, 0x5000), 1, 5, "ERROR")
