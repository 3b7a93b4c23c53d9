# SPDX-License-Identifier: GPL-2.0-or-later
"""Fastboot flashing rigs: a firmware package tree under the sandbox's /opt/quillon, a
scripted fake `fastboot`, a fake `lsusb` that follows the module into its bootloader
and back, and a collector of everything the MBIM helper puts on queue 1.

    pkg = make_package(sb, ap="A1", modem="M1", op="P1")   # image files of the groups
    script_fastboot(sb, {"boot": FAIL, "system": LONG})    # per partition, default OK
    follow_module(sb, modem.record_file)                   # lsusb per the module's state
    with QueueCollector(sb) as q1: ...                     # queue 1 read continuously
"""

import threading
import time
from pathlib import Path

from .queues import QueueClient

# The package directory as the daemons see it, and where the sandbox keeps it.
PACKAGE_DIR = "/opt/quillon/quil_fw_pkg/FwPackage/"
AP_IMAGES = [("aboot", "appsboot.mbn"), ("boot", "sdxnightjar-boot.img"),
             ("system", "sdxnightjar-sysfs.ubi"), ("userdata", "sdxnightjar-usrfs.ubi")]

LSUSB_NORMAL = "Bus 001 Device 002: ID 3f1e:0a12 Quillon KT300-WW-00"
LSUSB_FASTBOOT = "Bus 001 Device 003: ID 3f1e:f00f Quillon Quillon KT300 Modem"
REBOOT_COMMAND = b"at+syscmd=sys_reboot bootloader"

# Outcomes of one `fastboot flash` step.
OK = "ok"          # a short success, "Finished" on standard error
LONG = "long"      # 100 KiB on standard output before the "Finished" line
FAIL = "fail"      # an error text and status 1
SILENT_FAIL = "silent"  # status 0 but no "Finished" line
FINISHED = "Finished. Total time: 0.123s"

_FASTBOOT_SCRIPT = r"""
case "$1" in
flash)
  o=ok
  if [ -e "$t/fastboot.outcome.$2" ]; then read o < "$t/fastboot.outcome.$2"; fi
  if [ ! -f "$3" ]; then
    echo "error: cannot load '$3': No such file or directory" >&2
    exit 1
  fi
  case "$o" in
  ok)
    echo "Sending '$2' (4 KB)"
    echo "OKAY [  0.050s]"
    echo "Writing '$2'"
    echo "OKAY [  0.070s]"
    echo "FINISHED" >&2
    exit 0;;
  long)
    head -c 102400 /dev/zero | tr '\0' 'x'
    echo
    echo "FINISHED" >&2
    exit 0;;
  fail)
    echo "Sending '$2' (4 KB)"
    echo "FAILED (remote: 'partition table doesn't exist')" >&2
    echo "fastboot: error: Command failed" >&2
    exit 1;;
  silent)
    echo "Writing '$2'"
    exit 0;;
  esac;;
reboot)
  echo "Rebooting"
  echo "FINISHED" >&2
  exit 0;;
esac
exit 1
""".replace("FINISHED", FINISHED)


def package_root(sb):
    """The host path of /opt/quillon/quil_fw_pkg/FwPackage/ of the sandbox."""
    return Path(sb.opt_dir) / "quil_fw_pkg" / "FwPackage"


def image_paths(ap=None, modem=None, dev=None, oem=None, op=None, root=PACKAGE_DIR,
                default_dev=False):
    """[(partition, image path as the daemon sees it)] in flashing order."""
    steps = []
    if ap is not None:
        steps += [(part, f"{root}{ap}/{image}") for part, image in AP_IMAGES]
        steps.append(("sbl", f"{root}basic_update_img/sbl1.mbn"))
    if modem is not None:
        steps.append(("modem", f"{root}{modem}/NON-HLOS.ubi"))
    if dev is not None:
        if default_dev:
            steps.append(("devicepack", f"{root}OEM_OTA_{dev.split('_', 1)[1]}/devicepack.ubi"))
        else:
            steps.append(("devicepack", f"{root}DEV_OTA_PACKAGE/{dev}/devicepack.ubi"))
    if oem is not None:
        steps.append(("oempack", f"{root}OEM_OTA_{oem}/oempack.ubi"))
    if op is not None:
        steps.append(("operatorpack", f"{root}OP_OTA_{op}/operatorpack.ubi"))
    return steps


def make_package(sb, **groups):
    """Creates the image files of the named groups (image_paths' arguments) in the
    default package directory; returns image_paths(...) for them."""
    steps = image_paths(**groups)
    root = package_root(sb)
    for _part, path in steps:
        host = root / path[len(PACKAGE_DIR):]
        host.parent.mkdir(parents=True, exist_ok=True)
        host.write_bytes(b"image " + path.encode())
    return steps


def script_fastboot(sb, outcomes=None):
    """The fake fastboot: `flash <partition> <image>` fails when the image file does
    not exist, otherwise plays outcomes.get(partition, OK); `reboot` succeeds."""
    for old in Path(sb.tools_dir).glob("fastboot.outcome.*"):
        old.unlink()
    for partition, outcome in (outcomes or {}).items():
        (Path(sb.tools_dir) / f"fastboot.outcome.{partition}").write_text(outcome + "\n")
    sb.set_tool("fastboot", stdout="", status=1, script=_FASTBOOT_SCRIPT)


def follow_module(sb, record_file):
    """The fake lsusb shows the module in fastboot mode while more reboot commands have
    reached its AT port (the simulated modem's record) than `fastboot reboot` calls
    were made, and in normal mode otherwise."""
    calls = Path(sb.tools_dir) / "fastboot.calls"
    script = f"""
n=$(grep -o '{REBOOT_COMMAND.decode()}' '{record_file}' 2>/dev/null | wc -l)
m=0
if [ -e '{calls}' ]; then m=$(tr '\\0' '\\n' < '{calls}' | grep -cx reboot); fi
if [ "$n" -gt "$m" ]; then echo '{LSUSB_FASTBOOT}'; else echo '{LSUSB_NORMAL}'; fi
exit 0
"""
    sb.set_tool("lsusb", stdout="", status=0, script=script)


class QueueCollector:
    """Reads queue 1 (every type) in a thread of its own from now on, so that a flash,
    which sends more messages than a queue holds, never waits for the test."""

    def __init__(self, sb):
        self._client = QueueClient(sb.nsenter_prefix(mount=False, net=False), sb.workdir)
        self.messages = []
        self._cond = threading.Condition()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="queue1-collector", daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stop.is_set():
            try:
                msg = self._client.receive(1, 0, timeout=0.2)
            except Exception:
                if self._stop.is_set():
                    return
                time.sleep(0.05)
                continue
            if msg is not None:
                with self._cond:
                    self.messages.append((time.monotonic(), msg))
                    self._cond.notify_all()

    def close(self):
        self._stop.set()
        self._thread.join(timeout=5)
        self._client.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def snapshot(self):
        with self._cond:
            return [msg for _t, msg in self.messages]

    def wait_for(self, predicate, timeout, start=0, what="message"):
        """(arrival time, message) of the first message at/after index start that
        matches; AssertionError on timeout."""
        deadline = time.monotonic() + timeout
        pos = start
        with self._cond:
            while True:
                while pos < len(self.messages):
                    arrived, msg = self.messages[pos]
                    pos += 1
                    if predicate(msg):
                        return arrived, msg
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(f"no {what} within {timeout} s; got "
                                         f"{[m for _t, m in self.messages]!r}")
                self._cond.wait(left)

    def mark(self):
        with self._cond:
            return len(self.messages)
