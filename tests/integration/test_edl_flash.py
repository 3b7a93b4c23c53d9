# SPDX-License-Identifier: GPL-2.0-or-later
"""EDL flashing in quil-helper-dbus: request 0x2004 while the module waits in download
mode starts the thread that copies the firmware package into a private work space,
counts its images, runs qdl and follows its output, shows the progress dialog as the
desktop user, and reports edlStatus and flashProgress("edl", n). The D-Bus helper runs
alone as a black box; qdl and zenity are recording fakes.

Every flash that reaches qdl takes 1 s before the dialog, 1 s per image and 3 s after
the result, as the user is meant to see it."""

import os
import select
import shlex
import time

import pytest

from dbus_ready import wait_exported

EDL_FLASH = 0x2004
DOWNLOAD_MODE = "05c6:9008 Qualcomm QDL mode"
PACKAGE = "quil_fw_pkg/FwPackage"
QDL = "quil_helper_service/quil_helper_tools/qdl"
# The work space as the daemon names it.
WORK_SPACE = "/opt/quillon/quil_fw_pkg/FwPackage/Maincode/"
ACCEPTED = (0, 12, "edl flashing")
PAYLOAD = "ap:A1;md:M1"

ZENITY_ARGV = [
    "--progress",
    "--text=<span font='13'>Downloading ...\\n\\n</span><span foreground='red' font='16'>"
    "Do not shut down or restart</span>",
    "--percentage=0", "--auto-close", "--no-cancel", "--width=600", "--title=ModemUpgrade",
]
SUCCESS_LABEL = b"#The Modem upgrade Success!\\n\\n\n"
FAILED_LABEL = b"#The Modem upgrade failed!\\n\\n\n"
NO_DEVICE_LABEL = b"#don't match 9008 port,exit program\n"

# What the package holds, and what of it the work space gets: no dot file, and the
# modem directory's shared.bin replaces the AP directory's, as cp would.
PACKAGE_FILES = {
    "A1/ap.img": "ap image",
    "A1/shared.bin": "from A1",
    "A1/.notes": "not copied",
    "M1/md.img": "modem image",
    "M1/shared.bin": "from M1",
    "basic_update_img/patch_p2K_b128K.xml": "<patches/>",
    "basic_update_img/boot.img": "boot",
    "download_agent/prog_nand_firehose_9x55.mbn": "agent",
}
WORK_SPACE_FILES = ["ap.img", "boot.img", "md.img", "patch_p2K_b128K.xml",
                    "prog_nand_firehose_9x55.mbn", "rawprogram_nand_p2K_b128K.xml",
                    "shared.bin"]


def program_xml(segments, extra=""):
    programs = "".join(f'  <program label="p{i}" filename="img{i}.bin"/>\n'
                       for i in range(segments))
    return f'<?xml version="1.0"?>\n<data>\n{programs}{extra}</data>\n'


def make_package(sb, xml):
    pkg = sb.opt_dir / PACKAGE
    for rel, text in PACKAGE_FILES.items():
        path = pkg / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
    (pkg / "rawprogram_nand_p2K_b128K.xml").write_text(xml)
    return pkg


def fake_qdl(sb, lines, tail=""):
    """qdl at its install path: notes the work space as it finds it (its entries, mode
    and shared.bin) and its own pid, prints the lines, then runs the shell text tail."""
    sb.make_fake("qdl", sb.opt_dir / QDL)
    script = ['ls -A "$4" > "$t/qdl.ws"', 'stat -c %a "$4" > "$t/qdl.wsmode"',
              'cat "$4/shared.bin" > "$t/qdl.shared" 2>/dev/null', 'echo $$ > "$t/qdl.pid"']
    script += [f"printf '%s\\n' {shlex.quote(line)}" for line in lines]
    sb.set_tool("qdl", script="\n".join(script) + "\n" + tail)


def seen_by_qdl(sb, what):
    return (sb.tools_dir / f"qdl.{what}").read_text().split()


def start(sb):
    sb.set_lsusb([DOWNLOAD_MODE])
    client = sb.dbus_client()
    daemon = sb.start_dbus_helper()
    wait_exported(client)
    return client, daemon


def flash(client, payload=PAYLOAD, serviceid=1):
    """Sends 0x2004 and checks that it was accepted; the signal mark before it."""
    mark = client.mark()
    result = client.send_mesg(serviceid, EDL_FLASH, 0, None, payload)
    assert result.reply == ((serviceid, EDL_FLASH), *ACCEPTED)
    return mark


