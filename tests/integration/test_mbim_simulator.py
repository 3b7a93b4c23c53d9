# SPDX-License-Identifier: GPL-2.0-or-later
"""The simulated MBIM modem read by a client nobody here wrote: mbimcli through the
real mbim-proxy, inside the sandbox's network namespace, must show the scenario's
values."""

import re

import pytest

from mbim_sim import PROXY, MbimModem, kill_proxies_in  # noqa: F401

QUERIES = {
    "ready": "--query-subscriber-ready-status",
    "home": "--query-home-provider",
    "register": "--query-registration-state",
    "slots": "--ms-query-device-slot-mappings",
    "caps": "--query-device-caps",
}

CASES = [
    pytest.param(
        {"ready_states": [1], "subscriber_id": "310260000000001", "home_provider": "310260",
         "register_provider": "310410", "slot_mappings": [1]},
        {"ready": [r"Ready state: 'initialized'", r"Subscriber ID: '310260000000001'"],
         "home": [r"Provider ID: '310260'"],
         "register": [r"Register state: 'home'", r"Provider ID: '310410'"],
         "slots": [r"Executor '0': slot '1'"],
         "caps": [r"Hardware info: 'QuilSim'"]},
        id="registered-one-slot"),
    pytest.param(
        {"ready_states": [2], "home_provider_errors": -1, "register_state": 2,
         "register_provider": "", "slot_mappings": [0, 1]},
        {"ready": [r"Ready state: 'sim-not-inserted'"],
         "home": [r"error: operation failed: Failure"],
         "register": [r"Register state: 'searching'", r"Provider ID: 'unknown'"],
         "slots": [r"Executor '0': slot '0'", r"Executor '1': slot '1'"]},
        id="searching-two-slots-home-error"),
    pytest.param(
        # Every answer cut into fragments of at most 64 bytes.
        {"fragment_size": 64, "home_provider": "46011", "register_provider": "46011"},
        {"home": [r"Provider ID: '46011'"],
         "caps": [r"Device ID: '860000000000001'", r"Firmware info: 'SIMFW 1.0'"],
         "register": [r"Provider ID: '46011'"]},
        id="fragmented"),
]


def sandbox_netns(sb):
    out = sb.run(["readlink", "/proc/self/ns/net"]).stdout
    match = re.search(r"\[(\d+)\]", out)
    return int(match.group(1)) if match else None


@pytest.mark.parametrize("scenario,expected", CASES)
def test_mbimcli_reads_the_scenario(sandbox, scenario, expected):
    modem = MbimModem(sandbox, scenario)
    netns = sandbox_netns(sandbox)
    try:
        for query, patterns in expected.items():
            result = sandbox.run(["mbimcli", "-p", "-d", "/dev/cdc-wdm0", QUERIES[query]],
                                 timeout=40)
            text = result.stdout + result.stderr
            for pattern in patterns:
                assert re.search(pattern, text), f"{query}: {pattern!r} not in\n{text}"
        received = modem.received()
        # The proxy opens the device once, however many clients came.
        assert [e["type"] for e in received].count("open") == 1
        names = {e.get("name") for e in received}
        assert {"home_provider", "device_caps"} & names
    finally:
        kill_proxies_in(netns)
        modem.stop()


def test_mbimcli_sees_a_slot_switch(sandbox):
    modem = MbimModem(sandbox, {"slot_mappings": [0]})
    netns = sandbox_netns(sandbox)
    try:
        result = sandbox.run(["mbimcli", "-p", "-d", "/dev/cdc-wdm0",
                              "--ms-set-device-slot-mappings=1"], timeout=40)
        assert re.search(r"Executor '0': slot '1'", result.stdout), result.stdout + result.stderr
        result = sandbox.run(["mbimcli", "-p", "-d", "/dev/cdc-wdm0",
                              "--ms-query-device-slot-mappings"], timeout=40)
        assert re.search(r"Executor '0': slot '1'", result.stdout), result.stdout + result.stderr
    finally:
        kill_proxies_in(netns)
        modem.stop()
