# SPDX-License-Identifier: GPL-2.0-or-later
"""What an installation puts on a laptop: the udev rules (read the way udev reads them
and played against the devices of a module and of its neighbours) and the tree that
`meson install --destdir` lays out."""

import configparser
import fnmatch
import json
import re
import shutil
import subprocess
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
RULES = REPO / "data" / "77-quil-helper.rules"
UNITS = ("quil-helper-mbim.service", "quil-helper-dbus.service")

# --- udev rules ------------------------------------------------------------------------

_TOKEN = re.compile(r'\s*([A-Z_]+(?:\{[^}]*\})?)\s*(==|!=|\+=|-=|:=|=)\s*"([^"]*)"\s*(?:,|$)')
MATCH_KEYS = re.compile(r"(ACTION|SUBSYSTEM|KERNEL|DEVPATH|ENV\{\w+\}|ATTR\{\w+\}|ATTRS\{\w+\})$")
ASSIGN_KEYS = re.compile(r"(ENV\{\w+\}|TAG|GOTO|LABEL)$")


def parse_rules(text):
    """[(line number, [(key, op, value), ...])]; AssertionError on a line udev would
    not read as we mean it."""
    rules = []
    for n, line in enumerate(text.splitlines(), start=1):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        tokens, pos = [], 0
        while pos < len(line):
            m = _TOKEN.match(line, pos)
            assert m, f"line {n}: cannot read {line[pos:]!r}"
            tokens.append(m.groups())
            pos = m.end()
        for key, op, _ in tokens:
            if op in ("==", "!="):
                assert MATCH_KEYS.match(key), f"line {n}: unexpected match key {key}"
            else:
                assert ASSIGN_KEYS.match(key), f"line {n}: unexpected assignment {key}{op}"
        rules.append((n, tokens))
    return rules


def value_matches(pattern, value):
    # udev: shell glob, "|" separates alternatives.
    return value is not None and any(fnmatch.fnmatchcase(value, p) for p in pattern.split("|"))


class Device:
    """What udev sees of an event: the device's own keys and its parents' ATTRS."""

    def __init__(self, subsystem, kernel, action="add", env=None, attr=None, parents=()):
        self.keys = {"ACTION": action, "SUBSYSTEM": subsystem, "KERNEL": kernel}
        self.env = dict(env or {})
        self.attr = dict(attr or {})
        self.chain = [self.attr, *parents]  # ATTRS: one device of the chain has all
        self.tags = set()

    def lookup(self, key):
        if key.startswith("ENV{"):
            return self.env.get(key[4:-1])
        if key.startswith("ATTR{"):
            return self.attr.get(key[5:-1])
        return self.keys.get(key)


def run_rules(rules, dev):
    """Applies the rules to dev as udev does (matches, then assignments; GOTO skips to
    its LABEL)."""
    skip_to = None
    for _, tokens in rules:
        label = next((v for k, _, v in tokens if k == "LABEL"), None)
        if skip_to is not None:
            if label == skip_to:
                skip_to = None
            continue
        matches = [(k, op, v) for k, op, v in tokens if op in ("==", "!=")]
        attrs = [(k[6:-1], op, v) for k, op, v in matches if k.startswith("ATTRS{")]
        ok = all((op == "==") == value_matches(v, dev.lookup(k))
                 for k, op, v in matches if not k.startswith("ATTRS{"))
        if attrs:
            ok = ok and any(all((op == "==") == value_matches(v, a.get(k)) for k, op, v in attrs)
                            for a in dev.chain)
        if not ok:
            continue
        for key, op, value in tokens:
            if key == "GOTO":
                skip_to = value
            elif key == "TAG":
                dev.tags.add(value)
            elif key.startswith("ENV{"):
                name = key[4:-1]
                if op == "+=" and dev.env.get(name):
                    dev.env[name] = f"{dev.env[name]} {value}"
                elif op in ("=", ":=", "+="):
                    dev.env[name] = value
    return dev


def usb_parents(vid, pid, interface="00"):
    return [{"bInterfaceNumber": interface}, {"idVendor": vid, "idProduct": pid}]


def usb_device(vid, pid, action="add"):
    return Device("usb", "1-3", action=action, env={"DEVTYPE": "usb_device"},
                  attr={"idVendor": vid, "idProduct": pid})


@pytest.fixture(scope="module")
def rules():
    return parse_rules(RULES.read_text())


