#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Request road benchmark.

Runs both daemons in a private sandbox (its own IPC and network namespaces and system
bus, with the harness's allow-all polkit stand-in, so that every sendMesg goes through
the authorization check as users get it), the module fitted and the simulated modem on
its AT port, and prints figures (it never judges them):

  (a) medians of N calls each, one client, in one run:
      - sendMesg forwarded with a cid the MBIM helper has no row for (its default
        "ERROR", no modem involved): the relay itself;
      - sendMesg 0x1002 (AT+CGMR), answered at once by the simulated modem;
      - getVersion, answered with UnknownMethod from the same main loop (the floor of
        any method call there);
      - org.freedesktop.DBus.Peer.Ping on com.quillon.helper;
      and the ratios to getVersion;
  (b) 16 clients at once: one waits on an AT command the modem never answers (the
      MBIM helper gives up after 5 s), 8 ask 0x2001 and 7 forward the unknown cid in a
      loop for a few seconds: median and 99th percentile of each kind;
  (c) throughput of forwarded calls (unknown cid) with 1, 4, 16 and 64 clients;
  (d) the cost of the shell pipelines of an AT request and the daemons' VmRSS.

Clients run in worker processes (at most 4), each driving its connections with
asynchronous calls, so that they really run at the same time.

    sudo /usr/bin/python3 scripts/benchmark.py [--calls N] [--build DIR]
