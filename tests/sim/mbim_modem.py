#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""A simulated MBIM modem control port.

Opens a pty pair, puts it in raw mode and speaks MBIM 1.0 as a device on the
master side, so that the slave (linked into a sandbox as e.g. /dev/cdc-wdm0)
looks like the module's MBIM control device to libmbim and mbim-proxy.

    mbim_modem.py --ready-file F [--scenario S.json] [--control SOCK] [--record R.jsonl]

--ready-file   written (atomically) with the slave path once the device serves
--scenario     JSON file with the device's behaviour (keys below)
--control      UNIX stream socket taking one JSON command per line, answering one
               JSON line per command
--record       every message received is appended as a JSON line

Scenario keys (all optional):
  "ready_states":   list of subscriber ready states answered to successive
                    subscriber ready status queries; the last one sticks (default [1])
  "subscriber_id", "sim_iccid": texts of the subscriber ready status
  "home_provider":  provider id of the home provider (default "46001")
  "home_provider_name": its name
  "home_provider_errors": number of home provider queries answered with
                    status FAILURE before it is answered (-1: always)
  "register_state": MBIM register state value (default 3, home)
  "register_provider": provider id of the registered network; "" for none
                    (default "46001")
  "register_provider_name"
  "slot_mappings":  list of slot indexes reported by device slot mappings (default [0]);
                    a set stores the slots it asks for, unless
  "slot_set_result": list of slots answered to a set instead
  "errors":         {"<command>": status} answers the command with that MBIM status
  "silent":         ["<command>", ...] commands never answered
  "delays":         {"<command>" or "open": seconds} answers that command late
  "fragment_size":  largest message the device sends (default: what OPEN asked for)
  "open_status":    status of OPEN_DONE (default 0)
Command names: device_caps, subscriber_ready, radio_state, home_provider,
register_state, device_services, subscribe_list, device_slot_mappings,
slot_info_status, sys_caps, ms_device_caps, version; any other command is
answered with status NO_DEVICE_SUPPORT.

Control commands:
  {"indicate": "subscriber_ready", "ready_state": 1}
  {"indicate": "register_state", "provider_id": "310260", "register_state": 3}
  {"indicate": "slot_info_status", "slot": 0, "state": 5}
  {"indicate": "raw", "service": "<uuid>", "cid": N, "data": "<hex>"}
  {"set": {<scenario keys>}}      changes the scenario on the fly
  {"received": true}              answers {"ok": true, "received": [...]}
  {"state": true}                 answers {"ok": true, "opened": bool, "max_transfer": N}
