# SPDX-License-Identifier: GPL-2.0-or-later
"""Fastboot flashing in the MBIM helper, request 0x100a, against a simulated module.

Each rig: the simulated modem's pty as /dev/ttyUSB1, a fake lsusb that shows the module
in its bootloader (3f1e:f00f) once the reboot command has reached the AT port and in
normal mode again after `fastboot reboot`, a fake fastboot scripted per partition (it
fails on an image file that does not exist), a firmware package under the sandbox's
/opt/quillon, a recording zenity, and a collector that reads queue 1 throughout (a flash
sends more control messages than a queue holds). Requests go in on queue 0; one
scenario goes through both daemons and a D-Bus client.

A flash takes, by its fixed pacing, 3 s before the first poll, 2 s after the dialog
opened, about 1 s per step and 3 s before the dialog closes.
"""

import pathlib
import sys
import time

import pytest

from harness import firmware
from harness.firmware import FAIL, LONG, PACKAGE_DIR, REBOOT_COMMAND, SILENT_FAIL

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "sim"))
import at_modem  # noqa: E402
from dbus_ready import wait_exported  # noqa: E402

NORMAL, CONTROL = 1, 2
FASTBOOT = 0x100a  # the request, and the control id of the status texts on queue 1
PROGRESS = 0x100b
IMEI = 0x1006
CRLF2 = b"\r\n\r\n"
FLASHING, OK_TEXT, FAIL_TEXT = b"fastboot flashing...", b"fastboot flash ok", b"fastboot flash fail"
SUCCESS_LABEL = b"#The Modem upgrade Success!\\n\\n\n"
FAILED_LABEL = b"#The Modem upgrade failed!\\n\\n\n"
ZENITY_ARGV = [
    "--progress",
    "--text=<span font='13'>Downloading ...\\n\\n</span><span foreground='red' font='16'>"
    "Do not shut down or restart</span>",
    "--percentage=10", "--auto-close", "--no-cancel", "--width=600", "--title=ModemUpgrade",
]
MISMATCH = r"\[Error\]: quillon_fastboot_flash_command:\d+: " \
           r"\[quillon_fastboot_flash_command:\]don't match partation and path$"


class FlashRig:
    def __init__(self, sb, modem, collector, xauthority):
        self.sb, self.modem, self.collector, self.xauthority = sb, modem, collector, xauthority
        self.sent_at = {}

    def request(self, payload, serviceid=1, cid=FASTBOOT):
        """Sends a request on queue 0; the collector's position before it."""
        start = self.collector.mark()
        self.sent_at[serviceid] = time.monotonic()
        self.sb.queues.send(0, NORMAL, serviceid, cid, payload=payload)
        return start

    def response(self, start, serviceid=1, cid=FASTBOOT, timeout=15):
        """(seconds after its request, response) of the request of that serviceid."""
        arrived, msg = self.collector.wait_for(
            lambda m: m.mtype == NORMAL and m.serviceid == serviceid and m.cid == cid,
            timeout, start, what=f"response to 0x{cid:04x} (serviceid {serviceid})")
        return arrived - self.sent_at[serviceid], msg

    def wait_end(self, start, timeout=30):
        """The final status text of the flash."""
        _, msg = self.collector.wait_for(
            lambda m: m.mtype == CONTROL and m.cid == FASTBOOT and m.payload in (OK_TEXT, FAIL_TEXT),
            timeout, start, what="final fastboot status")
        return msg.payload

    def statuses(self, start=0):
        return [m.payload for m in self.collector.snapshot()[start:]
                if m.mtype == CONTROL and m.cid == FASTBOOT]

    def progress(self, start=0):
        return [int(m.payload) for m in self.collector.snapshot()[start:]
                if m.mtype == CONTROL and m.cid == PROGRESS]

    def reboot_commands(self):
        return self.modem.received().count(REBOOT_COMMAND)


