# SPDX-License-Identifier: GPL-2.0-or-later
"""Who may do what: every sendMesg is checked with polkit (a python-dbusmock stand-in on
the private bus, harness/polkit.py) by the class of its command id before anything is
done. A refusal answers AccessDenied naming the action and leaves the module untouched;
without polkit only queries are served; a check that never answers holds up nobody
else; a plain yes is reused for a few seconds per caller and action."""

import pathlib
import sys
import threading
import xml.etree.ElementTree as ET

import pytest
from gi.repository import Gio, GLib

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "sim"))
import at_modem  # noqa: E402
from dbus_ready import wait_exported  # noqa: E402
from harness.polkit import ALLOW_USER_INTERACTION  # noqa: E402
from test_dbus_helper import ValueRecorder  # noqa: E402

QUERY, CONFIGURE, FLASH = (f"com.quillon.helper.{a}" for a in ("query", "configure", "flash"))
PORT_STATE, HW_RESET, EDL_FLASH, IMEI, FLIGHT_MODE = 0x2001, 0x2003, 0x2004, 0x1006, 0x4020
ACCESS_DENIED = "org.freedesktop.DBus.Error.AccessDenied"
LSUSB_MODULE = ["3f1e:0a12 Quillon KT300-WW-00"]
LSUSB_DOWNLOAD_MODE = ["05c6:9008 Qualcomm QDL mode"]
SKU, GPIO = "0CBD", 883
MBIM_IDENT = "helper_mbim_analyzer"
POLICY_FILE = "data/com.quillon.helper.policy"


class Rig:
    """Both daemons, the simulated AT port of a fitted module, the reset line's value
    file and a client; polkit as the test asks for it."""

    def __init__(self, sb):
        self.sb = sb
        self.modem = self.gpio = self.client = None
        self.daemons = []

    def start(self, polkit, lsusb):
        sb = self.sb
        sb.set_lsusb(lsusb)
        sb.set_tool("dmidecode", stdout=f"System Information\n\tSKU Number: {SKU}\n")
        self.modem = at_modem.AtModem(sb.root)
        sb.link_dev("ttyUSB1", self.modem.slave)
        self.gpio = ValueRecorder(sb.gpio_dir / f"gpio{GPIO}" / "value")
        sb.start_bus(polkit=polkit)
        self.client = sb.dbus_client()
        self.daemons.append(sb.start_mbim_helper())
        sb.log.wait_for(r"Enter to loop: get request and deal!", timeout=10)
        self.daemons.append(sb.start_dbus_helper())
        wait_exported(self.client)
        self.gpio.wait_for(b"1\n")  # the idle level, set at start-up

    def touched(self, cid, start):
        """What reached the module since log position start: AT bytes, a request in the
        MBIM helper, writes to the reset line."""
        self.sb.log.sync()
        return {
            "at": self.modem.received(),
            "mbim request": self.sb.log.count(rf"cid: 0x{cid:04x}$", start, ident=MBIM_IDENT),
            "reset line": self.gpio.data[len(b"1\n"):],
        }

    def close(self):
        for daemon in self.daemons:
            daemon.stop_checked()
        if self.gpio is not None:
            self.gpio.close()
        if self.modem is not None:
            self.modem.stop()


@pytest.fixture
def rig(sandbox):
    made = []

    def start(polkit="allow", lsusb=LSUSB_MODULE):
        made.append(Rig(sandbox))
        made[-1].start(polkit, lsusb)
        return made[-1]

    yield start
    for r in made:
        r.close()


def denied(excinfo):
    """(error name, message) of a refused call."""
    err = excinfo.value
    name = Gio.DBusError.get_remote_error(err)
    return name, err.message.removeprefix(f"GDBus.Error:{name}: ")


UNTOUCHED = {"at": b"", "mbim request": 0, "reset line": b""}

# One row per action: the command, the module's USB mode, the reply when allowed, and
# what the module saw of it then.
ACTION_ROWS = [
    pytest.param(QUERY, IMEI, "", LSUSB_MODULE, (0, "861234560123456"),
                 {"at": b"AT+CGSN\r\n\r\n", "mbim request": 1, "reset line": b""}, id="query-imei"),
    pytest.param(CONFIGURE, FLIGHT_MODE, "1", LSUSB_MODULE, (0, "OK"),
                 {"at": b"AT+GTFMODE=1\r\n\r\n", "mbim request": 1, "reset line": b""},
                 id="configure-flight-mode"),
    pytest.param(CONFIGURE, HW_RESET, "", LSUSB_MODULE, (0, "reset_modem_hw_success"),
                 {"at": b"", "mbim request": 0, "reset line": b"0\n1\n"}, id="configure-hw-reset"),
    # In download mode the EDL flash starts here (and fails at once on this payload).
    pytest.param(FLASH, EDL_FLASH, "pkg", LSUSB_DOWNLOAD_MODE, (0, "edl flashing"), UNTOUCHED,
                 id="flash-edl"),
]