Answers are {"ok": true} or {"ok": false, "error": "..."}; an indication while the
device is not open is refused.
"""

import argparse
import json
import os
import selectors
import signal
import socket
import struct
import sys
import time
import tty

# Message types.
OPEN = 0x00000001
CLOSE = 0x00000002
COMMAND = 0x00000003
HOST_ERROR = 0x00000004
OPEN_DONE = 0x80000001
CLOSE_DONE = 0x80000002
COMMAND_DONE = 0x80000003
FUNCTION_ERROR = 0x80000004
INDICATE_STATUS = 0x80000007

# Status codes.
STATUS_SUCCESS = 0
STATUS_FAILURE = 2
STATUS_NO_DEVICE_SUPPORT = 9

# Protocol error codes (FUNCTION_ERROR).
PROTOCOL_ERROR_NOT_OPENED = 5
PROTOCOL_ERROR_UNKNOWN = 6

UUID_BASIC_CONNECT = bytes.fromhex("a289cc33bcbb8b4fb6b0133ec2aae6df")
UUID_MS_BASIC_CONNECT_EXT = bytes.fromhex("3d01dcc5fef54d050d3abef7058e9aaf")
UUID_PROXY_CONTROL = bytes.fromhex("838cf7fb8d0d4d7f871ed71dbefbb39b")

SERVICE_NAMES = {
    UUID_BASIC_CONNECT: "basic-connect",
    UUID_MS_BASIC_CONNECT_EXT: "ms-basic-connect-extensions",
    UUID_PROXY_CONTROL: "proxy-control",
}

COMMAND_NAMES = {
    (UUID_BASIC_CONNECT, 1): "device_caps",
    (UUID_BASIC_CONNECT, 2): "subscriber_ready",
    (UUID_BASIC_CONNECT, 3): "radio_state",
    (UUID_BASIC_CONNECT, 6): "home_provider",
    (UUID_BASIC_CONNECT, 9): "register_state",
    (UUID_BASIC_CONNECT, 16): "device_services",
    (UUID_BASIC_CONNECT, 19): "subscribe_list",
    (UUID_MS_BASIC_CONNECT_EXT, 5): "sys_caps",
    (UUID_MS_BASIC_CONNECT_EXT, 6): "ms_device_caps",
    (UUID_MS_BASIC_CONNECT_EXT, 7): "device_slot_mappings",
    (UUID_MS_BASIC_CONNECT_EXT, 8): "slot_info_status",
    (UUID_MS_BASIC_CONNECT_EXT, 15): "version",
}

DEFAULT_SCENARIO = {
    "ready_states": [1],
    "subscriber_id": "460011234567890",
    "sim_iccid": "89860112345678901234",
    "home_provider": "46001",
    "home_provider_name": "Sim Home",
    "home_provider_errors": 0,
    "register_state": 3,
    "register_provider": "46001",
    "register_provider_name": "Sim Home",
    "slot_mappings": [0],
    "slot_set_result": None,
    "errors": {},
    "silent": [],
    "delays": {},
    "fragment_size": None,
    "open_status": 0,
}


# ---- information buffer encoding -------------------------------------------------


class InfoBuffer:
    """Builds an MBIM information buffer: a fixed part of u32 fields and offset/size
    references, followed by a variable part (4-byte aligned), offsets counted from
    the start of the buffer."""

    def __init__(self):
        self.fixed = []  # items: ("u32", value) or ("ref", bytes)

    def u32(self, value):
        self.fixed.append(("u32", value & 0xFFFFFFFF))
        return self

    def string(self, text):
        self.fixed.append(("ref", text.encode("utf-16-le") if text else b""))
        return self

    def ref(self, data):
        self.fixed.append(("ref", data))
        return self

    def build(self):
        fixed_size = sum(4 if kind == "u32" else 8 for kind, _ in self.fixed)
        head = b""
        tail = b""
        for kind, value in self.fixed:
            if kind == "u32":
                head += struct.pack("<I", value)
                continue
            if not value:
                head += struct.pack("<II", 0, 0)
                continue
            offset = fixed_size + len(tail)
            head += struct.pack("<II", offset, len(value))
            tail += value + b"\0" * (-len(value) % 4)
        return head + tail


def encode_subscriber_ready(sc, ready_state):
    buf = InfoBuffer().u32(ready_state)
    buf.string(sc.get("subscriber_id", "") if ready_state == 1 else "")
    buf.string(sc.get("sim_iccid", "") if ready_state in (0, 1, 6) else "")
    buf.u32(0)  # ready info
    buf.u32(0)  # telephone numbers count
    return buf.build()


def encode_provider(provider_id, name, state=1):
    return (InfoBuffer().string(provider_id).u32(state).string(name)
            .u32(1).u32(99).u32(99).build())  # cellular class GSM, rssi, error rate unknown


def encode_register_state(sc, register_state=None, provider_id=None, name=None):
    if register_state is None:
        register_state = sc.get("register_state", 3)
    if provider_id is None:
        provider_id = sc.get("register_provider", "")
    if name is None:
        name = sc.get("register_provider_name", "") if provider_id else ""
    buf = InfoBuffer()
    buf.u32(0)  # nw error
    buf.u32(register_state)
    buf.u32(1)  # register mode automatic
    buf.u32(0x20 if provider_id else 0)  # available data classes: LTE
    buf.u32(1)  # current cellular class GSM
    buf.string(provider_id)
    buf.string(name)
    buf.string("")  # roaming text
    buf.u32(0)  # registration flag
    return buf.build()


def encode_slot_mappings(slots):
    count = len(slots)
    fixed = 4 + 8 * count
    head = struct.pack("<I", count)
    tail = b""
    for slot in slots:
        head += struct.pack("<II", fixed + len(tail), 4)
        tail += struct.pack("<I", slot)
    return head + tail


def decode_slot_mappings(data):
    if len(data) < 4:
        return None
    (count,) = struct.unpack_from("<I", data, 0)
    slots = []
    for i in range(count):
        if 4 + 8 * i + 8 > len(data):
            return None
        offset, size = struct.unpack_from("<II", data, 4 + 8 * i)
        if size < 4 or offset + 4 > len(data):
            return None
        slots.append(struct.unpack_from("<I", data, offset)[0])
    return slots


def encode_device_caps():
    buf = InfoBuffer()
    buf.u32(1)  # device type embedded
    buf.u32(1)  # cellular class GSM
    buf.u32(1)  # voice class none
    buf.u32(2)  # SIM class removable
    buf.u32(0x20)  # data class LTE
    buf.u32(0x3)  # SMS caps
    buf.u32(0x1)  # control caps
    buf.u32(1)  # max sessions
    buf.string("")  # custom data class
    buf.string("860000000000001")  # device id
    buf.string("SIMFW 1.0")  # firmware info
    buf.string("QuilSim")  # hardware info
    return buf.build()


# ---- the device --------------------------------------------------------------------


class Device:
    def __init__(self, scenario, record_path):
        self.sc = dict(DEFAULT_SCENARIO)
        self.sc.update(scenario)
        self.record_path = record_path
        self.received = []
        self.opened = False
        self.max_transfer = 4096
        self.inbuf = b""
        self.outbuf = b""
        self.fragments = {}  # tid -> fragments so far
        self.delayed = []  # (due time, bytes) of answers held back
        self.delay_for = None  # name of the command being answered
        self.ready_index = 0
        self.home_failures = 0

    # -- recording
    def record(self, entry):
        self.received.append(entry)
        if self.record_path:
            with open(self.record_path, "a") as f:
                f.write(json.dumps(entry) + "\n")

    # -- output
    def queue_message(self, mtype, tid, payload, fragmented):
        """payload: bytes after the 12-byte header (and after the fragment header
        for fragmented types)."""
        if not fragmented:
            out = struct.pack("<III", mtype, 12 + len(payload), tid) + payload
        else:
            limit = self.sc.get("fragment_size") or self.max_transfer
            room = max(limit - 20, 4)
            chunks = [payload[i:i + room] for i in range(0, len(payload), room)] or [b""]
            out = b"".join(
                struct.pack("<IIIII", mtype, 20 + len(chunk), tid, len(chunks), index) + chunk
                for index, chunk in enumerate(chunks))
        delay = float(self.sc.get("delays", {}).get(self.delay_for, 0) or 0)
        if delay > 0:
            self.delayed.append((time.monotonic() + delay, out))
        else:
            self.outbuf += out

    def release_delayed(self):
        """Moves answers that are due to the output; returns seconds to the next."""
        now = time.monotonic()
        due = [item for item in self.delayed if item[0] <= now]
        self.delayed = [item for item in self.delayed if item[0] > now]
        for _, out in sorted(due, key=lambda item: item[0]):
            self.outbuf += out
        return min((item[0] - now for item in self.delayed), default=None)

    def command_done(self, tid, uuid, cid, status, data=b""):
        payload = uuid + struct.pack("<III", cid, status, len(data)) + data
        self.queue_message(COMMAND_DONE, tid, payload, True)

    def indicate(self, uuid, cid, data):
        payload = uuid + struct.pack("<II", cid, len(data)) + data
        self.queue_message(INDICATE_STATUS, 0, payload, True)

    def function_error(self, tid, code):
        self.queue_message(FUNCTION_ERROR, tid, struct.pack("<I", code), False)

    # -- input
    def feed(self, data):
        self.inbuf += data
        while len(self.inbuf) >= 12:
            mtype, length, tid = struct.unpack_from("<III", self.inbuf, 0)
            if length < 12 or length > 65536:
                # Not a message boundary we can trust: drop what we have.
                self.record({"type": "garbage", "data": self.inbuf.hex()})
                self.inbuf = b""
                return
            if len(self.inbuf) < length:
                return
            message = self.inbuf[:length]
            self.inbuf = self.inbuf[length:]
            self.handle(mtype, tid, message)

    def handle(self, mtype, tid, message):
        if mtype == OPEN:
            (max_transfer,) = struct.unpack_from("<I", message, 12) if len(message) >= 16 else (4096,)
            self.record({"type": "open", "tid": tid, "max_transfer": max_transfer})
            self.delay_for = "open"
            self.max_transfer = max(64, max_transfer)
            status = self.sc.get("open_status", 0)
            self.opened = status == 0
            if "open" in self.sc.get("silent", []):
                return
            self.queue_message(OPEN_DONE, tid, struct.pack("<I", status), False)
        elif mtype == CLOSE:
            self.record({"type": "close", "tid": tid})
            self.delay_for = None
            self.opened = False
            self.queue_message(CLOSE_DONE, tid, struct.pack("<I", 0), False)
        elif mtype == COMMAND:
            if len(message) < 20:
                self.function_error(tid, PROTOCOL_ERROR_UNKNOWN)
                return
            total, current = struct.unpack_from("<II", message, 12)
            if total > 1:
                parts = self.fragments.setdefault(tid, [])
                parts.append(message[20:])
                if current + 1 < total:
                    return
                body = b"".join(self.fragments.pop(tid))
            else:
                body = message[20:]
            self.handle_command(tid, body)
        elif mtype == HOST_ERROR:
            self.record({"type": "host_error", "tid": tid, "data": message[12:].hex()})
        else:
            self.record({"type": "unknown", "mtype": mtype, "tid": tid})
            self.function_error(tid, PROTOCOL_ERROR_UNKNOWN)

    def handle_command(self, tid, body):
        if len(body) < 28:
            self.function_error(tid, PROTOCOL_ERROR_UNKNOWN)
            return
        uuid = body[:16]
        cid, command_type, buflen = struct.unpack_from("<III", body, 16)
        data = body[28:28 + buflen]
        name = COMMAND_NAMES.get((uuid, cid), "")
        self.delay_for = name
        self.record({
            "type": "command",
            "tid": tid,
            "service": SERVICE_NAMES.get(uuid, uuid.hex()),
            "cid": cid,
            "name": name,
            "command_type": "set" if command_type == 1 else "query",
            "data": data.hex(),
        })
        if not self.opened:
            self.function_error(tid, PROTOCOL_ERROR_NOT_OPENED)
            return
        if name in self.sc.get("silent", []):
            return
        errors = self.sc.get("errors", {})
        if name in errors:
            self.command_done(tid, uuid, cid, int(errors[name]))
            return
        handler = getattr(self, "cmd_" + name, None) if name else None
        if handler is None:
            self.command_done(tid, uuid, cid, STATUS_NO_DEVICE_SUPPORT)
            return
        status, answer = handler(command_type == 1, data)
        self.command_done(tid, uuid, cid, status, answer)

    # -- commands: each returns (status, information buffer)
    def cmd_device_caps(self, is_set, data):
        if is_set:
            return STATUS_NO_DEVICE_SUPPORT, b""
        return STATUS_SUCCESS, encode_device_caps()

    def cmd_subscriber_ready(self, is_set, data):
        if is_set:
            return STATUS_NO_DEVICE_SUPPORT, b""
        states = self.sc.get("ready_states") or [1]
        state = states[min(self.ready_index, len(states) - 1)]
        self.ready_index += 1
        return STATUS_SUCCESS, encode_subscriber_ready(self.sc, state)

    def cmd_radio_state(self, is_set, data):
        if is_set:
            return STATUS_SUCCESS, struct.pack("<II", 1, 1)
        return STATUS_SUCCESS, struct.pack("<II", 1, 1)

    def cmd_home_provider(self, is_set, data):
        if is_set:
            return STATUS_NO_DEVICE_SUPPORT, b""
        limit = int(self.sc.get("home_provider_errors", 0))
        if limit < 0 or self.home_failures < limit:
            self.home_failures += 1
            return STATUS_FAILURE, b""
        return STATUS_SUCCESS, encode_provider(self.sc.get("home_provider", ""),
                                               self.sc.get("home_provider_name", ""))

    def cmd_register_state(self, is_set, data):
        return STATUS_SUCCESS, encode_register_state(self.sc)

    def cmd_subscribe_list(self, is_set, data):
        # The answer to a set carries the list that was set.
        return STATUS_SUCCESS, data if is_set else struct.pack("<I", 0)

    def cmd_device_slot_mappings(self, is_set, data):
        if is_set:
            slots = decode_slot_mappings(data)
            if slots is None:
                return STATUS_FAILURE, b""
            if self.sc.get("slot_set_result") is not None:
                return STATUS_SUCCESS, encode_slot_mappings(self.sc["slot_set_result"])
            self.sc["slot_mappings"] = slots
        return STATUS_SUCCESS, encode_slot_mappings(self.sc.get("slot_mappings", [0]))

    # -- indications on demand
    def push_indication(self, cmd):
        self.delay_for = None
        if not self.opened:
            raise ValueError("device not open")
        kind = cmd["indicate"]
        if kind == "subscriber_ready":
            self.indicate(UUID_BASIC_CONNECT, 2,
                          encode_subscriber_ready(self.sc, int(cmd.get("ready_state", 1))))
        elif kind == "register_state":
            self.indicate(UUID_BASIC_CONNECT, 9,
                          encode_register_state(self.sc, cmd.get("register_state"),
                                                cmd.get("provider_id", ""),
                                                cmd.get("provider_name")))
        elif kind == "slot_info_status":
            self.indicate(UUID_MS_BASIC_CONNECT_EXT, 8,
                          struct.pack("<II", int(cmd.get("slot", 0)), int(cmd.get("state", 5))))
        elif kind == "raw":
            self.indicate(bytes.fromhex(cmd["service"].replace("-", "")), int(cmd["cid"]),
                          bytes.fromhex(cmd.get("data", "")))
        else:
            raise ValueError("unknown indication " + str(kind))


# ---- main loop -------------------------------------------------------------------


def control_command(dev, line):
    try:
        cmd = json.loads(line)
        if "indicate" in cmd:
            dev.push_indication(cmd)
            return {"ok": True}
        if "set" in cmd:
            dev.sc.update(cmd["set"])
            if "ready_states" in cmd["set"]:
                dev.ready_index = 0
            if "home_provider_errors" in cmd["set"]:
                dev.home_failures = 0
            return {"ok": True}
        if "received" in cmd:
            return {"ok": True, "received": dev.received}
        if "state" in cmd:
            return {"ok": True, "opened": dev.opened, "max_transfer": dev.max_transfer}
        return {"ok": False, "error": "unknown command"}
    except (ValueError, KeyError, TypeError) as exc:
        return {"ok": False, "error": str(exc)}


def main():
    parser = argparse.ArgumentParser(description="simulated MBIM modem on a pty")
    parser.add_argument("--ready-file", required=True)
    parser.add_argument("--scenario")
    parser.add_argument("--control")
    parser.add_argument("--record")
    args = parser.parse_args()

    scenario = {}
    if args.scenario:
        with open(args.scenario) as f:
            scenario = json.load(f)
    dev = Device(scenario, args.record)

    master, slave = os.openpty()
    # Raw on the slave: bytes pass unchanged both ways. The slave stays open here so
    # the master never sees a hang-up while clients come and go.
    tty.setraw(slave)
    os.set_blocking(master, False)
    slave_path = os.ttyname(slave)

    sel = selectors.DefaultSelector()
    sel.register(master, selectors.EVENT_READ, "pty")
    listener = None
    if args.control:
        try:
            os.unlink(args.control)
        except FileNotFoundError:
            pass
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        listener.bind(args.control)
        listener.listen(8)
        listener.setblocking(False)
        sel.register(listener, selectors.EVENT_READ, "listen")
    clients = {}

    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
    signal.signal(signal.SIGINT, lambda *_: stop.append(1))

    tmp = args.ready_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(slave_path + "\n")
    os.rename(tmp, args.ready_file)

    writing = False
    while not stop:
        want_write = bool(dev.outbuf)
        if want_write != writing:
            sel.modify(master, selectors.EVENT_READ | (selectors.EVENT_WRITE if want_write else 0),
                       "pty")
            writing = want_write
        next_due = dev.release_delayed()
        if dev.outbuf and not writing:
            continue
        try:
            events = sel.select(1.0 if next_due is None else min(1.0, next_due))
        except InterruptedError:
            continue
        for key, mask in events:
            if key.data == "pty":
                if mask & selectors.EVENT_READ:
                    try:
                        data = os.read(master, 65536)
                    except (BlockingIOError, InterruptedError):
                        data = None
                    except OSError:
                        data = None
                    if data:
                        dev.feed(data)
                if mask & selectors.EVENT_WRITE and dev.outbuf:
                    try:
                        n = os.write(master, dev.outbuf)
                        dev.outbuf = dev.outbuf[n:]
                    except (BlockingIOError, InterruptedError):
                        pass
            elif key.data == "listen":
                conn, _ = listener.accept()
                conn.setblocking(False)
                clients[conn] = b""
                sel.register(conn, selectors.EVENT_READ, "client")
            else:
                conn = key.fileobj
                try:
                    data = conn.recv(65536)
                except (BlockingIOError, InterruptedError):
                    continue
                except OSError:
                    data = b""
                if not data:
                    sel.unregister(conn)
                    conn.close()
                    clients.pop(conn, None)
                    continue
                clients[conn] += data
                while b"\n" in clients[conn]:
                    line, clients[conn] = clients[conn].split(b"\n", 1)
                    if not line.strip():
                        continue
                    answer = control_command(dev, line.decode("utf-8", "replace"))
                    conn.setblocking(True)
                    conn.sendall((json.dumps(answer) + "\n").encode())
                    conn.setblocking(False)
        # Output produced by a control command goes out at the next turn.
    return 0


if __name__ == "__main__":
    sys.exit(main())