def wait_end(client, mark, expected, timeout=10):
    client.wait_signal("edlStatus", timeout=timeout, start=mark, args=(expected,))
    assert client.signals_of("edlStatus", mark) == [("flashing...",), (expected,)]


def progress(client, mark):
    return [percent for kind, percent in client.signals_of("flashProgress", mark)
            if kind == "edl"]


def percentage_lines(values):
    return b"".join(b"%d\n" % v for v in values)


def tree(*roots):
    """Every path under the roots (links not followed), for a before/after look."""
    found = set()
    for root in roots:
        for dirpath, dirnames, filenames in os.walk(root):
            for name in dirnames + filenames:
                found.add(os.path.join(dirpath, name))
    return found


def qdl_argv():
    return ["--storage", "nand", "--include", WORK_SPACE,
            WORK_SPACE + "prog_nand_firehose_9x55.mbn",
            WORK_SPACE + "rawprogram_nand_p2K_b128K.xml", WORK_SPACE + "patch_p2K_b128K.xml"]


# --- the whole road --------------------------------------------------------------------

@pytest.mark.slow
@pytest.mark.parametrize("segments, step", [(9, 11), (7, 14)])
def test_flash_reports_every_image(sandbox, segments, step):
    make_package(sandbox, program_xml(segments))
    xauthority = sandbox.make_xauthority()
    # Progress lines among the tool's other output, one of them far longer than a line.
    lines = ["Sahara: hello", "x" * 300]
    for i in range(segments):
        lines += [f"writing img{i}.bin", f"img{i}.bin flashed successfully"]
    fake_qdl(sandbox, lines + ["done"])
    client, daemon = start(sandbox)
    log_mark = sandbox.log.mark()
    mark = flash(client)
    wait_end(client, mark, "flash ok", timeout=segments + 10)

    percentages = [step * i for i in range(1, segments + 1)]
    assert progress(client, mark) == percentages
    assert sandbox.tool_stdin("zenity") == percentage_lines(percentages) + SUCCESS_LABEL
    assert sandbox.tool_calls("zenity") == [ZENITY_ARGV]
    assert sandbox.tool_identity("zenity") == (4242, 4343, [4343])
    env = sandbox.tool_env("zenity")
    assert (env.get("DISPLAY"), env.get("XDG_CURRENT_DESKTOP"), env.get("XAUTHORITY")) == (
        ":0", "ubuntu:GNOME", xauthority)

    assert sandbox.tool_calls("qdl") == [qdl_argv()]
    assert seen_by_qdl(sandbox, "ws") == WORK_SPACE_FILES
    assert seen_by_qdl(sandbox, "wsmode") == ["700"]
    assert seen_by_qdl(sandbox, "shared") == ["from", "M1"]
    sandbox.log.wait_for(r"close qdl work space sueecss", start=log_mark)
    sandbox.log.wait_for(r"Directory does not exist\.", start=log_mark)
    assert not (sandbox.opt_dir / PACKAGE / "Maincode").exists()
    assert daemon.alive()


@pytest.mark.parametrize("xml, lines, status, percentages, label", [
    # No countable segment: P = 0, a success only when no image is reported.
    (program_xml(0, '  <program filename=""/>\n'), ["nothing to do"], "flash ok", [],
     SUCCESS_LABEL),
    (program_xml(0), ["img0.bin successfully"], "flash fail", [0], FAILED_LABEL),
    # An empty or missing filename and other elements are no segment.
    (program_xml(1, '  <program filename=""/>\n  <program label="x"/>\n'
                    '  <patch filename="p.bin"/>\n  <programs filename="q.bin"/>\n'),
     ["img0.bin successfully"], "flash ok", [99], SUCCESS_LABEL),
    # More images than counted fail the flash, past 99.
    (program_xml(1), ["img0.bin successfully", "img1.bin successfully"], "flash fail",
     [99, 198], FAILED_LABEL),
    # Fewer, too.
    (program_xml(2), ["img0.bin successfully"], "flash fail", [49], FAILED_LABEL),
], ids=["no-segment", "no-segment-but-image", "filename-empty-or-missing",
        "more-images-than-segments", "fewer-images-than-segments"])
