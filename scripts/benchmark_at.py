#!/usr/bin/python3
"""AT channel benchmark.

Measures, in one sandbox and one run:
  - the median round trip of an AT query (cid 0x1002, AT+CGMR) answered at once by
    the simulated modem: request on queue 0 to response on queue 1, and through the
    D-Bus helper (sendMesg) when it is built;
  - the median cost of the shell pipelines every AT request starts: the catalogue
    search up to the fitted row (row 0, "lsusb | grep 3f1e:0a12") and the port
    search ("find /dev -name ttyUSB1*"), run through /bin/sh inside the same sandbox
    as the daemon runs them;
and prints both and their ratio.

    sudo /usr/bin/python3 scripts/benchmark_at.py [--rounds N] [--build DIR]
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

# Runs inside the sandbox: times the daemon's two pipelines through popen, as the
# daemon starts them, and prints their medians in milliseconds.
PIPELINE_TIMER = r"""
import os, statistics, sys, time
rounds = int(sys.argv[1])
def cost(command):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        with os.popen(command) as pipe:
            pipe.read()
        times.append((time.perf_counter() - start) * 1000)
    return statistics.median(times)
print(cost("lsusb | grep 3f1e:0a12"), cost("find /dev -name ttyUSB1*"))
"""


def median_ms(samples):
    return statistics.median(samples) * 1000


def bench_queues(sb, rounds):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        sb.queues.send(0, 1, 1, 0x1002)
        msg = sb.queues.receive(1, 1, timeout=10)
        times.append(time.perf_counter() - start)
        assert msg is not None and msg.rtcode == 0, msg
    return median_ms(times)


def bench_dbus(sb, rounds):
    client = sb.dbus_client()
    times = []
    for _ in range(rounds):
        result = client.send_mesg(1, 0x1002, 0, 0, "")
        assert result.rtcode == 0, result
        times.append(result.elapsed)
    return median_ms(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=50)
    parser.add_argument("--build", default=os.environ.get("QUIL_BUILD_DIR",
                                                          str(REPO / "build")))
    args = parser.parse_args()
    os.environ["QUIL_BUILD_DIR"] = str(pathlib.Path(args.build).resolve())

    import at_modem
    from harness import Sandbox

    sb = Sandbox(pathlib.Path(os.environ["QUIL_BUILD_DIR"]))
    modem = None
    try:
        sb.set_lsusb(["3f1e:0a12 Quillon KT300-WW-00"])
        modem = at_modem.AtModem(sb.root)
        sb.link_dev("ttyUSB1", modem.slave)
        # Production logging: no Debug lines.
        sb.start_mbim_helper("-l6")  # returns once the queues exist
        bench_queues(sb, 3)  # warm-up
        queue_ms = bench_queues(sb, args.rounds)

        dbus_ms = None
        if (pathlib.Path(os.environ["QUIL_BUILD_DIR"]) / "dbus-helper" /
                "quil-helper-dbus").exists():
            sb.start_dbus_helper("-l6")  # returns once it owns its name
            bench_dbus(sb, 3)
            dbus_ms = bench_dbus(sb, args.rounds)

        out = sb.run(["/usr/bin/python3", "-c", PIPELINE_TIMER, str(args.rounds)], timeout=300)
        lsusb_ms, find_ms = (float(v) for v in out.stdout.split())
        shell_ms = lsusb_ms + find_ms

        print(f"AT query 0x1002, {args.rounds} rounds each, medians:")
        print(f"  round trip over the queues      {queue_ms:8.2f} ms")
        if dbus_ms is not None:
            print(f"  round trip through D-Bus        {dbus_ms:8.2f} ms")
        print(f"  lsusb | grep 3f1e:0a12          {lsusb_ms:8.2f} ms")
        print(f"  find /dev -name ttyUSB1*        {find_ms:8.2f} ms")
        print(f"  shell pipelines per request     {shell_ms:8.2f} ms")
        print(f"  ratio queue round trip / shell  {queue_ms / shell_ms:8.2f}")
        if dbus_ms is not None:
            print(f"  ratio D-Bus round trip / shell  {dbus_ms / shell_ms:8.2f}")
    finally:
        if modem is not None:
            modem.stop()
        sb.close()


if __name__ == "__main__":
    main()
