#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Idle benchmark of both daemons.

Runs both daemons in a private sandbox (its own IPC and network namespaces and system
bus) with the module fitted: the simulated modem's AT port as /dev/ttyUSB1 and its MBIM
port as /dev/cdc-wdm0. Nobody calls them. For each daemon it measures, over one
interval each (30 s by default):
  - with its peer running: the CPU time it used (percent of one core) and the lines
    it logged, per minute;
  - with its peer gone: the same. The D-Bus helper goes as it does when it is stopped
    (SIGTERM: it removes both queues); the MBIM helper goes by SIGKILL, as in a crash
    (the queues stay).
Goal: below 0.1 % of a core and no more than a few log lines a minute in each case.

    sudo /usr/bin/python3 scripts/benchmark-idle.py [--seconds S] [--build DIR] [--debug]

--debug runs the daemons with -d (every Debug line) instead of their default level,
as their units run them.
"""

import argparse
import os
import pathlib
import signal
import sys
import time

REPO = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "integration"))
sys.path.insert(0, str(REPO / "tests" / "sim"))

from dbus_ready import wait_exported  # noqa: E402
from harness import Sandbox  # noqa: E402
import at_modem  # noqa: E402
import mbim_sim  # noqa: E402

IDENT = {"mbim": "helper_mbim_analyzer", "dbus": "helper"}
LSUSB_MODULE = ["3f1e:0a12 Quillon KT300-WW-00"]
SETTLE = 2.0  # seconds after a change before the interval starts


def cpu_ns(pid):
    """CPU time of each of the process's threads so far, in nanoseconds, by thread id
    (schedstat is exact where the clock ticks of /proc/<pid>/stat are 10 ms)."""
    times = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                times[tid] = int(f.read().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            pass  # a thread that ended meanwhile
    return times


def used_ns(before, after):
    """CPU time used between two samples by the threads of the second (a thread that
    ended meanwhile, such as an idle GLib pool thread, is left out)."""
    return sum(ns - before.get(tid, 0) for tid, ns in after.items())


def measure(sb, daemon, ident, seconds, since):
    """(percent of one core, log lines per minute over `seconds`, lines since the log
    mark `since`) of daemon."""
    time.sleep(SETTLE)
    sb.log.sync()
    t0, c0, m0 = time.monotonic(), cpu_ns(daemon.pid), sb.log.mark()
    time.sleep(seconds)
    sb.log.sync()
    t1, c1 = time.monotonic(), cpu_ns(daemon.pid)
    lines = len(sb.log.entries(ident=ident, start=m0))
    elapsed = t1 - t0
    return (100.0 * used_ns(c0, c1) / 1e9 / elapsed, lines * 60.0 / elapsed,
            len(sb.log.entries(ident=ident, start=since)))


def start_both(sb, mbim_modem, args):
    mbim = sb.start_mbim_helper(*args)
    dbus = sb.start_dbus_helper(*args)
    wait_exported(sb.dbus_client())
    # The module is announced, its MBIM port opened and its SIM state asked for.
    mbim_modem.wait_received("subscriber_ready", timeout=20)
    return mbim, dbus


def run(args, seconds):
    rows = []
    for subject in ("mbim", "dbus"):
        with Sandbox(args.build) as sb:
            sb.set_lsusb(LSUSB_MODULE)
            at = at_modem.AtModem(sb.root)
            sb.link_dev("ttyUSB1", at.slave)
            mbim_modem = mbim_sim.MbimModem(sb)
            daemon_args = ("-d",) if args.debug else ("--loglevel=6",)
            mbim, dbus = start_both(sb, mbim_modem, daemon_args)
            netns = mbim_sim.netns_of(mbim.pid)
            try:
                me, peer = (mbim, dbus) if subject == "mbim" else (dbus, mbim)
                rows.append((subject, "peer running",
                             *measure(sb, me, IDENT[subject], seconds, sb.log.mark())))
                change = sb.log.mark()
                if subject == "mbim":
                    peer.signal(signal.SIGTERM)
                    peer.wait(10)
                else:
                    peer.stop()
                rows.append((subject, "peer gone",
                             *measure(sb, me, IDENT[subject], seconds, change)))
                assert me.alive(), f"{subject} helper ended"
            finally:
                for daemon in (dbus, mbim):
                    daemon.stop()
                mbim_sim.kill_proxies_in(netns)
                mbim_modem.stop()
                at.stop()
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=30.0)
    parser.add_argument("--build", type=pathlib.Path, default=REPO / "build")
    parser.add_argument("--debug", action="store_true")
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("needs root (the sandbox uses namespaces)")
    rows = run(args, args.seconds)
    print(f"interval {args.seconds:.0f} s, daemons run with "
          f"{'-d' if args.debug else 'their default log level'}")
    print(f"{'daemon':<6} {'case':<13} {'cpu % of a core':>16} {'log lines/min':>14} "
          f"{'lines in all':>13}")
    for subject, case, cpu, per_minute, in_all in rows:
        print(f"{subject:<6} {case:<13} {cpu:>16.4f} {per_minute:>14.1f} {in_all:>13}")
    print("(lines in all: from the start of the case, the peer's going included)")
    worst = max(row[2] for row in rows)
    print(f"goal < 0.1 % of a core: {'met' if worst < 0.1 else 'NOT met'} (worst {worst:.3f} %)")


if __name__ == "__main__":
    main()
