# SPDX-License-Identifier: GPL-2.0-or-later
"""Syslog listener: the datagram socket that is a sandbox's /dev/log."""

import re
import socket
import threading
import time
from dataclasses import dataclass

# "<PRI>Mmm dd hh:mm:ss ident[pid]: message" as glibc's syslog() writes it.
_LINE = re.compile(
    r"^<(?P<pri>\d{1,3})>(?P<time>[A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d) "
    r"(?P<ident>[^\[:\s]*)(?:\[(?P<pid>\d+)\])?: (?P<message>.*)$",
    re.DOTALL,
)


@dataclass(frozen=True)
class LogEntry:
    priority: int  # syslog severity, 0..7
    facility: int  # syslog facility number (LOG_USER is 1)
    time: str
    ident: str
    pid: int | None
    message: str
    raw: str

    @property
    def line(self):
        pid = f"[{self.pid}]" if self.pid is not None else ""
        return f"{self.ident}{pid}: {self.message}"


def parse_line(raw):
    """Parses one datagram; a datagram of another shape is kept whole as its message."""
    text = raw.rstrip("\x00").rstrip("\n")
    m = _LINE.match(text)
    if not m:
        return LogEntry(-1, -1, "", "", None, text, raw)
    pri = int(m.group("pri"))
    pid = m.group("pid")
    return LogEntry(pri & 7, pri >> 3, m.group("time"), m.group("ident"),
                    int(pid) if pid else None, m.group("message"), raw)


_SYNC_IDENT = "harness-sync"


class SyslogListener:
    def __init__(self, path):
        self.path = str(path)
        self._entries = []
        self._cond = threading.Condition()
        self._sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self._sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        self._sock.bind(self.path)
        self._sock.settimeout(0.2)
        self._stopped = False
        self._synced = 0
        self._sync_sent = 0
        self._thread = threading.Thread(target=self._run, name="syslog", daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stopped:
            try:
                data = self._sock.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                break
            entry = parse_line(data.decode("utf-8", "replace"))
            with self._cond:
                if entry.ident == _SYNC_IDENT:
                    self._synced = max(self._synced, entry.pid or 0)
                else:
                    self._entries.append(entry)
                self._cond.notify_all()

    def close(self):
        self._stopped = True
        self._thread.join(timeout=2)
        self._sock.close()

    def sync(self, timeout=5.0):
        """Returns once every line sent to the socket before this call has been read:
        a marker datagram of our own goes through the same socket queue."""
        with self._cond:
            self._sync_sent += 1
            n = self._sync_sent
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as s:
            s.sendto(f"<15>Jan  1 00:00:00 {_SYNC_IDENT}[{n}]: sync".encode(), self.path)
        deadline = time.monotonic() + timeout
        with self._cond:
            while self._synced < n:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError("syslog listener did not catch up")
                self._cond.wait(left)

    # --- reading -------------------------------------------------------------

    def entries(self, ident=None, start=0):
        with self._cond:
            items = self._entries[start:]
        return [e for e in items if ident is None or e.ident == ident]

    def lines(self):
        """Every line so far as "ident[pid]: message"."""
        return [e.line for e in self.entries()]

    def messages(self, ident=None):
        """The message parts, e.g. "[Error]: main:42: text"."""
        return [e.message for e in self.entries(ident)]

    def _caught_up(self):
        # A daemon's line may still sit in the socket when the reply it wrote after it
        # has reached the test already: what was sent before this call is read first.
        if not self._stopped:
            self.sync()

    def mark(self):
        """A position to search from: the number of lines sent so far."""
        self._caught_up()
        with self._cond:
            return len(self._entries)

    def count(self, regex, start=0, ident=None):
        """The lines sent so far (at/after start) whose message matches regex."""
        self._caught_up()
        pattern = re.compile(regex)
        return sum(1 for e in self.entries(ident, start) if pattern.search(e.message))

    def wait_entry(self, regex, timeout=5.0, start=0, ident=None):
        """First entry at/after start whose message matches regex (re.search)."""
        pattern = re.compile(regex)
        deadline = time.monotonic() + timeout
        pos = start
        with self._cond:
            while True:
                while pos < len(self._entries):
                    e = self._entries[pos]
                    pos += 1
                    if (ident is None or e.ident == ident) and pattern.search(e.message):
                        return e
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                self._cond.wait(left)
        raise AssertionError(
            f"no syslog line matching {regex!r} within {timeout} s; last lines:\n"
            + self.tail())

    def wait_for(self, regex, timeout=5.0, start=0, ident=None):
        return self.wait_entry(regex, timeout, start, ident).message

    def tail(self, n=40):
        return "\n".join(self.lines()[-n:])