@pytest.fixture
def flash_rig(sandbox):
    """Starts a rig: outcomes per partition for fastboot, an X authority file of the
    desktop user (or none), lsusb lines that stay as they are (or the module that
    follows its reboots)."""
    modems, daemons, collectors = [], [], []

    def start(outcomes=None, xauthority=True, lsusb=None, zenity_reads=True):
        modem = at_modem.AtModem(sandbox.root)
        modems.append(modem)
        sandbox.link_dev("ttyUSB1", modem.slave)
        if lsusb is None:
            firmware.follow_module(sandbox, modem.record_file)
        else:
            sandbox.set_lsusb(lsusb)
        firmware.script_fastboot(sandbox, outcomes)
        if not zenity_reads:
            # A dialog that goes away at once, reading nothing.
            (sandbox.tools_dir / "zenity.readstdin").unlink()
            sandbox.set_tool("zenity", script="exit 0")
        path = None
        if xauthority is True:
            path = sandbox.make_xauthority()
        elif xauthority:
            path = sandbox.make_xauthority(name=xauthority)
        mark = sandbox.log.mark()
        daemons.append(sandbox.start_mbim_helper())
        sandbox.log.wait_for(r"Enter to loop: get request and deal!", timeout=10, start=mark)
        collector = firmware.QueueCollector(sandbox)
        collectors.append(collector)
        return FlashRig(sandbox, modem, collector, path)

    yield start
    for collector in collectors:
        collector.close()
    for daemon in daemons:
        daemon.stop_checked()
    for modem in modems:
        modem.stop()


def flash_calls(steps):
    return [["flash", part, path] for part, path in steps] + [["reboot"]]


def percentage_lines(percentages):
    return b"".join(b"%d\n" % p for p in percentages)


@pytest.mark.slow
def test_fastboot_flash_three_groups_end_to_end(sandbox, flash_rig):
    steps = firmware.make_package(sandbox, ap="A1", modem="M1", op="P1")
    rig = flash_rig()
    start = rig.request(b"ap:A1;md:M1;op:P1", serviceid=3)

    elapsed, response = rig.response(start, serviceid=3)
    assert (response.cid, response.rtcode, response.len, response.payload) == \
        (FASTBOOT, 0, 17, b"fastboot_flashing")
    assert elapsed >= 2.9, elapsed  # the 3-second wait before the first poll
    assert rig.wait_end(start) == OK_TEXT

    # Everything on queue 1, in order: the response, then the control messages.
    percentages = [14, 28, 42, 56, 70, 84, 98, 99]
    got = [(m.mtype, m.serviceid, m.cid, m.rtcode, m.len, m.payload)
           for m in rig.collector.snapshot()[start:]]
    assert got == [(NORMAL, 3, FASTBOOT, 0, 17, b"fastboot_flashing"),
                   (CONTROL, 0, FASTBOOT, 0, 20, FLASHING)] + \
        [(CONTROL, 0, PROGRESS, 0, len(str(p)), str(p).encode()) for p in percentages] + \
        [(CONTROL, 0, FASTBOOT, 0, 17, OK_TEXT)]

    assert sandbox.tool_calls("fastboot") == flash_calls(steps)
    assert steps[0] == ("aboot", PACKAGE_DIR + "A1/appsboot.mbn")
    assert rig.modem.received() == REBOOT_COMMAND + CRLF2
    # The dialog: as the desktop user, on :0, with its X authority file.
    assert sandbox.tool_calls("zenity") == [ZENITY_ARGV]
    assert sandbox.tool_stdin("zenity") == percentage_lines(percentages[:-1]) + SUCCESS_LABEL + b"99\n"
    assert sandbox.tool_identity("zenity") == (4242, 4343, [4343])
    env = sandbox.tool_env("zenity")
    assert (env.get("DISPLAY"), env.get("XDG_CURRENT_DESKTOP"), env.get("XAUTHORITY")) == \
        (":0", "ubuntu:GNOME", rig.xauthority)
    sandbox.log.wait_for(r"\[Critical\]: \w+:\d+: match f00f$")


