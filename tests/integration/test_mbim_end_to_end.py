# SPDX-License-Identifier: GPL-2.0-or-later
"""The event road end to end: both daemons, the simulated MBIM modem behind the real
proxy, and a D-Bus client that sees the signals (module found, SIM inserted, home
network code, registered network) and gets the MBIM-backed answers of sendMesg."""

import pytest

from dbus_ready import wait_exported
from harness.udev_events import UdevEvents
from mbim_sim import kill_proxies_in, mbim_modem, netns_of  # noqa: F401

MODULE = "3f1e:0a12 Quillon KT300"
MODULE_PATH = "/devices/pci0000:00/0000:00:14.0/usb1/1-3"
MONITOR_READY = r"quil_adapter_udev_init:\d+: finished!"
MISSING = ("[ModemState]cellular missing!",)
EXISTED = ("[ModemState]cellular existed!",)
SIM_INSERTED = ("SIM inserted",)
SIM_REMOVED = ("SIM removed",)
LOCAL_CHANGED = ("local mccmnc changed!",)
ROAM_CHANGED = ("roam mccmnc changed!",)
WATCHED = ("cellularState", "simcardChange", "roamRegion")


class Road:
    def __init__(self, sb, modem):
        self.sb = sb
        self.modem = modem
        gate = sb.workdir / "lsusb.gate"
        # The start-up search waits until the object is exported, so that the first
        # signal has somewhere to go.
        sb.set_tool("lsusb", script=f'while [ ! -e "{gate}" ]; do sleep 0.05; done\n'
                                    f'echo "Bus 001 Device 002: ID {MODULE}"\n')
        self.events = UdevEvents(sb)
        sb.start_bus()
        self.client = sb.dbus_client()
        self.mbim = sb.start_mbim_helper()
        self.netns = netns_of(self.mbim.pid)
        self.dbus = sb.start_dbus_helper()
        wait_exported(self.client)
        gate.touch()

    def signals(self, start=0):
        return [(m, a) for m, a in self.client.signals[start:] if m in WATCHED]

    def close(self):
        kill_proxies_in(self.netns)


@pytest.fixture
def road(sandbox, mbim_modem):
    roads = []

    def start(scenario=None):
        modem = mbim_modem({"home_provider": "310260", "register_provider": "310410",
                            **(scenario or {})})
        r = Road(sandbox, modem)
        roads.append(r)
        return r

    yield start
    for r in roads:
        r.close()


def test_event_road_from_module_found_to_registered_network(sandbox, road):
    r = road({"ready_states": [1]})
    c = r.client
    c.wait_signal("roamRegion", timeout=20, args=ROAM_CHANGED)
    assert r.signals() == [
        ("cellularState", EXISTED),
        ("simcardChange", SIM_INSERTED),
        ("simcardChange", LOCAL_CHANGED),
        ("roamRegion", ROAM_CHANGED),
    ]
    # A new registered network reaches roamRegion; the same one again does not.
    mark = c.mark()
    r.modem.indicate("register_state", provider_id="310999")
    c.wait_signal("roamRegion", start=mark, args=ROAM_CHANGED)
    log_mark = sandbox.log.mark()
    r.modem.indicate("register_state", provider_id="310999")
    sandbox.log.wait_for(r"same roam mccmnc, abort signal emit process!", start=log_mark)
    # The SIM taken out and put back.
    r.modem.indicate("subscriber_ready", ready_state=2)
    c.wait_signal("simcardChange", start=mark, args=SIM_REMOVED)
    back = c.mark()
    r.modem.indicate("subscriber_ready", ready_state=1)
    c.wait_signal("simcardChange", start=back, args=SIM_INSERTED)
    sandbox.log.wait_for(r"same local mccmnc, abort signal emit process!", start=log_mark,
                         timeout=10)
    assert r.signals(mark) == [
        ("roamRegion", ROAM_CHANGED),
        ("simcardChange", SIM_REMOVED),
        ("simcardChange", SIM_INSERTED),
    ]


@pytest.mark.parametrize("cid,payload,expected", [
    (0x1007, "", (0, 6, "310260")),
    (0x4026, "", (0, 6, "310410")),
    (0x4027, "", (0, 1, "0")),
    (0x4028, "1", (0, 1, "1")),
    (0x4028, "2", (1, 5, "ERROR")),
])
def test_mbim_requests_through_dbus(sandbox, road, cid, payload, expected):
    r = road({"ready_states": [1]})
    r.client.wait_signal("roamRegion", timeout=20, args=ROAM_CHANGED)
    result = r.client.send_mesg(3, cid, 0, payload=payload)
    assert result.reply == ((3, cid),) + expected


def test_sim_locked_at_start_reports_no_sim(sandbox, road):
    r = road({"ready_states": [6]})
    r.client.wait_signal("cellularState", timeout=15, args=EXISTED)
    sandbox.log.wait_for(r"Duplicated ind, SIM card is locked!", timeout=15)
    # Unlocked later: the indication reports the SIM and the codes.
    r.modem.indicate("subscriber_ready", ready_state=1)
    r.client.wait_signal("simcardChange", timeout=10, args=LOCAL_CHANGED)
    assert [s for s in r.signals() if s[0] == "simcardChange"] == [
        ("simcardChange", SIM_INSERTED), ("simcardChange", LOCAL_CHANGED)]


def test_module_removed_and_back(sandbox, road):
    """Removal tears the MBIM port down without "SIM removed"; the module's return
    opens it again and the SIM is reported anew (the unchanged home code is not)."""
    r = road({"ready_states": [1]})
    c = r.client
    c.wait_signal("roamRegion", timeout=20, args=ROAM_CHANGED)
    sandbox.log.wait_for(MONITOR_READY, timeout=10)

    mark, log_mark = c.mark(), sandbox.log.mark()
    sandbox.set_lsusb([])
    r.events.remove("usb", MODULE_PATH)
    c.wait_signal("cellularState", start=mark, args=MISSING, timeout=10)
    sandbox.log.wait_for(r"quil_adapter_mbim_port_deinit:\d+: enter!", start=log_mark,
                         timeout=10)
    assert r.signals(mark) == [("cellularState", MISSING)]

    mark, log_mark = c.mark(), sandbox.log.mark()
    sandbox.set_lsusb([MODULE])
    r.events.add("usb", MODULE_PATH)
    c.wait_signal("cellularState", start=mark, args=EXISTED, timeout=15)
    sandbox.log.wait_for(r"mbim port init finished! flag:1", start=log_mark, timeout=15)
    r.modem.indicate("subscriber_ready", ready_state=1)
    c.wait_signal("simcardChange", start=mark, args=SIM_INSERTED)
    sandbox.log.wait_for(r"same local mccmnc, abort signal emit process!", start=log_mark,
                         timeout=10)
    assert r.signals(mark) == [("cellularState", EXISTED), ("simcardChange", SIM_INSERTED)]
    assert r.client.send_mesg(4, 0x1007).reply == ((4, 0x1007), 0, 6, "310260")
