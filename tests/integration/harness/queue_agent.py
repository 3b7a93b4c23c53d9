# SPDX-License-Identifier: GPL-2.0-or-later
"""Queue agent: a co-process inside a sandbox's IPC namespace.

Reads one JSON request per line on standard input and writes one JSON answer per line
on standard output. Queue i has the key ftok(<workdir>, i), the key the daemons make
from "." in that working directory. Bodies travel hex-encoded.

Requests ("op" and its fields) and answers:
  exists  i                         {"ok": true, "value": bool}
  create  i [mode]                  {"ok": true}            (IPC_CREAT | IPC_EXCL, mode, default 0600)
  stat    i                         {"ok": true, "value": {id, mode, uid, cuid} | null}
  remove  i                         {"ok": true, "value": bool}   false if it did not exist
  count   i                         {"ok": true, "value": int}    -1 if it does not exist
  send    i, mtype, body, timeout   {"ok": true}  waits while the queue is full, up to timeout
  receive i, mtype, timeout         {"ok": true, "value": null | {"mtype", "body"}}
                                    a missing queue counts as an empty one
  wait_exists i, timeout            {"ok": true, "value": bool}
Failures answer {"ok": false, "error": text}.
"""

import json
import sys
import time

import sysv_ipc

POLL = 0.002
MAX_MESSAGE = 65536


class Agent:
    def __init__(self, workdir):
        self.workdir = workdir

    def key(self, i):
        return sysv_ipc.ftok(self.workdir, int(i), silence_warning=True)

    def queue(self, i):
        try:
            return sysv_ipc.MessageQueue(self.key(i), max_message_size=MAX_MESSAGE)
        except sysv_ipc.ExistentialError:
            return None

    def op_exists(self, i):
        return self.queue(i) is not None

    def op_create(self, i, mode=0o600):
        sysv_ipc.MessageQueue(self.key(i), sysv_ipc.IPC_CREX, mode=int(mode))

    def op_stat(self, i):
        q = self.queue(i)
        if q is None:
            return None
        return {"id": q.id, "mode": q.mode, "uid": q.uid, "cuid": q.cuid}

    def op_remove(self, i):
        q = self.queue(i)
        if q is None:
            return False
        q.remove()
        return True

    def op_count(self, i):
        q = self.queue(i)
        return -1 if q is None else q.current_messages

    def op_wait_exists(self, i, timeout):
        deadline = time.monotonic() + timeout
        while True:
            if self.queue(i) is not None:
                return True
            if time.monotonic() >= deadline:
                return False
            time.sleep(POLL)

    def op_send(self, i, mtype, body, timeout=5.0):
        data = bytes.fromhex(body)
        deadline = time.monotonic() + timeout
        while True:
            q = self.queue(i)
            if q is None:
                raise RuntimeError(f"queue {i} does not exist")
            try:
                q.send(data, block=False, type=int(mtype))
                return None
            except sysv_ipc.BusyError:
                if time.monotonic() >= deadline:
                    raise RuntimeError(f"queue {i} stayed full for {timeout} s")
                time.sleep(POLL)

    def op_receive(self, i, mtype, timeout):
        deadline = time.monotonic() + timeout
        while True:
            q = self.queue(i)
            if q is not None:
                try:
                    data, got_type = q.receive(block=False, type=int(mtype))
                    return {"mtype": got_type, "body": data.hex()}
                except (sysv_ipc.BusyError, sysv_ipc.ExistentialError):
                    pass
            if time.monotonic() >= deadline:
                return None
            time.sleep(POLL)


def main():
    agent = Agent(sys.argv[1])
    out = sys.stdout
    out.write(json.dumps({"ok": True, "ready": True}) + "\n")
    out.flush()
    for line in sys.stdin:
        line = line.strip()
        if not line:
            continue
        try:
            req = json.loads(line)
            op = req.pop("op")
            value = getattr(agent, "op_" + op)(**req)
            answer = {"ok": True, "value": value}
        except Exception as exc:  # every failure goes back to the caller
            answer = {"ok": False, "error": f"{type(exc).__name__}: {exc}"}
        out.write(json.dumps(answer) + "\n")
        out.flush()


if __name__ == "__main__":
    main()