# (what, device, ModemManager told to ignore it)
PORTS = [
    ("AT port of 3f1e:0a12", lambda: Device("tty", "ttyUSB1", parents=usb_parents("3f1e", "0a12", "02")), True),
    ("AT port of 3f1e:0a14", lambda: Device("tty", "ttyUSB1", parents=usb_parents("3f1e", "0a14", "02")), True),
    ("AT port of a PCIe module", lambda: Device("wwan", "wwan0at0"), True),
    ("MBIM port of 3f1e:0a12", lambda: Device("usbmisc", "cdc-wdm0", parents=usb_parents("3f1e", "0a12")), False),
    ("MBIM port of a PCIe module", lambda: Device("wwan", "wwan0mbim0"), False),
    ("another maker's serial port", lambda: Device("tty", "ttyUSB1", parents=usb_parents("1199", "9071", "02")), False),
    ("a tty of the vendor's other product", lambda: Device("tty", "ttyUSB0", parents=usb_parents("3f1e", "f00f")), False),
]


@pytest.mark.parametrize("what, make, ignored", PORTS, ids=[p[0] for p in PORTS])
def test_modem_manager_keeps_away_from_the_at_port_only(rules, what, make, ignored):
    dev = run_rules(rules, make())
    assert (dev.env.get("ID_MM_PORT_IGNORE") == "1") == ignored, dev.env


WANTS = {"quil-helper-mbim.service", "quil-helper-dbus.service"}
# (what, device, both helpers started)
ARRIVALS = [
    ("3f1e:0a12", lambda: usb_device("3f1e", "0a12"), True),
    ("3f1e:0a13", lambda: usb_device("3f1e", "0a13"), True),
    ("4a7d:8115", lambda: usb_device("4a7d", "8115"), True),
    ("fastboot mode 3f1e:f00f", lambda: usb_device("3f1e", "f00f"), True),
    ("PCIe module's AT port", lambda: Device("wwan", "wwan0at0"), True),
    ("module's change event", lambda: usb_device("3f1e", "0a12", action="change"), True),
    ("a mouse", lambda: usb_device("046d", "c077"), False),
    ("an interface of the module", lambda: Device("usb", "1-3:1.0", env={"DEVTYPE": "usb_interface"},
                                                  attr={"bInterfaceNumber": "00"},
                                                  parents=[{"idVendor": "3f1e", "idProduct": "0a12"}]), False),
    ("module removed", lambda: usb_device("3f1e", "0a12", action="remove"), False),
]


@pytest.mark.parametrize("what, make, started", ARRIVALS, ids=[a[0] for a in ARRIVALS])
def test_the_module_starts_both_helpers(rules, what, make, started):
    dev = run_rules(rules, make())
    wants = set(dev.env.get("SYSTEMD_WANTS", "").split())
    if started:
        assert "systemd" in dev.tags and wants == WANTS, (dev.tags, dev.env)
    else:
        assert "systemd" not in dev.tags and not wants, (dev.tags, dev.env)


def test_rules_run_before_modem_manager_reads_them():
    # ModemManager decides on its ports in 80-mm-candidate.rules.
    assert RULES.name < "80-mm-candidate.rules"


