# SPDX-License-Identifier: GPL-2.0-or-later
"""Client of a sandbox's System V queues, through the queue agent co-process."""

import builtins
import json
import struct
import subprocess
import threading
from dataclasses import dataclass
from pathlib import Path

BODY_SIZE = 2040
HEADER = struct.Struct("=iiii")  # serviceid, cid, rtcode, len in host byte order
MAX_PAYLOAD = BODY_SIZE - HEADER.size - 1  # 2023
HELPER_MSG_NORMAL = 1
HELPER_MSG_CONTROL = 2

_AGENT = Path(__file__).with_name("queue_agent.py")


class QueueError(RuntimeError):
    pass


@dataclass(frozen=True)
class Message:
    mtype: int
    serviceid: int
    cid: int
    rtcode: int
    len: int
    payload: bytes  # min(len, room in the body) bytes after offset 16
    body: bytes  # the whole body as received

    @classmethod
    def from_body(cls, mtype, body):
        head = body[:HEADER.size].ljust(HEADER.size, b"\0")
        serviceid, cid, rtcode, length = HEADER.unpack(head)
        room = max(0, len(body) - HEADER.size)
        payload = body[HEADER.size:HEADER.size + max(0, min(length, room))]
        return cls(mtype, serviceid, cid, rtcode, length, payload, body)

    @property
    def text(self):
        return self.payload.decode("utf-8", "replace")

    def __repr__(self):
        return (f"Message(mtype={self.mtype}, serviceid={self.serviceid}, cid=0x{self.cid:04x}, "
                f"rtcode={self.rtcode}, len={self.len}, payload={self.payload!r})")


def build_body(serviceid, cid, rtcode=0, payload=b"", len=None):
    """A 2040-byte body holding one record; len defaults to the payload's length."""
    if isinstance(payload, str):
        payload = payload.encode()
    if HEADER.size + builtins.len(payload) > BODY_SIZE:
        raise ValueError("payload does not fit a body")
    length = builtins.len(payload) if len is None else len
    return (HEADER.pack(serviceid, cid, rtcode, length) + payload).ljust(BODY_SIZE, b"\0")


class QueueClient:
    """sb.queues: queue i has the key ftok(workdir, i) inside the sandbox."""

    def __init__(self, prefix, workdir):
        self._prefix = list(prefix)
        self._workdir = str(workdir)
        self._proc = None
        self._lock = threading.Lock()

    def _start(self):
        self._proc = subprocess.Popen(
            self._prefix + ["/usr/bin/python3", str(_AGENT), self._workdir],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1,
            start_new_session=True)
        hello = self._proc.stdout.readline()
        if not hello:
            raise QueueError("queue agent did not start")

    def _call(self, op, **fields):
        with self._lock:
            if self._proc is None:
                self._start()
            self._proc.stdin.write(json.dumps({"op": op, **fields}) + "\n")
            self._proc.stdin.flush()
            line = self._proc.stdout.readline()
        if not line:
            raise QueueError("queue agent ended")
        answer = json.loads(line)
        if not answer["ok"]:
            raise QueueError(f"{op} {fields.get('i')}: {answer['error']}")
        return answer.get("value")

    def close(self):
        with self._lock:
            if self._proc is None:
                return
            try:
                self._proc.stdin.close()
            except OSError:
                pass
            try:
                self._proc.wait(timeout=2)
            except subprocess.TimeoutExpired:
                self._proc.kill()
                self._proc.wait()
            self._proc.stdout.close()
            self._proc = None

    # --- queue operations ------------------------------------------------------

    def exists(self, i):
        return self._call("exists", i=i)

    def create(self, i, mode=0o600):
        """Creates queue i as root with `mode` (the daemons' own mode by default)."""
        self._call("create", i=i, mode=mode)

    def stat(self, i):
        """{"id", "mode", "uid", "cuid"} of queue i; None when it does not exist."""
        return self._call("stat", i=i)

    def remove(self, i):
        """Removes queue i; False when it did not exist."""
        return self._call("remove", i=i)

    def count(self, i):
        """Messages waiting on queue i; -1 when it does not exist."""
        return self._call("count", i=i)

    def wait_exists(self, i, timeout=5.0):
        return self._call("wait_exists", i=i, timeout=timeout)

    def send(self, i, mtype, serviceid=0, cid=0, rtcode=0, payload=b"", len=None, raw_body=None,
             timeout=5.0):
        """Puts one message on queue i. raw_body, when given, is sent as it stands (a
        shorter one is zero-filled to 2040 bytes). Waits up to timeout while the
        queue is full; a missing queue raises QueueError."""
        if raw_body is not None:
            body = bytes(raw_body)
            if builtins.len(body) < BODY_SIZE:
                body = body.ljust(BODY_SIZE, b"\0")
        else:
            body = build_body(serviceid, cid, rtcode, payload, len)
        self._call("send", i=i, mtype=mtype, body=body.hex(), timeout=timeout)

    def send_request(self, serviceid, cid, rtcode=0, payload=b"", len=None):
        """A request (type 1) on queue 0."""
        self.send(0, HELPER_MSG_NORMAL, serviceid, cid, rtcode, payload, len)

    def send_control(self, i, cid, payload=b""):
        """A control message (type 2, serviceid 0, rtcode 0) on queue i."""
        self.send(i, HELPER_MSG_CONTROL, 0, cid, 0, payload)

    def receive(self, i, mtype, timeout=5.0):
        """The oldest message of type mtype (0 = any) on queue i, waiting up to timeout;
        None when none came. A missing queue counts as an empty one."""
        got = self._call("receive", i=i, mtype=mtype, timeout=timeout)
        if got is None:
            return None
        return Message.from_body(got["mtype"], bytes.fromhex(got["body"]))

    def drain(self, i, mtype=0):
        """Takes every message of the type now waiting on queue i."""
        out = []
        while True:
            msg = self.receive(i, mtype, timeout=0)
            if msg is None:
                return out
            out.append(msg)