"""

import argparse
import json
import os
import pathlib
import select
import statistics
import subprocess
import sys
import time

REPO = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "integration"))
sys.path.insert(0, str(REPO / "tests" / "sim"))

from gi.repository import Gio, GLib  # noqa: E402

NAME, PATH, IFACE = "com.quillon.helper", "/com/quillon/helper", "com.quillon.helper"
UNKNOWN_CID = 0x7777
SILENT_CID, SILENT_COMMAND = 0x1001, "AT+GTSAPFWVER?"
WARM_UP = 20
MAX_WORKERS = 4

# What a client asks: interface, method, arguments, whether a D-Bus error is the answer.
OPS = {
    "forward": (IFACE, "sendMesg", ("(((ii)iis))", (((1, UNKNOWN_CID), 0, 4, "ping"),)), False),
    "at": (IFACE, "sendMesg", ("(((ii)iis))", (((1, 0x1002), 0, 0, ""),)), False),
    "port": (IFACE, "sendMesg", ("(((ii)iis))", (((1, 0x2001), 0, 0, ""),)), False),
    "silent": (IFACE, "sendMesg", ("(((ii)iis))", (((1, SILENT_CID), 0, 0, ""),)), False),
    "getVersion": (IFACE, "getVersion", ("(s)", ("1.0.8",)), True),
    "ping": ("org.freedesktop.DBus.Peer", "Ping", None, False),
}

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


def params_of(op):
    _, _, args, _ = OPS[op]
    return GLib.Variant(*args) if args else None


def connect(address):
    return Gio.DBusConnection.new_for_address_sync(
        address,
        Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
        | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION,
        None, None)


def call_sync(conn, op, timeout_ms=30000):
    iface, method, _, error_expected = OPS[op]
    try:
        conn.call_sync(NAME, PATH, iface, method, params_of(op), None, Gio.DBusCallFlags.NONE,
                       timeout_ms, None)
    except GLib.Error:
        if not error_expected:
            raise


# --- worker processes ------------------------------------------------------------------

def worker(spec):
    """Connects spec["ops"] clients (one op each), warms them up, prints READY, waits
    for a line on stdin, then calls in a loop for spec["seconds"] and prints a JSON
    object: {"latencies": {op: [seconds...]}, "done": calls completed in time}."""
    conns = [connect(spec["address"]) for _ in spec["ops"]]
    for conn, op in zip(conns, spec["ops"]):
        if op != "silent":
            for _ in range(spec.get("warm_up", 3)):
                call_sync(conn, op)
    print("READY", flush=True)
    sys.stdin.readline()
    loop = GLib.MainLoop()
    latencies = {op: [] for op in set(spec["ops"])}
    state = {"outstanding": 0, "done": 0, "errors": 0}
    deadline = time.perf_counter() + spec["seconds"]

    def issue(conn, op):
        iface, method, _, _ = OPS[op]
        state["outstanding"] += 1
        conn.call(NAME, PATH, iface, method, params_of(op), None, Gio.DBusCallFlags.NONE,
                  30000, None, finished, (op, time.perf_counter()))

    def finished(conn, result, data):
        op, started = data
        try:
            conn.call_finish(result)
        except GLib.Error:
            if not OPS[op][3]:
                state["errors"] += 1
        now = time.perf_counter()
        state["outstanding"] -= 1
        latencies[op].append(now - started)
        if now <= deadline:
            state["done"] += 1
            if not spec.get("once"):
                issue(conn, op)
        if state["outstanding"] == 0:
            loop.quit()

    for conn, op in zip(conns, spec["ops"]):
        issue(conn, op)
    loop.run()
    print(json.dumps({"latencies": latencies, "done": state["done"],
                      "errors": state["errors"]}), flush=True)


class Workers:
    """Client connections spread over at most MAX_WORKERS processes; start() returns
    once every connection is made and warmed up, go() starts them all at once."""

    def __init__(self, address, ops, seconds, warm_up=3, once=False):
        self.procs = []
        n = min(len(ops), MAX_WORKERS)
        for i in range(n):
            spec = {"address": address, "ops": ops[i::n], "seconds": seconds,
                    "warm_up": warm_up, "once": once}
            self.procs.append(subprocess.Popen(
                [sys.executable, __file__, "--worker", json.dumps(spec)],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True))
        for proc in self.procs:
            ready, _, _ = select.select([proc.stdout], [], [], 60)
            line = proc.stdout.readline() if ready else ""
            if line.strip() != "READY":
                raise RuntimeError(f"benchmark worker did not start: {line!r}")

    def go(self):
        for proc in self.procs:
            proc.stdin.write("go\n")
            proc.stdin.flush()

    def results(self):
        merged = {"latencies": {}, "done": 0, "errors": 0}
        for proc in self.procs:
            out, _ = proc.communicate(timeout=120)
            got = json.loads(out.strip().splitlines()[-1])
            for op, values in got["latencies"].items():
                merged["latencies"].setdefault(op, []).extend(values)
            merged["done"] += got["done"]
            merged["errors"] += got["errors"]
        return merged


# --- measurements ----------------------------------------------------------------------

def median_ms(conn, op, calls, warm_up=WARM_UP):
    for _ in range(warm_up):
        call_sync(conn, op)
    times = []
    for _ in range(calls):
        start = time.perf_counter()
        call_sync(conn, op)
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1000


def p99(values):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(len(ordered) * 0.99))]


def vm_rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError(f"no VmRSS for pid {pid}")


def single_client(sb, calls, at_calls):
    conn = connect(sb.bus_address)
    return {op: median_ms(conn, op, n)
            for op, n in (("forward", calls), ("at", at_calls), ("port", at_calls),
                          ("getVersion", calls), ("ping", calls))}


def beside_a_silent_call(sb, modem, seconds, silent=True):
    """The 15 clients' latencies (and the waiting call's, when there is one)."""
    others = Workers(sb.bus_address, ["port"] * 8 + ["forward"] * 7, seconds)
    if not silent:
        others.go()
        return others.results(), None
    waiter = Workers(sb.bus_address, ["silent"], seconds, warm_up=0, once=True)
    waiter.go()
    # The waiting call has reached the modem before the others start.
    if SILENT_COMMAND.encode() not in modem.wait_received(SILENT_COMMAND.encode()):
        raise RuntimeError("the silent AT command never reached the modem")
    others.go()
    got = others.results()
    waited = waiter.results()["latencies"]["silent"]
    return got, waited


def throughput(sb, clients, seconds):
    workers = Workers(sb.bus_address, ["forward"] * clients, seconds)
    workers.go()
    got = workers.results()
    return got["done"] / seconds, got["errors"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=1000, help="calls of each kind in (a)")
    parser.add_argument("--at-calls", type=int, default=300,
                        help="AT queries and 0x2001 calls in (a)")
    parser.add_argument("--seconds", type=float, default=3.0,
                        help="length of each throughput run in (c)")
    parser.add_argument("--build", default=os.environ.get("QUIL_BUILD_DIR",
                                                          str(REPO / "build")))
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(json.loads(args.worker))
        return

    from dbus_ready import wait_exported
    from harness import Sandbox
    import at_modem

    scenario = json.loads(json.dumps(at_modem.DEFAULT_SCENARIO))
    scenario["commands"][SILENT_COMMAND] = {"silent": True}
    with Sandbox(pathlib.Path(args.build).resolve()) as sb:
        sb.set_lsusb(["3f1e:0a12 Quillon KT300-WW-00"])
        modem = at_modem.AtModem(sb.root, scenario)
        try:
            sb.link_dev("ttyUSB1", modem.slave)
            sb.start_bus()  # with the allow-all polkit stand-in
            # Level 6: no Debug lines, as the daemons run by default.
            mbim = sb.start_mbim_helper("-l", "6")
            dbus = sb.start_dbus_helper("-l", "6")
            client = sb.dbus_client()
            wait_exported(client)

            single = single_client(sb, args.calls, args.at_calls)
            alone, _ = beside_a_silent_call(sb, modem, 3.0, silent=False)
            beside, waited = beside_a_silent_call(sb, modem, 6.0)
            rates = {n: throughput(sb, n, args.seconds) for n in (1, 4, 16, 64)}
            rss = {name: vm_rss_kib(daemon.pid)
                   for name, daemon in (("quil-helper-dbus", dbus), ("quil-helper-mbim", mbim))}
            out = sb.run(["/usr/bin/python3", "-c", PIPELINE_TIMER, "100"], timeout=600)
            lsusb_ms, find_ms = (float(v) for v in out.stdout.split())
        finally:
            modem.stop()

    floor = single["getVersion"]
    print(f"(a) one client, medians ({args.calls} calls each, {args.at_calls} of 0x1002 "
          "and 0x2001)")
    print(f"    sendMesg forwarded, unknown cid:  {single['forward']:.3f} ms  "
          f"({single['forward'] / floor:.2f} x getVersion)")
    print(f"    sendMesg 0x1002 (AT+CGMR):        {single['at']:.3f} ms  "
          f"({single['at'] / floor:.2f} x getVersion)")
    print(f"    sendMesg 0x2001 (served here):    {single['port']:.3f} ms  "
          f"({single['port'] / floor:.2f} x getVersion)")
    print(f"    getVersion (UnknownMethod):       {floor:.3f} ms")
    print(f"    Peer.Ping:                        {single['ping']:.3f} ms  "
          f"({single['ping'] / floor:.2f} x getVersion)")
    print("(b) 16 clients: 1 waiting on a never answered AT command, 8 asking 0x2001, "
          "7 forwarding")
    print(f"    the waiting call:                 {waited[0]:.3f} s")
    for title, got in (("beside it (6 s)", beside), ("the same 15 without it (3 s)", alone)):
        print(f"    {title}:")
        for op, label in (("port", "0x2001"), ("forward", "forwarded")):
            values = got["latencies"][op]
            print(f"      {label:10} {len(values):6} calls: median "
                  f"{statistics.median(values) * 1000:.3f} ms, p99 {p99(values) * 1000:.3f} ms,"
                  f" max {max(values) * 1000:.3f} ms")
    print(f"(c) forwarded calls per second ({args.seconds:.0f} s each)")
    for n, (rate, errors) in rates.items():
        failed = f"  ({errors} failed)" if errors else ""
        print(f"    {n:2} clients: {rate:8.0f} calls/s{failed}")
    print("(d) AT request pipelines (medians of 100 runs) and memory")
    print(f"    lsusb | grep 3f1e:0a12: {lsusb_ms:.3f} ms, find /dev -name ttyUSB1*: "
          f"{find_ms:.3f} ms")
    for name, kib in rss.items():
        print(f"    VmRSS {name}: {kib} KiB")
    if beside["errors"] or alone["errors"]:
        print(f"    ({beside['errors'] + alone['errors']} failed calls in (b))")


if __name__ == "__main__":
    main()