def test_udevadm_verify_accepts_the_rules():
    udevadm = shutil.which("udevadm")
    if udevadm is None:
        pytest.skip("no udevadm")
    probe = subprocess.run([udevadm, "verify", "--help"], capture_output=True, text=True)
    if probe.returncode != 0:
        pytest.skip("this udevadm has no verify (systemd < 253)")
    result = subprocess.run([udevadm, "verify", str(RULES)], capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr


# --- the installed tree ----------------------------------------------------------------


def meson_options(build_dir):
    out = subprocess.run(["meson", "introspect", "--buildoptions", str(build_dir)],
                         capture_output=True, text=True, check=True).stdout
    return {o["name"]: o["value"] for o in json.loads(out)}


def built_targets(build_dir):
    out = subprocess.run(["meson", "introspect", "--targets", str(build_dir)],
                         capture_output=True, text=True, check=True).stdout
    return {t["name"] for t in json.loads(out)}


@pytest.fixture(scope="module")
def installed(build_dir, tmp_path_factory):
    """(destdir, prefix) of a `meson install` of the build into a fresh DESTDIR."""
    dest = tmp_path_factory.mktemp("destdir")
    result = subprocess.run(["meson", "install", "-C", str(build_dir), "--destdir", str(dest),
                             "--no-rebuild", "--quiet"], capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
    return dest, Path(meson_options(build_dir)["prefix"])


def one_file(dest, pattern):
    found = sorted(p for p in dest.rglob("*") if p.is_file() and fnmatch.fnmatch(
        "/" + str(p.relative_to(dest)), pattern))
    assert len(found) == 1, f"{pattern}: {found}"
    return found[0]


def read_unit(path):
    # Units repeat no keys here; the first-level keys are what systemd reads.
    parser = configparser.ConfigParser(strict=False, interpolation=None)
    parser.optionxform = str
    parser.read_string(path.read_text())
    return parser


def test_programs_are_installed_in_sbin(installed):
    dest, prefix = installed
    for program in ("quil-helper-dbus", "quil-helper-mbim"):
        path = dest / str(prefix).lstrip("/") / "sbin" / program
        assert path.is_file() and path.stat().st_mode & 0o111, path


def test_bus_policy_and_activation_file_name_the_service(installed):
    dest, _ = installed
    policy = ET.parse(one_file(dest, "*/share/dbus-1/system.d/com.quillon.helper.conf"))
    owners = [p.get("user") for p in policy.getroot().iter("policy")
              if any(a.get("own") == "com.quillon.helper" for a in p.iter("allow"))]
    assert owners == ["root"]
    activation = read_unit(one_file(dest, "*/share/dbus-1/system-services/com.quillon.helper.service"))
    assert dict(activation["D-BUS Service"]) == {
        "Name": "com.quillon.helper", "Exec": "/bin/false", "User": "root",
        "SystemdService": "quil-helper-dbus.service"}


def test_units_start_on_demand_and_share_the_queues(installed):
    dest, prefix = installed
    units = {name: read_unit(one_file(dest, f"*/systemd/system/{name}")) for name in UNITS}
    mbim, dbus = units["quil-helper-mbim.service"], units["quil-helper-dbus.service"]
    for name, unit in units.items():
        program = name.removesuffix(".service")
        assert unit["Service"]["ExecStart"] == f"{prefix}/sbin/{program}"
        assert unit["Service"]["PrivateIPC"] == "yes"
        # Not pulled in at every boot: the udev rule and the bus start them.
        assert "WantedBy" not in (unit["Install"] if unit.has_section("Install") else {})
    # One working directory and one IPC namespace: the queue keys come from both.
    assert mbim["Service"]["WorkingDirectory"] == dbus["Service"]["WorkingDirectory"]
    assert mbim["Unit"]["JoinsNamespaceOf"] == "quil-helper-dbus.service"
    assert dbus["Unit"]["JoinsNamespaceOf"] == "quil-helper-mbim.service"
    # Beside ModemManager: after it, and mbim-proxy outlives the helper.
    assert "ModemManager.service" in mbim["Unit"]["After"].split()
    assert "ModemManager.service" not in mbim["Unit"].get("Wants", "").split()
    assert mbim["Service"]["KillMode"] == "process"
    # D-Bus activation.
    assert dbus["Service"]["Type"] == "dbus"
    assert dbus["Service"]["BusName"] == "com.quillon.helper"
    assert dbus["Install"]["Alias"] == "dbus-com.quillon.helper.service"


def test_udev_rules_are_installed(installed):
    dest, _ = installed
    assert one_file(dest, "*/udev/rules.d/77-quil-helper.rules").read_text() == RULES.read_text()


def test_man_pages_are_installed_when_built(installed, build_dir):
    targets = built_targets(build_dir)
    pages = {"quil-helper-dbus.8": "man8", "quil-helper-mbim.8": "man8", "quilctl.1": "man1"}
    if not set(pages) & targets:
        pytest.skip("built without scdoc")
    dest, _ = installed
    for page, section in pages.items():
        text = one_file(dest, f"*/share/man/{section}/{page}").read_text()
        assert text.startswith(".") and page.split(".")[0] in text


def test_quilctl_and_its_completion_are_installed_when_built(installed, build_dir):
    if "quilctl" not in built_targets(build_dir):
        pytest.skip("no quilctl in this build")
    dest, prefix = installed
    assert (dest / str(prefix).lstrip("/") / "bin" / "quilctl").is_file()
    completions = [p for p in dest.rglob("*") if p.parent.name == "completions" and
                   "bash-completion" in str(p)]
    assert [p.name for p in completions] == ["quilctl"]
