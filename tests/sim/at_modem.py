#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""A simulated modem AT command port.

Opens a pty pair, puts it in raw mode and answers AT commands on the master side,
so that the slave (linked into a sandbox as e.g. /dev/ttyUSB1 or /dev/wwan0at0)
looks like the module's AT port.

    at_modem.py --ready-file F [--scenario S.json] [--record R] [--verbose]

--ready-file  written (atomically) with the slave path once the port serves
--scenario    JSON file with the answers (below); without it a default table with
              firmware versions, IMEI and SAR state answers the usual commands
--record      every byte received is appended to this file, exactly as received
--verbose     log commands and answers to standard error

Runs until it is killed (SIGTERM, SIGINT).

A command is a line received up to CR or LF (blank lines are ignored). It is looked
up in "commands": first by its exact text, then through the keys that hold a '*'
(shell-style patterns, in file order); unmatched commands get "default".

Scenario keys:
  "echo":     default for answers without their own "echo" (default true)
  "commands": {"<command or pattern>": answer, ...}
  "default":  answer for any other command (default {"final": "ERROR"})

Answer keys (all optional):
  "echo":      send the command line back first, followed by CR
  "lines":     answer lines, each sent as CR LF <line> CR LF
  "flood":     number of filler bytes sent after the lines ("flood_byte", default "x")
  "final":     final result code, sent as CR LF <final> CR LF (default "OK");
               null sends none
  "raw":       the exact answer text instead of echo/lines/flood/final (latin-1;
               "\\r", "\\n" as JSON escapes)
  "delay":     seconds before the first byte (default 0)
  "chunks":    split the answer into this many writes of about equal size, or
  "split_at":  split it at these byte offsets
  "gap":       seconds between those writes (default 0.05)
  "silent":    true: never answer
  "sequence":  list of answers used by successive receptions of the command; the
               last one sticks
