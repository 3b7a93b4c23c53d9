# SPDX-License-Identifier: GPL-2.0-or-later
"""The simulated MBIM modem (tests/sim/mbim_modem.py) for integration tests: started
on the host, its pty linked into the sandbox's /dev, driven through its control
socket; and the MBIM helper with its port opened on it."""

import json
import os
import signal
import socket
import struct
import subprocess
import time
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
SIM = REPO / "tests" / "sim" / "mbim_modem.py"
PROXY = "/usr/libexec/mbim-proxy"

NORMAL, CONTROL = 1, 2
# Control cids.
PORT_INIT, PORT_REMOVED, STOP = 0x1, 0x2, 0x3
SUBSCRIBER_QUERY, SIM_STATE, HOME_QUERY, HOME, REG_QUERY, REG = 0x10, 0x11, 0x12, 0x13, 0x14, 0x15

OPENED = r"mbim port init finished! flag:1"


class MbimModem:
    def __init__(self, sb, scenario=None, name="cdc-wdm0", tag="mbim"):
        self.sb = sb
        self.name = name
        self.dir = Path(sb.root) / tag
        self.dir.mkdir(exist_ok=True)
        self.ready_file = self.dir / "ready"
        self.control = self.dir / "control.sock"
        self.record = self.dir / "received.jsonl"
        scenario_file = self.dir / "scenario.json"
        scenario_file.write_text(json.dumps(scenario or {}))
        self.out_path = Path(sb.root) / f"{tag}_modem.out"  # shown in a failed test's report
        self.log = open(self.out_path, "w")
        self.proc = subprocess.Popen(
            ["/usr/bin/python3", str(SIM), "--ready-file", str(self.ready_file),
             "--scenario", str(scenario_file), "--control", str(self.control),
             "--record", str(self.record)],
            stdout=self.log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 10
        while not self.ready_file.exists():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise AssertionError("MBIM simulator did not start: "
                                     + self.out_path.read_text())
            time.sleep(0.02)
        self.slave = self.ready_file.read_text().strip()
        if name:
            sb.link_dev(name, self.slave)

    def command(self, cmd):
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(5)
            s.connect(str(self.control))
            s.sendall((json.dumps(cmd) + "\n").encode())
            f = s.makefile("r")
            return json.loads(f.readline())

    def indicate(self, kind, **fields):
        answer = self.command(dict(indicate=kind, **fields))
        assert answer["ok"], answer
        return answer

    def set(self, **scenario):
        assert self.command({"set": scenario})["ok"]

    def received(self, name=None):
        if not self.record.exists():
            return []
        entries = [json.loads(line) for line in self.record.read_text().splitlines() if line]
        if name is None:
            return entries
        return [e for e in entries if e.get("name") == name]

    def wait_received(self, name, count=1, timeout=10.0):
        deadline = time.monotonic() + timeout
        while True:
            got = self.received(name)
            if len(got) >= count:
                return got
            if time.monotonic() > deadline:
                raise AssertionError(f"simulator got {len(got)} {name} commands, wanted {count}")
            time.sleep(0.05)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()


def netns_of(pid):
    try:
        return os.stat(f"/proc/{pid}/ns/net").st_ino
    except OSError:
        return None


def kill_proxies_in(netns):
    """Ends the mbim-proxy that libmbim started inside a sandbox (it outlives its
    clients); found by its network namespace, ended by its pid."""
    if netns is None:
        return
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            if os.readlink(f"/proc/{entry}/exe") != PROXY:
                continue
        except OSError:
            continue
        if netns_of(entry) == netns:
            try:
                os.kill(int(entry), signal.SIGKILL)
            except ProcessLookupError:
                pass


def slot_set_requests(modem):
    """The slot indexes of every device slot mappings set the simulator received."""
    out = []
    for entry in modem.received("device_slot_mappings"):
        if entry["command_type"] != "set":
            continue
        data = bytes.fromhex(entry["data"])
        (count,) = struct.unpack_from("<I", data, 0)
        slots = []
        for i in range(count):
            offset, _ = struct.unpack_from("<II", data, 4 + 8 * i)
            slots.append(struct.unpack_from("<I", data, offset)[0])
        out.append(slots)
    return out


class Helper:
    """The MBIM helper in a sandbox, driven through the queues as the D-Bus helper
    would drive it."""

    def __init__(self, sb):
        self.sb = sb
        self.daemon = sb.start_mbim_helper()
        self.netns = netns_of(self.daemon.pid)
        sb.log.wait_for(r"ready to get control message!", timeout=10)
        sb.log.wait_for(r"Enter to loop: get request and deal!", timeout=10)

    def control(self, cid, payload=b""):
        self.sb.queues.send(0, CONTROL, 0, cid, payload=payload)

    def open_port(self, prefix=b"cdc-wdm", timeout=15):
        mark = self.sb.log.mark()
        self.control(PORT_INIT, prefix)
        self.sb.log.wait_for(OPENED, timeout=timeout, start=mark)

    def request(self, cid, payload=b"", serviceid=1, timeout=12):
        self.sb.queues.send(0, NORMAL, serviceid, cid, payload=payload)
        msg = self.sb.queues.receive(1, NORMAL, timeout=timeout)
        assert msg is not None, f"no response to cid 0x{cid:04x}"
        assert (msg.serviceid, msg.cid) == (serviceid, cid)
        return msg

    def next_control(self, timeout=10):
        return self.sb.queues.receive(1, CONTROL, timeout=timeout)

    def controls(self, settle_regex, start=0, timeout=10):
        """Control messages on queue 1 once the log shows settle_regex."""
        self.sb.log.wait_for(settle_regex, timeout=timeout, start=start)
        return [(m.cid, m.payload) for m in self.sb.queues.drain(1, CONTROL)]


@pytest.fixture
def mbim_modem(sandbox):
    """Factory: mbim_modem(scenario) starts a simulator linked as /dev/cdc-wdm0."""
    started = []

    def start(scenario=None, **kw):
        modem = MbimModem(sandbox, scenario, **kw)
        started.append(modem)
        return modem

    yield start
    for modem in started:
        modem.stop()


@pytest.fixture
def mbim_helper(sandbox):
    helpers = []

    def start():
        helper = Helper(sandbox)
        helpers.append(helper)
        return helper

    yield start
    for helper in helpers:
        helper.daemon.stop()
        kill_proxies_in(helper.netns)
    for helper in helpers:
        # A sanitizer build reports memory and undefined-behaviour faults here.
        out = helper.daemon.output()
        assert "ERROR: AddressSanitizer" not in out and "runtime error:" not in out, out