@pytest.mark.slow
def test_fastboot_flash_modem_only_one_flash_at_a_time(sandbox, flash_rig):
    steps = firmware.make_package(sandbox, modem="M1")
    rig = flash_rig()
    mark = sandbox.log.mark()
    start = rig.request(b"md:M1")
    # While the module is being waited for, and while it is being flashed, a further
    # request is refused at once and the module is not touched.
    during_wait = rig.request(b"md:M1", serviceid=2)
    elapsed, refusal = rig.response(during_wait, serviceid=2, timeout=3)
    assert (refusal.cid, refusal.rtcode, refusal.len, refusal.payload) == (FASTBOOT, 1, 5, b"ERROR")
    assert elapsed < 1.5, elapsed
    _, response = rig.response(start)
    assert response.payload == b"fastboot_flashing"
    rig.collector.wait_for(lambda m: m.mtype == CONTROL and m.payload == FLASHING, 5, start)
    during_flash = rig.request(b"ap:A9", serviceid=4)
    _, refusal = rig.response(during_flash, serviceid=4, timeout=3)
    assert (refusal.rtcode, refusal.payload) == (1, b"ERROR")
    assert sandbox.log.count(r"\[Error\]: quillon_fastboot_flash_request:\d+: "
                             r"fastboot flash already running, refuse request!$", start=mark) == 2

    assert rig.wait_end(start) == OK_TEXT
    assert rig.statuses(start) == [FLASHING, OK_TEXT]
    assert rig.progress(start) == [99, 99]
    assert sandbox.tool_calls("fastboot") == flash_calls(steps)
    assert sandbox.tool_stdin("zenity") == b"99\n" + SUCCESS_LABEL + b"99\n"
    assert rig.reboot_commands() == 1

    # Once the flash has ended the next request is taken again.
    rig.request(b"md:M1", serviceid=5)
    got = rig.modem.wait_received(REBOOT_COMMAND + CRLF2 + REBOOT_COMMAND, timeout=5)
    assert got == (REBOOT_COMMAND + CRLF2) * 2


@pytest.mark.slow
def test_fastboot_flash_failing_steps_do_not_stop_it(sandbox, flash_rig):
    steps = firmware.make_package(sandbox, ap="A1")
    rig = flash_rig(outcomes={"boot": FAIL, "userdata": SILENT_FAIL})
    mark = sandbox.log.mark()
    start = rig.request(b"ap:A1")
    assert rig.wait_end(start, timeout=35) == FAIL_TEXT
    # Every later step still ran, and the module was rebooted.
    assert sandbox.tool_calls("fastboot") == flash_calls(steps)
    assert rig.progress(start) == [19, 38, 57, 76, 95, 99]
    assert sandbox.tool_stdin("zenity") == percentage_lines([19, 38, 57, 76, 95]) + \
        FAILED_LABEL + b"99\n"
    errors = [e.message.rsplit(": ", 1)[1] for e in sandbox.log.entries(start=mark)
              if "flash error" in e.message and e.message.startswith("[Critical]")]
    assert errors == ["flash error boot", "flash error userdata"]


@pytest.mark.slow
def test_fastboot_flash_all_five_groups_default_device_pack_long_output(sandbox, flash_rig):
    steps = firmware.make_package(sandbox, ap="A2", modem="M2", dev="default_X1", oem="O2",
                                  op="P2", default_dev=True)
    assert steps[6] == ("devicepack", PACKAGE_DIR + "OEM_OTA_X1/devicepack.ubi")
    # 100 KiB before the "Finished" line: more than a pipe holds, far more than 256 bytes.
    rig = flash_rig(outcomes={"system": LONG})
    mark = sandbox.log.mark()
    start = rig.request(b"path:" + PACKAGE_DIR.encode() + b";ap:A2;md:M2;dev:default_X1;oem:O2;"
                        b"op:P2")
    assert rig.wait_end(start, timeout=40) == OK_TEXT
    assert sandbox.tool_calls("fastboot") == flash_calls(steps)
    assert rig.progress(start) == [11, 22, 33, 44, 55, 66, 77, 88, 99, 99]
    assert sandbox.tool_stdin("zenity") == percentage_lines(range(11, 100, 11)) + \
        SUCCESS_LABEL + b"99\n"
    sandbox.log.sync()
    assert sandbox.log.count(r"flash error", start=mark) == 0