A new command drops whatever is still queued for an earlier one, as a modem that
aborts its answer would.
"""

import argparse
import fnmatch
import json
import os
import select
import signal
import sys
import time
import tty

DEFAULT_SCENARIO = {
    "echo": True,
    "commands": {
        "AT": {},
        "AT+CFUN=15": {},
        "AT+GTSAPFWVER?": {"lines": ['+GTSAPFWVER: "81600.0000.00.29.01.02"']},
        "AT+CGMR": {"lines": ["KT300.1.2.3.4_20261201"]},
        "AT+GTCUSTPACKVER?": {"lines": ['+GTCUSTPACKVER: "C1.0.5"']},
        "AT+GTCFGELEMVER?": {"lines": ['+GTCFGELEMVER: "E2.1.0"']},
        "AT+GTDEVPACKVER?": {"lines": ['+GTDEVPACKVER: "D3.0.1"']},
        "AT+CGSN": {"lines": ["861234560123456"]},
        "AT+GTOEMUSBID?": {"lines": ["+GTOEMUSBID: 3f1e,0a12"]},
        "AT+BODYSAREN?": {"lines": ["+BODYSAREN: 1"]},
        "AT+BODYSARMODE?": {"lines": ["+BODYSARMODE: 0"]},
        "AT+BODYSARVER?": {"lines": ["+BODYSARVER: V1.2"]},
        "AT+GTANTTUNINGEN?": {"lines": ["+GTANTTUNINGEN: 1"]},
        "AT+GTANTCTRLMODE?": {"lines": ["+GTANTCTRLMODE: 0"]},
        "AT+GTANTTUNEMODE?": {"lines": ["+GTANTTUNEMODE: 2"]},
        "AT+GTANTVER?": {"lines": ["+GTANTVER: A1"]},
        "AT+GTFMODE?": {"lines": ["+GTFMODE: 0"]},
        "AT+GTGPSPOWER?": {"lines": ["+GTGPSPOWER: 1"]},
        "AT+GTESIMCFG?": {"lines": ["+GTESIMCFG: 1,0"]},
        "ATI7": {"lines": ["Quillon", "KT300-WW-00", "Revision: KT300.1.2.3.4"]},
        "at+syscmd=*": {"final": None},
        "AT+*=*": {},
    },
    "default": {"final": "ERROR"},
}


def log(verbose, *args):
    if verbose:
        print("at_modem:", *args, file=sys.stderr, flush=True)


class Scenario:
    def __init__(self, table):
        self.echo = table.get("echo", True)
        self.commands = table.get("commands", {})
        self.default = table.get("default", {"final": "ERROR"})
        self.seen = {}

    def lookup(self, command):
        key = None
        if command in self.commands:
            key = command
        else:
            for pattern in self.commands:
                if "*" in pattern and fnmatch.fnmatchcase(command, pattern):
                    key = pattern
                    break
        answer = self.commands[key] if key is not None else self.default
        if "sequence" in answer:
            steps = answer["sequence"]
            count = self.seen.get(key, 0)
            self.seen[key] = count + 1
            answer = steps[min(count, len(steps) - 1)] if steps else {}
        return answer

    def render(self, command, answer):
        """The answer's bytes and the writes they go out in: [(delay, bytes), ...]."""
        if answer.get("silent"):
            return []
        if "raw" in answer:
            data = answer["raw"].encode("latin-1")
        else:
            data = b""
            if answer.get("echo", self.echo):
                data += command.encode("latin-1") + b"\r"
            for line in answer.get("lines", []):
                data += b"\r\n" + line.encode("latin-1") + b"\r\n"
            flood = int(answer.get("flood", 0))
            if flood:
                data += (answer.get("flood_byte", "x").encode("latin-1") * flood)[:flood]
            final = answer.get("final", "OK")
            if final is not None:
                data += b"\r\n" + final.encode("latin-1") + b"\r\n"
        if "split_at" in answer:
            cuts = sorted({int(c) for c in answer["split_at"] if 0 < int(c) < len(data)})
        elif int(answer.get("chunks", 1)) > 1 and data:
            n = min(int(answer["chunks"]), len(data))
            cuts = [len(data) * i // n for i in range(1, n)]
        else:
            cuts = []
        pieces, start = [], 0
        for cut in cuts + [len(data)]:
            pieces.append(data[start:cut])
            start = cut
        delay = float(answer.get("delay", 0))
        gap = float(answer.get("gap", 0.05))
        return [(delay if i == 0 else gap, piece) for i, piece in enumerate(pieces) if piece]


def write_ready_file(path, slave_path):
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        f.write(slave_path + "\n")
    os.replace(tmp, path)


def main():
    parser = argparse.ArgumentParser(description="simulated modem AT port")
    parser.add_argument("--ready-file", required=True)
    parser.add_argument("--scenario")
    parser.add_argument("--record")
    parser.add_argument("--verbose", action="store_true")
    args = parser.parse_args()

    table = DEFAULT_SCENARIO
    if args.scenario:
        with open(args.scenario) as f:
            table = json.load(f)
    scenario = Scenario(table)

    master, slave = os.openpty()
    # Raw from the start; the daemon sets its own attributes on every open. The slave
    # stays open here so that the master never sees a hang-up between exchanges.
    tty.setraw(slave)
    os.set_blocking(master, False)
    slave_path = os.ttyname(slave)
    record = open(args.record, "ab", buffering=0) if args.record else None

    def stop(signum, frame):
        raise SystemExit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    write_ready_file(args.ready_file, slave_path)
    log(args.verbose, "serving", slave_path)

    line = b""
    pending = []  # [(due time, bytes)], in order
    while True:
        now = time.monotonic()
        timeout = None
        if pending:
            timeout = max(0.0, pending[0][0] - now)
        want_write = [master] if pending and pending[0][0] <= now else []
        readable, writable, _ = select.select([master], want_write, [], timeout)
        if readable:
            try:
                data = os.read(master, 4096)
            except BlockingIOError:
                data = b""
            except OSError:
                time.sleep(0.01)  # no slave side open at the moment
                data = b""
            if data:
                if record:
                    record.write(data)
                line += data
                while True:
                    ends = [i for i in (line.find(b"\r"), line.find(b"\n")) if i >= 0]
                    if not ends:
                        break
                    end = min(ends)
                    command = line[:end].decode("latin-1").strip()
                    line = line[end + 1:]
                    if not command:
                        continue
                    answer = scenario.lookup(command)
                    writes = scenario.render(command, answer)
                    log(args.verbose, "command", repr(command), "->", writes)
                    pending = []
                    due = time.monotonic()
                    for delay, piece in writes:
                        due += delay
                        pending.append((due, piece))
        if writable and pending:
            due, piece = pending[0]
            try:
                n = os.write(master, piece)
            except BlockingIOError:
                n = 0
            if n == len(piece):
                pending.pop(0)
            elif n > 0:
                pending[0] = (due, piece[n:])
            else:
                # Nobody reads: retry shortly rather than spin.
                pending[0] = (time.monotonic() + 0.02, piece)


class AtModem:
    """Runs this simulator as a child process, for tests and scripts.

        modem = AtModem(workdir, scenario=None)   # scenario: dict, or None for the default
        modem.slave      # the pty slave path to link into a sandbox's /dev
        modem.received() # bytes received so far
        modem.stop()
    """

    def __init__(self, directory, scenario=None, name="at_modem", timeout=10.0):
        import pathlib
        import subprocess

        directory = pathlib.Path(directory)
        self.ready_file = directory / f"{name}.ready"
        self.record_file = directory / f"{name}.record"
        self.log_file = directory / f"{name}.log"
        for path in (self.ready_file, self.record_file):
            if path.exists():
                path.unlink()
        self.record_file.touch()
        argv = [sys.executable, os.path.abspath(__file__), "--ready-file", str(self.ready_file),
                "--record", str(self.record_file), "--verbose"]
        if scenario is not None:
            scenario_file = directory / f"{name}.json"
            scenario_file.write_text(json.dumps(scenario))
            argv += ["--scenario", str(scenario_file)]
        with open(self.log_file, "ab") as log_out:
            self.proc = subprocess.Popen(argv, stdout=log_out, stderr=log_out)
        # The ready file appears atomically once the port serves.
        deadline = time.monotonic() + timeout
        while not self.ready_file.exists():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("at_modem did not start: " + self.log_file.read_text())
            time.sleep(0.01)
        self.slave = self.ready_file.read_text().strip()

    def received(self):
        return self.record_file.read_bytes()

    def wait_received(self, data, timeout=10.0):
        """Waits until the bytes received hold `data`; returns all bytes received."""
        deadline = time.monotonic() + timeout
        while True:
            got = self.received()
            if data in got or time.monotonic() > deadline:
                return got
            time.sleep(0.02)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except Exception:
                self.proc.kill()
                self.proc.wait()


if __name__ == "__main__":
    main()
