# SPDX-License-Identifier: GPL-2.0-or-later
"""Integration test harness: a private sandbox per scenario for the real daemons."""

from .dbus_client import DBusClient, SendMesgResult
from .queues import HELPER_MSG_CONTROL, HELPER_MSG_NORMAL, Message, QueueError, build_body
from .sandbox import Daemon, Sandbox, build_dir_from_env
from .syslog import LogEntry, parse_line

__all__ = [
    "Sandbox", "Message", "Daemon", "DBusClient", "SendMesgResult", "LogEntry", "QueueError",
    "HELPER_MSG_NORMAL", "HELPER_MSG_CONTROL", "build_body", "build_dir_from_env", "parse_line",
]