@pytest.mark.slow
def test_fastboot_flash_own_device_pack_with_a_dialog_that_went_away(sandbox, flash_rig):
    steps = firmware.make_package(sandbox, dev="X1")
    assert steps == [("devicepack", PACKAGE_DIR + "DEV_OTA_PACKAGE/X1/devicepack.ubi")]
    rig = flash_rig(zenity_reads=False)
    start = rig.request(b"dev:X1")
    assert rig.wait_end(start) == OK_TEXT
    assert sandbox.tool_calls("zenity") == [ZENITY_ARGV]
    assert sandbox.tool_calls("fastboot") == flash_calls(steps)
    # The bus still gets every percentage, and the daemon still serves.
    assert rig.progress(start) == [99, 99]
    after = rig.request(b"", serviceid=2, cid=IMEI)
    _, imei = rig.response(after, serviceid=2, cid=IMEI, timeout=8)
    assert (imei.rtcode, imei.payload) == (0, b"861234560123456")


@pytest.mark.slow
def test_fastboot_flash_module_never_in_fastboot_mode(sandbox, flash_rig):
    rig = flash_rig(lsusb=["3f1e:0a12 Quillon KT300-WW-00"])
    mark = sandbox.log.mark()
    start = rig.request(b"md:M1")
    # The request path is not held up by the wait and the polls.
    imei_start = rig.request(b"", serviceid=4, cid=IMEI)
    imei_elapsed, imei = rig.response(imei_start, serviceid=4, cid=IMEI, timeout=7)
    assert (imei.rtcode, imei.payload) == (0, b"861234560123456")

    elapsed, response = rig.response(start, timeout=15)
    assert (response.cid, response.rtcode, response.len, response.payload) == \
        (FASTBOOT, 1, 20, b"fastboot_switch_port")
    assert 7.5 <= elapsed <= 11, elapsed  # 3 s, then 5 polls 1 s apart
    assert imei_elapsed < elapsed
    for n in range(5):
        sandbox.log.wait_for(rf"\[Debug\]: \w+:\d+: init{n}$", start=mark)
    sandbox.log.sync()
    assert sandbox.log.count(r"init5|match f00f", start=mark) == 0
    # No flash thread: no status, no progress, no tool.
    assert rig.statuses(start) == [] and rig.progress(start) == []
    assert sandbox.tool_calls("fastboot") == [] and sandbox.tool_calls("zenity") == []
    # The module is free again for the next request.
    rig.request(b"md:M1", serviceid=2)
    got = rig.modem.wait_received(REBOOT_COMMAND + CRLF2 + REBOOT_COMMAND, timeout=5)
    assert got.count(REBOOT_COMMAND) == 2


# Payloads that take the mismatch path: the module is rebooted, nothing is flashed, no
# dialog, "fastboot flash fail". Package directories exist for M1 and P1, so that a
# payload let through by mistake would flash.
REFUSED = [
    pytest.param(b"ap:../../../../etc;md:M1", id="parent-directory"),
    pytest.param(b"md:M1\ntouch /run/x1", id="newline"),
    pytest.param(b"md:M1\0;op:$(touch /run/x1)", id="nul"),
    pytest.param(b"md:M1;op:", id="empty-value"),
    pytest.param(b"path:/opt/quillon/quil_fw_pkg/FwPackage;md:M1", id="path-without-slash"),
    pytest.param(b"md:M1;" * 86, id="payload-over-511-bytes"),
    pytest.param(b"version:1;foo:bar", id="no-group-named"),
    pytest.param(b"", id="empty-payload"),
]


