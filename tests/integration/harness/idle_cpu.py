# SPDX-License-Identifier: GPL-2.0-or-later
"""Prints the CPU time quil-helper-mbim uses over an interval while its queues are
removed (its peer is gone). Not a test: a figure for the notes.

    QUIL_BUILD_DIR=... /usr/bin/python3 -m harness.idle_cpu [seconds] [daemon args...]
(run from tests/integration)."""

import os
import sys
import time

from harness import Sandbox


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 10.0
    args = sys.argv[2:]
    hz = os.sysconf("SC_CLK_TCK")
    with Sandbox() as sb:
        daemon = sb.start_mbim_helper(*args)
        sb.queues.remove(0)
        sb.queues.remove(1)
        start_mark = sb.log.mark()
        time.sleep(0.5)  # settle into the retry loop
        t0, c0, m0 = time.monotonic(), daemon.cpu_ticks(), sb.log.mark()
        time.sleep(seconds)
        t1, c1, m1 = time.monotonic(), daemon.cpu_ticks(), sb.log.mark()
        used = (c1 - c0) / hz
        print(f"args={' '.join(args) or '(none)'} interval={t1 - t0:.2f}s "
              f"cpu={used:.3f}s ({100 * used / (t1 - t0):.2f}% of one core) "
              f"log lines={m1 - m0} ({sb.log.count('message queue not existed!', start_mark)} "
              f"'message queue not existed!' since removal)")
        assert daemon.alive()


if __name__ == "__main__":
    main()