def test_result_from_the_count(sandbox, xml, lines, status, percentages, label):
    make_package(sandbox, xml)
    sandbox.make_xauthority()
    fake_qdl(sandbox, lines)
    client, _ = start(sandbox)
    mark = flash(client)
    wait_end(client, mark, status, timeout=len(lines) + 10)
    assert progress(client, mark) == percentages
    assert sandbox.tool_stdin("zenity") == percentage_lines(percentages) + label
    assert not (sandbox.opt_dir / PACKAGE / "Maincode").exists()


def assert_ends(pid, what, timeout=5):
    """Returns once the process has ended (its pidfd turns readable)."""
    try:
        fd = os.pidfd_open(pid)
    except ProcessLookupError:
        return
    try:
        ready, _, _ = select.select([fd], [], [], timeout)
        assert ready, f"{what} {pid} still runs"
    finally:
        os.close(fd)


def test_waiting_for_device_stops_qdl(sandbox):
    make_package(sandbox, program_xml(3))
    sandbox.make_xauthority()
    # qdl as it behaves without a device: it would wait for ever.
    fake_qdl(sandbox, ["img0.bin successfully", "img1.bin successfully",
                       "Waiting for EDL device"],
             tail='sleep 60 & echo $! > "$t/qdl.sleep"\nwait\n')
    client, _ = start(sandbox)
    started = time.monotonic()
    mark = flash(client)
    wait_end(client, mark, "flash fail", timeout=15)
    assert time.monotonic() - started < 10

    assert progress(client, mark) == [33, 66]
    # The label says why; no result label follows.
    assert sandbox.tool_stdin("zenity") == percentage_lines([33, 66]) + NO_DEVICE_LABEL
    for pidfile in ("pid", "sleep"):
        assert_ends(int(seen_by_qdl(sandbox, pidfile)[0]), what=f"qdl {pidfile}")
    assert not (sandbox.opt_dir / PACKAGE / "Maincode").exists()


# --- the work space --------------------------------------------------------------------

def leave_stale_dir(sb, ws, outside):
    ws.mkdir()
    (ws / "stale.img").write_text("stale")
    (ws / "old").mkdir()
    (ws / "old" / "older.img").write_text("older")
    # An older run made it writable by everyone; a link into it points outside.
    (ws / "link").symlink_to("/opt/quillon/outside")
    ws.chmod(0o1332)


def leave_link(sb, ws, outside):
    ws.symlink_to("/opt/quillon/outside")


def leave_file(sb, ws, outside):
    ws.write_text("a file where the work space goes")


@pytest.mark.parametrize("leave", [leave_stale_dir, leave_link, leave_file],
                         ids=["stale-dir", "link-to-outside", "file"])
def test_left_over_work_space(sandbox, leave):
    make_package(sandbox, program_xml(1))
    outside = sandbox.opt_dir / "outside"
    outside.mkdir()
    (outside / "keep.txt").write_text("keep")
    (outside / "sub").mkdir()
    (outside / "sub" / "keep2.txt").write_text("keep")
    ws = sandbox.opt_dir / PACKAGE / "Maincode"
    leave(sandbox, ws, outside)
    before = tree(outside)
    fake_qdl(sandbox, ["img0.bin successfully"])
    client, _ = start(sandbox)
    log_mark = sandbox.log.mark()
    mark = flash(client)
    wait_end(client, mark, "flash ok")

    sandbox.log.wait_for(r"\[Warning\]: .*Directory exists\.", start=log_mark)
    assert seen_by_qdl(sandbox, "ws") == WORK_SPACE_FILES
    assert seen_by_qdl(sandbox, "wsmode") == ["700"]
    assert tree(outside) == before
    assert (outside / "keep.txt").read_text() == "keep"
    assert not os.path.lexists(ws)


def test_unparsable_xml_leaves_the_work_space(sandbox):
    make_package(sandbox, "<data>\n  <program filename='img0.bin'>\n</data>\n")
    sandbox.make_xauthority()
    fake_qdl(sandbox, ["img0.bin successfully"])
    client, daemon = start(sandbox)
    log_mark = sandbox.log.mark()
    mark = flash(client)
    wait_end(client, mark, "flash fail")
    sandbox.log.wait_for(r"\[Error\]: .*find segment from xml error", start=log_mark)
    assert "Document not parsed successfully. \n" in daemon.output()
    assert sandbox.tool_calls("qdl") == []
    assert sandbox.tool_calls("zenity") == []
    assert sorted(os.listdir(sandbox.opt_dir / PACKAGE / "Maincode")) == WORK_SPACE_FILES