@pytest.mark.parametrize("payload", REFUSED)
def test_fastboot_flash_refused_payload(sandbox, flash_rig, payload):
    firmware.make_package(sandbox, modem="M1", op="P1")
    rig = flash_rig()
    mark = sandbox.log.mark()
    start = rig.request(payload)
    _, response = rig.response(start)
    assert (response.rtcode, response.payload) == (0, b"fastboot_flashing")
    assert rig.wait_end(start, timeout=10) == FAIL_TEXT
    assert rig.statuses(start) == [FLASHING, FAIL_TEXT]
    assert sandbox.tool_calls("fastboot") == [["reboot"]]
    assert rig.progress(start) == [] and sandbox.tool_calls("zenity") == []
    sandbox.log.wait_for(MISMATCH, start=mark)
    sandbox.log.wait_for(r"don't match partation and path,rebooting module$", start=mark)
    assert not (sandbox.run_dir / "x1").exists()


@pytest.mark.slow
def test_fastboot_flash_shell_text_reaches_no_shell(sandbox, flash_rig):
    # Values that a shell would act on, and an X authority file name that would run a
    # command: each reaches its tool as one argument, literally, and nothing runs.
    values = {"modem": "M1 $(touch /run/x1)", "dev": "D`touch /run/x2`",
              "oem": "O|touch /run/x3&", "op": "P>/run/x4'\""}
    steps = firmware.make_package(sandbox, **values)
    rig = flash_rig(xauthority=".mutter-Xwaylandauth$(touch x9)`touch x8`")
    payload = ";".join([f"md:{values['modem']}", f"dev:{values['dev']}", "touch /run/x5",
                        f"oem:{values['oem']}", f"op:{values['op']}"]).encode()
    start = rig.request(payload)
    assert rig.wait_end(start, timeout=30) == OK_TEXT
    assert sandbox.tool_calls("fastboot") == flash_calls(steps)
    assert steps[0] == ("modem", PACKAGE_DIR + "M1 $(touch /run/x1)/NON-HLOS.ubi")
    assert rig.progress(start) == [24, 48, 72, 96, 99]
    assert sandbox.tool_calls("zenity") == [ZENITY_ARGV]
    assert sandbox.tool_env("zenity").get("XAUTHORITY") == rig.xauthority
    assert sandbox.tool_identity("zenity") == (4242, 4343, [4343])
    markers = [p for p in sandbox.root.rglob("x[0-9]")] + \
        [p for p in (pathlib.Path("/x8"), pathlib.Path("/x9")) if p.exists()]
    assert markers == []


@pytest.mark.slow
def test_fastboot_flash_through_both_daemons(sandbox):
    # The status texts and the percentages reach a D-Bus client as fastbootStatus and
    # flashProgress.
    steps = firmware.make_package(sandbox, modem="M3")
    modem = at_modem.AtModem(sandbox.root)
    try:
        sandbox.link_dev("ttyUSB1", modem.slave)
        firmware.follow_module(sandbox, modem.record_file)
        firmware.script_fastboot(sandbox)
        sandbox.make_xauthority()
        client = sandbox.dbus_client()
        mbim = sandbox.start_mbim_helper()
        sandbox.log.wait_for(r"Enter to loop: get request and deal!", timeout=10)
        dbus = sandbox.start_dbus_helper()
        wait_exported(client)
        mark = client.mark()
        result = client.send_mesg(1, FASTBOOT, 0, None, "md:M3", timeout=25)
        assert result.reply == ((1, FASTBOOT), 0, 17, "fastboot_flashing")
        client.wait_signal("fastbootStatus", timeout=20, start=mark, args=("fastboot flash ok",))
        assert client.signals_of("fastbootStatus", start=mark) == \
            [("fastboot flashing...",), ("fastboot flash ok",)]
        assert client.signals_of("flashProgress", start=mark) == [("fastboot", 99), ("fastboot", 99)]
        assert sandbox.tool_calls("fastboot") == flash_calls(steps)
        assert mbim.alive() and dbus.alive()
    finally:
        modem.stop()