@pytest.mark.parametrize("allowed", [True, False], ids=["allowed", "refused"])
@pytest.mark.parametrize("action, cid, payload, lsusb, reply, effect", ACTION_ROWS)
def test_polkit_table(sandbox, rig, action, cid, payload, lsusb, reply, effect, allowed):
    r = rig(polkit="deny", lsusb=lsusb)
    # Only this row's action is allowed: a cid checked as another action is refused.
    sandbox.polkit.set_allowed([action] if allowed else [])
    mark = sandbox.log.mark()
    if allowed:
        result = r.client.send_mesg(3, cid, 0, None, payload)
        assert (result.serviceid, result.cid, result.rtcode, result.payload) == (3, cid, *reply)
        if effect["reset line"]:
            r.gpio.wait_for(b"1\n" + effect["reset line"])
        if effect["at"]:
            r.modem.wait_received(effect["at"])
        assert r.touched(cid, mark) == effect
    else:
        with pytest.raises(GLib.Error) as excinfo:
            r.client.send_mesg(3, cid, 0, None, payload)
        assert denied(excinfo) == (ACCESS_DENIED,
                                   f"Not authorized for {action} (command id 0x{cid:04x})")
        sandbox.log.wait_for(rf"\[Error\]: .*refused cid: 0x{cid:04x} of uid 0 "
                             rf"\({action}\): not authorized$", start=mark)
        assert r.touched(cid, mark) == UNTOUCHED
    (check,) = sandbox.polkit.checks()
    assert check == (
        "system-bus-name", r.client.connection.get_unique_name(), action, 0)
    # The action the daemon asks for is one the installed policy file declares.
    declared = [a.get("id") for a in ET.parse(sandbox.repo / POLICY_FILE).getroot()]
    assert action in declared


def test_refusal_names_the_callers_uid(sandbox, rig):
    """A user without the right (nobody: the bus drops callers whose uid has no
    account): the bus lets every user call the interface, polkit says no, the log line
    carries that user's uid."""
    rig(polkit="deny")
    mark = sandbox.log.mark()
    result = sandbox.run(
        ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "gdbus", "call",
         "--system", "--dest", "com.quillon.helper", "--object-path", "/com/quillon/helper",
         "--method", "com.quillon.helper.sendMesg", f"((1, {HW_RESET}), 0, 0, '')"],
        env={"HOME": "/"})
    assert result.returncode != 0
    assert f"{ACCESS_DENIED}: Not authorized for {CONFIGURE}" in result.stderr
    sandbox.log.wait_for(rf"refused cid: 0x2003 of uid 65534 \({CONFIGURE}\)", start=mark)
    (check,) = sandbox.polkit.checks()
    assert check.action == CONFIGURE


def call_interactive(client, cid):
    """sendMesg with the flag that lets polkit ask the user."""
    return client.connection.call_sync(
        "com.quillon.helper", "/com/quillon/helper", "com.quillon.helper", "sendMesg",
        GLib.Variant("(((ii)iis))", (((1, cid), 0, 0, ""),)), None,
        Gio.DBusCallFlags.ALLOW_INTERACTIVE_AUTHORIZATION, 10000, None).unpack()[0]


def test_interactive_caller_may_be_prompted_and_its_yes_is_not_reused(sandbox, rig):
    r = rig(polkit="allow", lsusb=[])
    for _ in range(2):
        assert call_interactive(r.client, PORT_STATE) == ((1, PORT_STATE), 0, 7, "noport\n")
    checks = sandbox.polkit.checks()
    assert [(c.action, c.flags) for c in checks] == [(QUERY, ALLOW_USER_INTERACTION)] * 2


@pytest.mark.parametrize("gone", ["absent", "left"])
def test_without_polkit_only_queries_are_served(sandbox, rig, gone):
    r = rig(polkit=None if gone == "absent" else "allow")
    if gone == "left":
        # The daemon found polkit once (its first check), then polkit went away.
        assert r.client.send_mesg(1, IMEI).payload == "861234560123456"
        sandbox.polkit.stop()
        r.client.close()
        r.client = sandbox.dbus_client()  # a new caller: no answer to reuse
    mark = sandbox.log.mark()
    assert r.client.send_mesg(2, IMEI).payload == "861234560123456"
    sandbox.log.wait_for(rf"\[Warning\]: .*allowed cid: 0x1006 as a query \({QUERY}\): "
                         r"polkit is not on the bus$", start=mark)
    for cid, payload, action in ((FLIGHT_MODE, "1", CONFIGURE), (HW_RESET, "", CONFIGURE),
                                 (EDL_FLASH, "pkg", FLASH)):
        start = sandbox.log.mark()
        before = r.modem.received()
        with pytest.raises(GLib.Error) as excinfo:
            r.client.send_mesg(2, cid, 0, None, payload)
        assert denied(excinfo)[0] == ACCESS_DENIED
        sandbox.log.wait_for(rf"\[Error\]: .*refused cid: 0x{cid:04x} of uid 0 \({action}\): "
                             r"polkit is not on the bus$", start=start)
        assert r.modem.received() == before
    assert r.touched(FLIGHT_MODE, mark)["reset line"] == b""