def remove(rel):
    return lambda pkg: (pkg / rel).unlink()


def add_dir(rel):
    return lambda pkg: (pkg / rel).mkdir()


def only_dot_file(pkg):
    for path in (pkg / "basic_update_img").iterdir():
        path.unlink()
    (pkg / "basic_update_img" / ".hidden").write_text("x")


def no_dir(rel):
    def change(pkg):
        for path in (pkg / rel).iterdir():
            path.unlink()
        (pkg / rel).rmdir()
    return change


@pytest.mark.parametrize("change, error", [
    (no_dir("A1"), "copy ap image error"),
    (no_dir("M1"), "copy md image error"),
    (only_dot_file, "copy basic image error"),
    (add_dir("download_agent/nested"), "copy downagent error"),
    (remove("rawprogram_nand_p2K_b128K.xml"), "copy rawprogram_nand_p2K_b128K.xml error"),
], ids=["no-ap-dir", "no-md-dir", "only-dot-file", "subdirectory", "no-rawprogram"])
def test_copy_fault(sandbox, change, error):
    change(make_package(sandbox, program_xml(1)))
    fake_qdl(sandbox, ["img0.bin successfully"])
    client, _ = start(sandbox)
    log_mark = sandbox.log.mark()
    mark = flash(client)
    wait_end(client, mark, "flash fail")
    sandbox.log.wait_for(r"\[Critical\]: .*" + error, start=log_mark)
    sandbox.log.wait_for(r"quillon_creat_qdl_work_space error", start=log_mark)
    assert sandbox.tool_calls("qdl") == []
    assert not os.path.lexists(sandbox.opt_dir / PACKAGE / "Maincode")


# --- payloads --------------------------------------------------------------------------

def test_no_payload(sandbox):
    make_package(sandbox, program_xml(1))
    fake_qdl(sandbox, ["img0.bin successfully"])
    client, _ = start(sandbox)
    log_mark = sandbox.log.mark()
    mark = client.mark()
    result = client.send_mesg(3, EDL_FLASH, 5, 0, "")
    assert result.reply == ((3, EDL_FLASH), 5, 12, "edl flashing")
    wait_end(client, mark, "flash fail")
    sandbox.log.wait_for(r"\[Critical\]: .*payload == NULL", start=log_mark)
    sandbox.log.wait_for(r"\[Critical\]: .*qdl_payload_analysis error", start=log_mark)
    assert sandbox.tool_calls("qdl") == []


TRACE = "/opt/quillon/pwned"

# Text that a shell would have run: none of it may leave a trace or start anything,
# and none names a directory of the package.
HOSTILE_PAYLOADS = [
    "ap:>x;md:M1",
    "ap:$(w);md:M1",
    "ap:`w`;md:M1",
    "ap:a|b;md:M1",
    "ap:a&b;md:M1",
    "ap:a b;md:M1",
    "ap:'a';md:M1",
    'ap:"a";md:M1',
    "ap:A1\nx;md:M1",
    "ap:../;md:M1",
    f"ap:A1;md:$(touch {TRACE})",
    f"ap:A1;md:`touch {TRACE}`",
    f"ap:A1;md:$(touch {TRACE};)",
    f"ap:A1;md:M1|touch {TRACE}",
    f"ap:A1;md:M1&touch {TRACE}",
    f"ap:A1;md:M1>{TRACE}",
    f"ap:A1;md:M1 {TRACE}",
    "ap:A1;md:M1' 'x",
    'ap:A1;md:M1" "x',
    f"ap:A1;md:M1\ntouch {TRACE}",
    "ap:A1;md:../../../../etc",
    "ap:A1;md:M1/../M1",
    # Valid fields, but longer than a payload may be: refused whole, not cut.
    "ap:A1;md:M1;" + "x" * 52,
    # Fields that are too long or missing.
    "ap:A12345;md:M1",
    "ap:A1",
    "md:M1",
]


@pytest.mark.parametrize("payload", HOSTILE_PAYLOADS, ids=range(len(HOSTILE_PAYLOADS)))
def test_hostile_payload_leaves_no_trace(sandbox, payload):
    make_package(sandbox, program_xml(1))
    sandbox.make_xauthority()
    fake_qdl(sandbox, ["img0.bin successfully"])
    client, _ = start(sandbox)
    before = tree(sandbox.opt_dir, sandbox.workdir)
    mark = flash(client, payload)
    wait_end(client, mark, "flash fail")
    assert sandbox.tool_calls("qdl") == []
    assert sandbox.tool_calls("zenity") == []
    assert tree(sandbox.opt_dir, sandbox.workdir) == before


