# SPDX-License-Identifier: GPL-2.0-or-later
"""quilctl, the command-line client, against the real daemons in a sandbox: it runs
inside the sandbox (sb.run), where the private bus is the default system bus.

Rigs: both daemons with the simulated AT modem as /dev/ttyUSB1 (named commands, a
fastboot flash through the bootloader), the D-Bus helper alone (EDL flashing with the
module in download mode, the monitor fed by control messages played on queue 1), and
no helper at all."""

import json
import pathlib
import re
import signal
import sys
import time

import pytest

from harness import firmware

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "sim"))
import at_modem  # noqa: E402
from dbus_ready import wait_exported  # noqa: E402
from test_edl_flash import fake_qdl, program_xml  # noqa: E402
from test_edl_flash import make_package as make_edl_package  # noqa: E402

MODULE = "3f1e:0a12 Quillon KT300-WW-00"
DOWNLOAD_MODE = "05c6:9008 Qualcomm QDL mode"
CONTROL = 2
SIM_STATE, FASTBOOT_PROGRESS = 0x11, 0x100B
STAMP = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d"


def quilctl_path(sb):
    return sb.build_dir / "quilctl" / "quilctl"


def quilctl(sb, *args, timeout=60):
    return sb.run([quilctl_path(sb), *args], timeout=timeout)


def one_line(text):
    """The text is exactly one line."""
    return text.endswith("\n") and text.count("\n") == 1


@pytest.fixture
def daemons(sandbox):
    """Starts the daemons a rig needs and stops them (and the modem) after the test;
    fails the test when a sanitizer build reported a fault."""
    started, modems = [], []

    def start(mbim=True, modem=True, setup=None):
        """setup(modem) runs before the daemons start."""
        if modem:
            m = at_modem.AtModem(sandbox.root)
            modems.append(m)
            sandbox.link_dev("ttyUSB1", m.slave)
        if setup is not None:
            setup(modems[0] if modems else None)
        if mbim:
            started.append(sandbox.start_mbim_helper())
            sandbox.log.wait_for(r"Enter to loop: get request and deal!", timeout=10)
        started.append(sandbox.start_dbus_helper())
        client = sandbox.dbus_client()
        wait_exported(client)
        return modems[0] if modems else None

    yield start
    for daemon in started:
        daemon.stop_checked()
    for m in modems:
        m.stop()


# --- named commands and raw requests ------------------------------------------------

# argv, exit status, human stdout, the JSON reply, what the AT port received (None:
# not checked).
REQUESTS = [
    pytest.param(["fw-version"], 0, "KT300.1.2.3.4_20261201\n",
                 {"serviceid": 1, "cid": 0x1002, "command": "fw-version", "rtcode": 0,
                  "len": 22, "payload": "KT300.1.2.3.4_20261201"}, b"AT+CGMR\r\n\r\n",
                 id="fw-version"),
    pytest.param(["imei"], 0, "861234560123456\n",
                 {"serviceid": 1, "cid": 0x1006, "command": "imei", "rtcode": 0, "len": 15,
                  "payload": "861234560123456"}, None, id="imei"),
    pytest.param(["sar-state"], 0, "1\n",
                 {"serviceid": 1, "cid": 0x4002, "command": "sar-state", "rtcode": 0,
                  "len": 1, "payload": "1"}, None, id="sar-state"),
    # Served by the D-Bus helper: its payload brings its own newline, not doubled.
    pytest.param(["port-state"], 0, "normalport\n",
                 {"serviceid": 1, "cid": 0x2001, "command": "port-state", "rtcode": 0,
                  "len": 11, "payload": "normalport\n"}, b"", id="port-state"),
    pytest.param(["sar-enable", "1"], 0, "OK\n",
                 {"serviceid": 1, "cid": 0x4001, "command": "sar-enable", "rtcode": 0,
                  "len": 2, "payload": "OK"}, b"AT+BODYSAREN=1\r\n\r\n", id="sar-enable-1"),
    # A value that starts with "-" is a value, not an option.
    pytest.param(["sar-on", "-1,2"], 0, "OK\n",
                 {"serviceid": 1, "cid": 0x4005, "command": "sar-on", "rtcode": 0,
                  "len": 2, "payload": "OK"}, b"AT+BODYSARON=1,-1,2\r\n\r\n",
                 id="sar-on-dash-value"),
    pytest.param(["raw", "0x5000"], 1, "",
                 {"serviceid": 1, "cid": 0x5000, "command": None, "rtcode": 1, "len": 5,
                  "payload": "ERROR"}, b"", id="raw-unknown-cid"),
    # Decimal cid, another service id, options after the command.
    pytest.param(["raw", "8194", "--serviceid", "3"], 0, " 3f1e,0a12\n",
                 {"serviceid": 3, "cid": 0x2002, "command": "oem-usb-id",
                  "rtcode": 0, "len": 10, "payload": " 3f1e,0a12"}, None,
                 id="raw-decimal-serviceid"),
]


