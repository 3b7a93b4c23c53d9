# SPDX-License-Identifier: GPL-2.0-or-later
"""The demo (scripts/demo.py) as a smoke test: both daemons against the simulated
module, every signal and reply it shows checked by the demo itself."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

DEMO = Path(__file__).resolve().parents[2] / "scripts" / "demo.py"


@pytest.mark.parametrize("extra", [[], ["--logs"]], ids=["plain", "logs"])
def test_demo_runs_to_its_end(build_dir, extra):
    if os.geteuid() != 0:
        pytest.skip("the demo's sandbox needs root")
    run = subprocess.run([sys.executable, str(DEMO), "--build-dir", str(build_dir), *extra],
                         capture_output=True, text=True, timeout=180)
    assert run.returncode == 0, run.stdout + run.stderr
    out = run.stdout
    assert "demo finished: everything expected happened" in out
    for line in ('signal  cellularState("[ModemState]cellular existed!")',
                 'signal  roamRegion("roam mccmnc changed!")',
                 "$ quilctl raw 0x5000   [exit 1,",
                 "quilctl: 0x5000 failed: ERROR",
                 'signal  fastbootStatus("fastboot flash ok")',
                 'signal  edlStatus("flash ok")',
                 "cellularState [ModemState]cellular existed!",
                 "SIGTERM to quil-helper-dbus: exit status 0"):
        assert line in out, out
    assert ("| helper[" in out) == ("--logs" in extra), out
    # quilctl monitor stamps each signal it prints.
    assert re.search(r"^   \d{4}-\d\d-\d\dT[\d:.]+[+-]\d\d:\d\d edlStatus flash ok$", out, re.M), out