def test_extra_field_is_ignored(sandbox):
    """A ";" only separates fields: a command after it is a field of no kind."""
    make_package(sandbox, program_xml(0))
    fake_qdl(sandbox, [])
    client, _ = start(sandbox)
    before = tree(sandbox.workdir)
    mark = flash(client, f"ap:A1;md:M1;touch {TRACE}")
    wait_end(client, mark, "flash ok")
    assert sandbox.tool_calls("qdl") == [qdl_argv()]
    assert tree(sandbox.workdir) == before
    assert not os.path.lexists(sandbox.opt_dir / "pwned")


# --- one flash at a time ---------------------------------------------------------------

def test_second_request_during_a_flash(sandbox):
    make_package(sandbox, program_xml(1))
    fake_qdl(sandbox, ["img0.bin successfully"])
    client, _ = start(sandbox)
    log_mark = sandbox.log.mark()
    mark = flash(client)
    second = client.send_mesg(2, EDL_FLASH, 0, None, "ap:A2;md:M2")
    assert second.reply == ((2, EDL_FLASH), 1, 11, "ap:A2;md:M2")
    sandbox.log.wait_for(r"an EDL flash is under way", start=log_mark)
    wait_end(client, mark, "flash ok")
    assert sandbox.tool_calls("qdl") == [qdl_argv()]
    assert seen_by_qdl(sandbox, "ws") == WORK_SPACE_FILES
    # Once it has ended, the next one is taken.
    mark = flash(client, "")
    wait_end(client, mark, "flash fail")


# --- the dialog ------------------------------------------------------------------------

# X authority file names a shell would have run: "pwned" would appear in the daemon's
# working directory.
HOSTILE_XAUTHORITY = [
    ".mutter-Xwaylandauth$(touch pwned)",
    ".mutter-Xwaylandauth`touch pwned`",
    ".mutter-Xwaylandauth;touch pwned",
    ".mutter-Xwaylandauth|touch pwned",
    ".mutter-Xwaylandauth&touch pwned&",
    ".mutter-Xwaylandauth>pwned",
    ".mutter-Xwaylandauth a b",
    ".mutter-Xwaylandauth'\"q",
]


@pytest.mark.parametrize("name", HOSTILE_XAUTHORITY, ids=range(len(HOSTILE_XAUTHORITY)))
def test_hostile_xauthority_name(sandbox, name):
    make_package(sandbox, program_xml(0))
    xauthority = sandbox.make_xauthority(name=name)
    fake_qdl(sandbox, [])
    client, _ = start(sandbox)
    before = tree(sandbox.workdir, sandbox.opt_dir)
    mark = flash(client)
    wait_end(client, mark, "flash ok")
    assert sandbox.tool_calls("zenity") == [ZENITY_ARGV]
    assert sandbox.tool_identity("zenity") == (4242, 4343, [4343])
    assert sandbox.tool_env("zenity").get("XAUTHORITY") == xauthority
    assert sandbox.tool_stdin("zenity") == SUCCESS_LABEL
    assert tree(sandbox.workdir, sandbox.opt_dir) == before


def no_file(sb):
    return None


def x11_file(sb):
    return sb.make_xauthority(subdir="gdm", name="Xauthority")


def root_file(sb):
    sb.make_xauthority(uid=0, gid=0)
    return None


@pytest.mark.parametrize("make", [no_file, x11_file, root_file],
                         ids=["none", "x11-fallback", "root-owned"])
def test_dialog_user(sandbox, make):
    """The dialog runs as the X authority file's owner or not at all; the flash goes on
    either way."""
    make_package(sandbox, program_xml(1))
    xauthority = make(sandbox)
    fake_qdl(sandbox, ["img0.bin successfully"])
    client, _ = start(sandbox)
    mark = flash(client)
    wait_end(client, mark, "flash ok")
    assert progress(client, mark) == [99]
    if xauthority is None:
        assert sandbox.tool_calls("zenity") == []
    else:
        assert sandbox.tool_calls("zenity") == [ZENITY_ARGV]
        assert sandbox.tool_identity("zenity") == (4242, 4343, [4343])
        assert sandbox.tool_env("zenity").get("XAUTHORITY") == xauthority
        assert sandbox.tool_stdin("zenity") == b"99\n" + SUCCESS_LABEL
