#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Request road benchmark.

Runs both daemons in a private sandbox (its own IPC and network namespaces and
system bus) and measures, in one run:
  - the median round trip of a forwarded sendMesg: an unknown cid, which the MBIM
    helper answers with its default "ERROR" response;
  - the median round trip of org.freedesktop.DBus.Peer.Ping on com.quillon.helper,
    the same bus and name without the queues and the MBIM helper;
and prints both, their ratio, and the resident memory (VmRSS) of both daemons.
Then, with the module fitted and the simulated modem AT port linked in:
  - the median round trip of an AT query (sendMesg 0x1002, AT+CGMR) answered at once
    by the simulated modem;
  - the median cost of the shell pipelines every AT request starts: the catalogue
    search up to the fitted row (row 0, "lsusb | grep 3f1e:0a12") and the port
    search ("find /dev -name ttyUSB1*"), run through /bin/sh inside the sandbox as
    the MBIM helper runs them;
and prints both and their ratio.

    sudo /usr/bin/python3 scripts/benchmark.py [--calls N] [--at-calls N] [--build DIR]
"""

import argparse
import os
import pathlib
import statistics
import sys
import time

REPO = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "integration"))
sys.path.insert(0, str(REPO / "tests" / "sim"))

from gi.repository import Gio, GLib  # noqa: E402

from dbus_ready import wait_exported  # noqa: E402
from harness import Sandbox  # noqa: E402
import at_modem  # noqa: E402

NAME, PATH, IFACE = "com.quillon.helper", "/com/quillon/helper", "com.quillon.helper"
UNKNOWN_CID = 0x7777
WARM_UP = 20
AT_WARM_UP = 3

# Runs inside the sandbox: times the MBIM helper's two pipelines of an AT request
# through popen, as the daemon starts them; prints their medians in milliseconds.
PIPELINE_TIMER = r"""
import os, statistics, sys, time
calls = int(sys.argv[1])
def cost(command):
    times = []
    for _ in range(calls):
        start = time.perf_counter()
        with os.popen(command) as pipe:
            pipe.read()
        times.append((time.perf_counter() - start) * 1000)
    return statistics.median(times)
print(cost("lsusb | grep 3f1e:0a12"), cost("find /dev -name ttyUSB1*"))
"""


def call(conn, iface, method, params, reply_type):
    return conn.call_sync(NAME, PATH, iface, method, params, GLib.VariantType(reply_type),
                          Gio.DBusCallFlags.NONE, 15000, None)


def send_mesg(conn):
    msg = GLib.Variant("(((ii)iis))", (((1, UNKNOWN_CID), 0, 4, "ping"),))
    (reply,) = call(conn, IFACE, "sendMesg", msg, "(((ii)iis))").unpack()
    if reply != ((1, UNKNOWN_CID), 1, 5, "ERROR"):
        raise RuntimeError(f"unexpected reply {reply!r}")


def at_query(conn):
    msg = GLib.Variant("(((ii)iis))", (((1, 0x1002), 0, 0, ""),))
    (reply,) = call(conn, IFACE, "sendMesg", msg, "(((ii)iis))").unpack()
    if reply[1] != 0:
        raise RuntimeError(f"unexpected reply {reply!r}")


def ping(conn):
    call(conn, "org.freedesktop.DBus.Peer", "Ping", None, "()")


def median_ms(conn, op, calls, warm_up=WARM_UP):
    for _ in range(warm_up):
        op(conn)
    times = []
    for _ in range(calls):
        start = time.perf_counter()
        op(conn)
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1000


def vm_rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError(f"no VmRSS for pid {pid}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=1000, help="calls of each kind (>= 500)")
    parser.add_argument("--at-calls", type=int, default=100, help="AT queries (>= 20)")
    parser.add_argument("--build", default=os.environ.get("QUIL_BUILD_DIR",
                                                          str(REPO / "build")))
    args = parser.parse_args()
    if args.calls < 500:
        parser.error("--calls must be at least 500")
    if args.at_calls < 20:
        parser.error("--at-calls must be at least 20")

    with Sandbox(pathlib.Path(args.build).resolve()) as sb:
        # Level 6: no Debug lines, as the daemons run by default.
        mbim = sb.start_mbim_helper("-l", "6")
        dbus = sb.start_dbus_helper("-l", "6")
        client = sb.dbus_client()
        wait_exported(client)
        conn = client.connection

        forwarded = median_ms(conn, send_mesg, args.calls)
        pinged = median_ms(conn, ping, args.calls)
        rss = {name: vm_rss_kib(daemon.pid)
               for name, daemon in (("quil-helper-dbus", dbus), ("quil-helper-mbim", mbim))}

        # The AT road: module fitted, simulated modem on its AT port.
        sb.set_lsusb(["3f1e:0a12 Quillon KT300-WW-00"])
        modem = at_modem.AtModem(sb.root)
        try:
            sb.link_dev("ttyUSB1", modem.slave)
            at_ms = median_ms(conn, at_query, args.at_calls, warm_up=AT_WARM_UP)
            out = sb.run(["/usr/bin/python3", "-c", PIPELINE_TIMER, str(args.at_calls)],
                         timeout=600)
            lsusb_ms, find_ms = (float(v) for v in out.stdout.split())
        finally:
            modem.stop()
        shell_ms = lsusb_ms + find_ms

    print(f"calls of each kind:            {args.calls}")
    print(f"sendMesg forwarded (ERROR):    median {forwarded:.3f} ms")
    print(f"Peer.Ping on {NAME}: median {pinged:.3f} ms")
    print(f"ratio sendMesg / Ping:         {forwarded / pinged:.2f}")
    for name, kib in rss.items():
        print(f"VmRSS {name}:       {kib} KiB")
    print(f"AT queries:                    {args.at_calls}")
    print(f"sendMesg 0x1002 (AT+CGMR):     median {at_ms:.3f} ms")
    print(f"  lsusb | grep 3f1e:0a12:      median {lsusb_ms:.3f} ms")
    print(f"  find /dev -name ttyUSB1*:    median {find_ms:.3f} ms")
    print(f"  shell pipelines together:    {shell_ms:.3f} ms")
    print(f"ratio AT query / pipelines:    {at_ms / shell_ms:.2f}")


if __name__ == "__main__":
    main()