@pytest.mark.parametrize("args, status, human, reply, received", REQUESTS)
def test_request_human_and_json(sandbox, daemons, args, status, human, reply, received):
    sandbox.set_lsusb([MODULE])
    modem = daemons()

    plain = quilctl(sandbox, *args)
    assert (plain.returncode, plain.stdout) == (status, human), plain.stderr
    if status == 0:
        assert plain.stderr == ""
    else:
        assert plain.stderr == f"quilctl: {args[1]} failed: {reply['payload']}\n"

    as_json = quilctl(sandbox, "--json", *args)
    assert as_json.returncode == status, as_json.stderr
    assert one_line(as_json.stdout), as_json.stdout
    assert json.loads(as_json.stdout) == reply
    assert as_json.stderr == plain.stderr
    if received is not None:
        # Both runs reached the modem, each exactly once.
        assert modem.received() == received * 2


# --- the command line itself ------------------------------------------------------

@pytest.mark.parametrize("args, message", [
    (["no-such-command"], r"unknown command 'no-such-command'"),
    (["sar-enable"], r"sar-enable needs a value"),
    (["fw-version", "1"], r"fw-version takes no value"),
    (["raw", "0xzz"], r"'0xzz' is no command id"),
    (["raw", "0x1002", "--jsn"], r"unknown option --jsn"),
    (["flash", "edl", "--ap", "A1"], r"--modem needs a value"),
    (["flash", "fastboot", "--modem", "snap"], r"would be read as another field"),
    (["--timeout", "0", "imei"], r"--timeout"),
    ([], r"no command given"),
], ids=["unknown", "missing-value", "value-for-a-query", "bad-cid", "misspelt-option",
        "edl-without-modem", "misread-field", "timeout-zero", "nothing"])
def test_usage_error(sandbox, args, message):
    # Refused before the bus is touched: no bus runs in this sandbox.
    result = quilctl(sandbox, *args)
    assert result.returncode == 2
    assert result.stdout == ""
    assert one_line(result.stderr) and result.stderr.startswith("quilctl: "), result.stderr
    assert re.search(message, result.stderr), result.stderr


def test_help_and_list(sandbox):
    result = quilctl(sandbox, "help", "sar-enable")
    assert result.returncode == 0
    assert result.stdout.startswith("Usage: quilctl sar-enable VALUE\n")
    assert quilctl(sandbox, "slot-set", "--help").stdout.startswith("Usage: quilctl slot-set VALUE")
    names = quilctl(sandbox, "list", "--names").stdout.split()
    assert {"raw", "list", "flash", "monitor", "fw-version", "slot-set"} <= set(names)
    table = json.loads(quilctl(sandbox, "--json", "list").stdout)
    row = next(r for r in table if r["name"] == "port-state")
    assert (row["cid"], row["kind"], row["payload"]) == (0x2001, "local", "none")
    # The completion's words: the built-in commands, then every name of the table.
    assert [r["name"] for r in table] == names[-len(table):]


@pytest.mark.parametrize("bus", [True, False], ids=["bus-without-helper", "no-bus"])
def test_helper_absent(sandbox, bus):
    if bus:
        sandbox.start_bus()
    started = time.monotonic()
    result = quilctl(sandbox, "fw-version", timeout=10)
    elapsed = time.monotonic() - started
    assert result.returncode == 3, (result.stdout, result.stderr)
    assert elapsed < 1.0, elapsed
    assert result.stdout == ""
    assert one_line(result.stderr) and result.stderr.startswith("quilctl: "), result.stderr


# --- flashes followed to their end -----------------------------------------------------