def in_thread(fn, *args):
    """Runs fn(*args) in a thread; .result() waits for its return value (or raises)."""
    out = {}

    def run():
        try:
            out["value"] = fn(*args)
        except Exception as exc:  # handed to result()
            out["error"] = exc

    t = threading.Thread(target=run, daemon=True)
    t.start()

    def result(timeout=15):
        t.join(timeout)
        assert not t.is_alive(), f"{fn} still waiting after {timeout} s"
        if "error" in out:
            raise out["error"]
        return out["value"]

    t.result = result
    return t


def test_check_that_never_answers_holds_up_nobody_else(sandbox, rig):
    """Every sendMesg is checked, queries too (an administrator may narrow the query
    action). With polkit silent, a waiting check must not stop the daemon's loop: other
    method calls, signals and the next caller's check go on meanwhile."""
    r = rig(polkit="hang", lsusb=[])
    waiting = in_thread(r.client.send_mesg, 1, HW_RESET, 0, 0, "", 40)
    (first,) = sandbox.polkit.wait_checks(1)
    other = sandbox.dbus_client()
    # Calls answered from the same loop (a blocked loop would let them time out).
    other.connection.call_sync("com.quillon.helper", "/com/quillon/helper",
                               "org.freedesktop.DBus.Peer", "Ping", None, None,
                               Gio.DBusCallFlags.NONE, 5000, None)
    with pytest.raises(GLib.Error, match="UnknownMethod"):
        other.call("getVersion", "1.0.8", timeout=5)
    wait_exported(other)
    # A signal made of a control message.
    sandbox.queues.send_control(1, 0x11, b"SIM inserted")
    other.wait_signal("simcardChange", args=("SIM inserted",))
    # A second caller's check is started while the first one waits.
    queried = in_thread(other.send_mesg, 2, PORT_STATE, 0, 0, "", 40)
    second = sandbox.polkit.wait_checks(2)[1]
    assert (first.action, first.bus_name) == (CONFIGURE, r.client.connection.get_unique_name())
    assert (second.action, second.bus_name) == (QUERY, other.connection.get_unique_name())
    sandbox.polkit.release()
    assert queried.result().reply == ((2, PORT_STATE), 0, 7, "noport\n")
    assert waiting.result().payload == "reset_modem_hw_success"


@pytest.mark.slow
def test_check_unanswered_for_30_seconds_fails_closed_unless_query(sandbox, rig):
    r = rig(polkit="hang", lsusb=[])
    other = sandbox.dbus_client()
    mark = sandbox.log.mark()
    reset = in_thread(r.client.send_mesg, 1, HW_RESET, 0, 0, "", 45)
    query = in_thread(other.send_mesg, 2, PORT_STATE, 0, 0, "", 45)
    sandbox.polkit.wait_checks(2)
    answered = query.result(45)
    assert answered.reply == ((2, PORT_STATE), 0, 7, "noport\n")
    assert 29 < answered.elapsed < 40
    with pytest.raises(GLib.Error) as excinfo:
        reset.result(45)
    assert denied(excinfo)[0] == ACCESS_DENIED
    sandbox.log.wait_for(r"allowed cid: 0x2001 as a query .*: polkit did not answer within "
                         r"30 s$", start=mark)
    sandbox.log.wait_for(r"refused cid: 0x2003 of uid 0 .*: polkit did not answer within 30 s$",
                         start=mark)
    assert r.gpio.data == b"1\n"


def test_plain_yes_reused_per_caller_until_polkit_changes(sandbox, rig):
    r = rig(polkit="allow", lsusb=[])
    for _ in range(20):
        assert r.client.send_mesg(1, PORT_STATE).payload == "noport\n"
    # A reset is another action: checked on its own.
    assert r.client.send_mesg(1, HW_RESET).payload == "reset_modem_hw_success"
    other = sandbox.dbus_client()
    assert other.send_mesg(2, PORT_STATE).payload == "noport\n"
    me, them = r.client.connection.get_unique_name(), other.connection.get_unique_name()
    assert [(c.bus_name, c.action) for c in sandbox.polkit.checks()] == [
        (me, QUERY), (me, CONFIGURE), (them, QUERY)]
    # polkit's rules change (its Changed signal): no earlier yes holds.
    sandbox.polkit.allow_unknown(False)
    sandbox.polkit.emit_changed()
    with pytest.raises(GLib.Error) as excinfo:
        r.client.send_mesg(1, PORT_STATE)
    assert denied(excinfo)[0] == ACCESS_DENIED
    # A refusal is never reused.
    sandbox.polkit.allow_unknown(True)
    assert r.client.send_mesg(1, PORT_STATE).payload == "noport\n"
    assert len(sandbox.polkit.checks()) == 5
