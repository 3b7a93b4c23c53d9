# SPDX-License-Identifier: GPL-2.0-or-later
"""The syslog lines of quil-helper-mbim as the sandbox's /dev/log receives them:
"[Level]: function:line: text", at the level's priority, under the daemon's identity,
gated by the log level."""

import re

import pytest
from harness import HELPER_MSG_CONTROL, HELPER_MSG_NORMAL

IDENT = "helper_mbim_analyzer"
LOG_USER = 1
PRIORITY = {"Critical": 2, "Error": 3, "Warning": 4, "Info": 6, "Debug": 7}
LINE = re.compile(r"^\[(Critical|Error|Warning|Info|Debug)\]: ([A-Za-z_]\w*):(\d+): (.*)$",
                  re.DOTALL)
EXITING = r"^\[Critical\]: main:\d+: exiting 'quil-helper-mbim'\.\.\.$"


def run_once(sb, *args):
    """Starts the daemon with args, has it answer one unknown request and stops it;
    returns its log entries, all of them written by then."""
    daemon = sb.start_mbim_helper(*args)
    sb.queues.send(0, HELPER_MSG_NORMAL, 8, 0x5000)
    msg = sb.queues.receive(1, HELPER_MSG_NORMAL, timeout=10)
    assert msg is not None and (msg.serviceid, msg.cid, msg.rtcode) == (8, 0x5000, 1)
    sb.queues.send(0, HELPER_MSG_CONTROL, 0, 0x0003)
    assert daemon.wait(10) == 0
    sb.log.sync()
    return daemon, sb.log.entries()


def test_every_line_has_the_house_format(sandbox):
    daemon, entries = run_once(sandbox, "-d")
    assert len(entries) > 10
    for e in entries:
        m = LINE.match(e.message)
        assert m, f"badly formed line {e.raw!r}"
        assert e.priority == PRIORITY[m.group(1)], e.raw
        assert e.facility == LOG_USER and e.ident == IDENT and e.pid == daemon.pid, e.raw
        assert int(m.group(3)) > 0
    assert any(LINE.match(e.message).group(1) == "Debug" for e in entries)


def test_invalid_level_is_reported_and_ignored(sandbox):
    _, entries = run_once(sandbox, "-l", "9")
    texts = [e.message for e in entries]
    invalid = [t for t in texts if re.match(r"^\[Error\]: \w+:\d+: log level is invalue :9$", t)]
    confirm = [t for t in texts
               if re.match(r"^\[Error\]: \w+:\d+: log level is :9,g_debug_level: 6$", t)]
    assert len(invalid) == 1 and len(confirm) == 1, texts
    assert texts.index(invalid[0]) < texts.index(confirm[0])
    # Level 6 stays: Error lines of the request are written, Debug lines are not.
    assert any("Execute error or not matched! will call default resp!" in t for t in texts)
    assert not any(t.startswith("[Debug]") for t in texts)


@pytest.mark.parametrize("args,expected", [
    (("-l", "2"), [EXITING]),  # only Critical lines
    (("-l", "0"), []),  # nothing at all
    (("-l", "1"), []),
])
def test_low_levels_write_only_what_they_allow(sandbox, args, expected):
    _, entries = run_once(sandbox, *args)
    texts = [e.message for e in entries]
    assert len(texts) == len(expected), texts
    for text, pattern in zip(texts, expected):
        assert re.match(pattern, text), text


USAGE = ("quil-helper-mbim -v -d -l <Level> ...\n"
         " -v                     --force                      print  version\n"
         " -d <debug level:xx>    --debug <debug:num>          LOG Debug\n"
         " -l <id:file path>      --Level <Level:string>       Level for bin\n"
         "\n"
         "Example: \n"
         "./quil_flash -v -d -l 7\n")


@pytest.mark.parametrize("args,stderr", [
    (("--loglevel",), ""),
    (("--loglevel", "3"), ""),
    (("-l", "abc"), ""),
    (("-x",), USAGE),
    (("-l",), USAGE),  # missing argument
    (("--force",), USAGE),
])
def test_option_errors_never_stop_it(sandbox, args, stderr):
    daemon, _ = run_once(sandbox, *args)
    # The usage once per refused option (after getopt's own complaint), else nothing.
    out = daemon.output()
    if stderr:
        assert out.endswith(stderr) and out.count(stderr) == 1, out
    else:
        assert out == ""
