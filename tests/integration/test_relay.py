# SPDX-License-Identifier: GPL-2.0-or-later
"""quil-helper-dbus's relay to the MBIM helper: a queue 0 nobody empties never hangs it."""

from dbus_ready import wait_exported

NORMAL = 1
UNKNOWN = 0x7777  # no row in the MBIM helper's command table


def test_full_queue_answered_at_once(sandbox):
    client = sandbox.dbus_client()
    sandbox.start_dbus_helper()  # no MBIM helper: nobody reads queue 0
    wait_exported(client)
    for n in range(8):  # what a queue of the sandbox holds
        sandbox.queues.send(0, NORMAL, 9, 0x9000 + n, 0, b"filler")
    mark = sandbox.log.mark()
    result = client.send_mesg(3, UNKNOWN, 0, None, "full", timeout=5)
    assert result.reply == ((3, UNKNOWN), 1, 4, "full")
    assert result.elapsed < 1
    sandbox.log.wait_for(r"queue 0 is full, message cid 0x7777 dropped!", start=mark)
    # The daemon still serves its local commands.
    assert client.send_mesg(3, 0x2001, 0, 0, "").rtcode == 0