@pytest.mark.slow
def test_fastboot_flash_followed_to_its_end(sandbox, daemons):
    steps = firmware.make_package(sandbox, modem="M3")
    firmware.script_fastboot(sandbox)
    daemons(setup=lambda modem: firmware.follow_module(sandbox, modem.record_file))
    result = quilctl(sandbox, "flash", "fastboot", "--path", firmware.PACKAGE_DIR,
                     "--modem", "M3")
    assert result.returncode == 0, result.stderr
    assert result.stdout == ("fastboot flashing...\n"
                             "progress 99\n" "progress 99\n"
                             "fastboot flash ok\n")
    assert result.stderr == ""
    assert sandbox.tool_calls("fastboot") == [["flash", "modem", steps[0][1]], ["reboot"]]


@pytest.mark.slow
@pytest.mark.parametrize("json_out, images, status", [
    (True, 2, 0),
    (False, 1, 1),   # one image of two reported: "flash fail"
], ids=["ok-json", "fail-human"])
def test_edl_flash_followed_to_its_end(sandbox, daemons, json_out, images, status):
    make_edl_package(sandbox, program_xml(2))
    fake_qdl(sandbox, [f"img{i}.bin flashed successfully" for i in range(images)])
    sandbox.set_lsusb([DOWNLOAD_MODE])
    daemons(mbim=False, modem=False)
    args = ["--json"] if json_out else []
    result = quilctl(sandbox, *args, "flash", "edl", "--ap", "A1", "--modem", "M1")
    assert result.returncode == status, (result.stdout, result.stderr)
    final = "flash ok" if status == 0 else "flash fail"
    if not json_out:
        assert result.stdout == "flashing...\nprogress 49\nflash fail\n"
        assert result.stderr == "quilctl: flash edl: the flash failed\n"
        return
    lines = [json.loads(line) for line in result.stdout.splitlines()]
    assert lines[0] == {"serviceid": 1, "cid": 0x2004, "command": "edl-flash", "rtcode": 0,
                        "len": 12, "payload": "edl flashing"}
    assert [(e["signal"], e["args"]) for e in lines[1:]] == [
        ("edlStatus", ["flashing..."]), ("flashProgress", ["edl", 49]),
        ("flashProgress", ["edl", 98]), ("edlStatus", [final])]
    assert all(re.fullmatch(STAMP, e["time"]) for e in lines[1:])


# --- monitor ---------------------------------------------------------------------------

def wait_output(proc, pattern, timeout=10):
    """The match of pattern in what the spawned process wrote so far, once it shows."""
    deadline = time.monotonic() + timeout
    while True:
        text = proc.out_path.read_text(errors="replace")
        found = re.search(pattern, text, re.M)
        if found:
            return found
        assert proc.poll() is None, f"ended with {proc.returncode}: {text!r}"
        assert time.monotonic() < deadline, f"no {pattern!r} in {text!r}"
        time.sleep(0.02)


def test_monitor_prints_the_signals_of_a_module_event(sandbox, daemons):
    daemons(mbim=False, modem=False)
    human = sandbox.spawn([quilctl_path(sandbox), "monitor"], name="monitor")
    as_json = sandbox.spawn([quilctl_path(sandbox), "monitor", "--json"], name="monitor-json")
    for proc in (human, as_json):
        wait_output(proc, r"^quilctl: monitoring com\.quillon\.helper$")

    before = time.time()
    sandbox.queues.send(1, CONTROL, 0, SIM_STATE, payload=b"SIM inserted")
    sandbox.queues.send(1, CONTROL, 0, FASTBOOT_PROGRESS, payload=b"14")
    line = wait_output(human, rf"^({STAMP}) flashProgress fastboot 14$")
    sim = wait_output(human, rf"^({STAMP}) simcardChange SIM inserted$")
    stamp = time.mktime(time.strptime(sim.group(1)[:19], "%Y-%m-%dT%H:%M:%S"))
    assert before - 1 <= stamp <= time.time()
    assert line.start() > sim.start()  # in the order they were sent

    wait_output(as_json, r"flashProgress")
    events = [json.loads(l) for l in as_json.out_path.read_text().splitlines()[1:]]
    assert all(re.fullmatch(STAMP, e["time"]) for e in events)
    # The start-up search may report the module missing meanwhile.
    assert [(e["signal"], e["args"]) for e in events if e["signal"] != "cellularState"] == [
        ("simcardChange", ["SIM inserted"]), ("flashProgress", ["fastboot", 14])]

    for proc in (human, as_json):
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=5) == 0
