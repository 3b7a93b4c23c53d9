#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""The demo: both daemons against the simulated Quillon KT300 module, in a private
sandbox with its own system bus, and what a desktop client sees of them.

    sudo /usr/bin/python3 scripts/demo.py [--build-dir DIR] [--logs]

The requests and both flashes are made with quilctl, as an administrator would, and
`quilctl monitor` prints every signal meanwhile. The build dir defaults to
$QUIL_BUILD_DIR, else <repo>/build. --logs prints the
daemons' syslog lines after each step. Exits 0 when everything expected happened,
1 (with the sandbox's log) when something did not, so it doubles as a smoke test.
"""

import argparse
import json
import os
import signal
import sys
import threading
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "integration"))
sys.path.insert(0, str(REPO / "tests" / "sim"))

import at_modem  # noqa: E402
from dbus_ready import wait_exported  # noqa: E402
from harness import Sandbox  # noqa: E402
from mbim_sim import MbimModem, kill_proxies_in, netns_of  # noqa: E402

MODULE = "3f1e:0a12 Quillon KT300"
SKU = "0CBD"  # a laptop whose module reset line is GPIO 883
GPIO = 883
HOME_PROVIDER = "310260"
REGISTERED_PROVIDER = "310410"
# The SIM is PIN-locked when the MBIM port opens; it becomes ready later.
SIM_LOCKED = 6
SIM_READY = 1
WATCHED = ("cellularState", "simcardChange", "roamRegion", "fastbootStatus", "edlStatus",
           "flashProgress")
SIGNAL_TIMEOUT = 20
DEADLINE = 150  # the whole demo; it normally takes about 30 s, most of it flashing

PACKAGE = "quil_fw_pkg/FwPackage"  # under /opt/quillon
FASTBOOT_MODE = "3f1e:f00f Quillon Quillon KT300 Modem"
DOWNLOAD_MODE = "05c6:9008 Qualcomm QDL mode"
FASTBOOT_PAYLOAD = "ap:A1;md:M1;op:P1"
# The fastboot steps of that payload: partition, image under the package directory.
FASTBOOT_STEPS = [
    ("aboot", "A1/appsboot.mbn"), ("boot", "A1/sdxnightjar-boot.img"),
    ("system", "A1/sdxnightjar-sysfs.ubi"), ("userdata", "A1/sdxnightjar-usrfs.ubi"),
    ("sbl", "basic_update_img/sbl1.mbn"), ("modem", "M1/NON-HLOS.ubi"),
    ("operatorpack", "OP_OTA_P1/operatorpack.ubi"),
]
EDL_PAYLOAD = "ap:A1;md:M1"
EDL_IMAGES = ["sbl1.mbn", "NON-HLOS.ubi", "sdxnightjar-sysfs.ubi"]

# The requests, made with quilctl as an administrator would: what they ask, the command
# line, the expected exit status and standard output.
REQUESTS = [
    ("USB mode of the module, answered by the D-Bus helper itself (lsusb)",
     ["port-state"], 0, "normalport\n"),
    ("firmware version: AT+CGMR on the AT port", ["fw-version"], 0, "KT300.1.2.3.4_20261201\n"),
    ("IMEI: AT+CGSN on the AT port", ["imei"], 0, "861234560123456\n"),
    ("body SAR state: AT+BODYSAREN? on the AT port", ["sar-state"], 0, "1\n"),
    ("the same for a script: one JSON object per reply", ["--json", "sar-state"], 0,
     '{"serviceid":1,"cid":16386,"command":"sar-state","rtcode":0,"len":1,"payload":"1"}\n'),
    ("home network MCC/MNC: an MBIM home provider query", ["home-network"], 0,
     HOME_PROVIDER + "\n"),
    ("registered network MCC/MNC: an MBIM register state query", ["registered-network"], 0,
     REGISTERED_PROVIDER + "\n"),
    ("hardware reset: the D-Bus helper pulses the reset line (GPIO 0, then 1)",
     ["reset"], 0, "reset_modem_hw_success\n"),
    ("a command id nobody knows: the MBIM helper's default answer, exit status 1",
     ["raw", "0x5000"], 1, ""),
]


class DemoFailure(Exception):
    pass


def say(text=""):
    print(text, flush=True)


def step(title):
    say()
    say(f"== {title}")


def quote(text):
    return json.dumps(text, ensure_ascii=False)


class GpioValue:
    """A FIFO as /sys/class/gpio/gpioN/value: records every byte written to it."""

    def __init__(self, path):
        self.path = path
        os.mkfifo(path)
        self.data = b""
        self.cond = threading.Condition()
        self.stopped = False
        threading.Thread(target=self._run, daemon=True).start()

    def _run(self):
        while not self.stopped:
            with open(self.path, "rb", buffering=0) as fifo:
                while chunk := fifo.read(64):
                    with self.cond:
                        self.data += chunk
                        self.cond.notify_all()

    def wait_for(self, data, timeout=10.0):
        with self.cond:
            if not self.cond.wait_for(lambda: self.data == data, timeout):
                raise DemoFailure(f"GPIO value file got {self.data!r}, expected {data!r}")

    def writes(self, start=0):
        with self.cond:
            return self.data[start:].decode(errors="replace").split()

    def close(self):
        self.stopped = True
        try:
            fd = os.open(self.path, os.O_WRONLY | os.O_NONBLOCK)  # lets the reader go
            os.close(fd)
        except OSError:
            pass


class Demo:
    def __init__(self, build_dir, logs):
        self.build_dir = build_dir
        self.show_logs = logs
        self.sb = None
        self.at = None
        self.mbim = None
        self.gpio = None
        self.netns = None
        self.mbim_helper = None
        self.dbus_helper = None
        self.client = None
        self.monitor = None
        self.seen = 0  # signals printed so far
        self.log_pos = 0  # syslog lines printed so far

    # --- output ------------------------------------------------------------------

    def print_logs(self):
        if not self.show_logs:
            return
        self.sb.log.sync()
        entries = self.sb.log.entries(start=self.log_pos)
        self.log_pos += len(entries)
        for e in entries:
            if e.ident in ("helper", "helper_mbim_analyzer"):
                lines = [part for part in e.line.replace("\r", "").split("\n") if part]
                say("      | " + "\n      |     ".join(lines))

    def expect_signal(self, member, arg, why=""):
        """Prints every signal as it arrives until member(arg) comes; any other
        signal of the helper's before it is a failure."""
        deadline = time.monotonic() + SIGNAL_TIMEOUT
        while True:
            while self.seen < len(self.client.signals):
                got_member, args = self.client.signals[self.seen]
                self.seen += 1
                if got_member not in WATCHED:
                    continue
                text = ", ".join(quote(a) if isinstance(a, str) else repr(a) for a in args)
                note = f"   ({why})" if why and (got_member, args) == (member, (arg,)) else ""
                say(f"   signal  {got_member}({text}){note}")
                if (got_member, args) != (member, (arg,)):
                    raise DemoFailure(f"expected signal {member}({quote(arg)}), "
                                      f"got {got_member}{args!r}")
                return
            if time.monotonic() > deadline:
                raise DemoFailure(f"no signal {member}({quote(arg)}) within "
                                  f"{SIGNAL_TIMEOUT} s")
            time.sleep(0.01)

    # --- the steps ------------------------------------------------------------------

    def run(self):
        started = time.monotonic()
        self.sb = Sandbox(self.build_dir)
        say("quil-helper demo: both daemons against a simulated Quillon KT300 module,")
        say("in a private sandbox (own mounts, IPC, network, system bus).")
        say(f"   build    {self.build_dir}")
        say(f"   sandbox  {self.sb.root}")
        self.module()
        self.start_daemons()
        self.signals()
        self.requests()
        self.firmware_package()
        self.fastboot_flash()
        self.edl_flash()
        self.show_monitor()
        self.stop()
        say()
        say(f"demo finished: everything expected happened ({time.monotonic() - started:.1f} s)")

    def module(self):
        sb = self.sb
        step("1. The simulated module")
        self.at = at_modem.AtModem(sb.root)
        sb.link_dev("ttyUSB1", self.at.slave)
        say(f"   AT port    /dev/ttyUSB1  -> {self.at.slave}  (tests/sim/at_modem.py, "
            "default answers)")
        self.mbim = MbimModem(sb, {"ready_states": [SIM_LOCKED],
                                   "home_provider": HOME_PROVIDER,
                                   "register_provider": REGISTERED_PROVIDER})
        say(f"   MBIM port  /dev/cdc-wdm0 -> {self.mbim.slave}  (tests/sim/mbim_modem.py: "
            f"SIM PIN-locked, home network {HOME_PROVIDER})")
        # The start-up search waits until the D-Bus object is exported, so that the
        # first signal has a client to go to.
        gate = sb.workdir / "lsusb.gate"
        self.gate = gate
        sb.set_tool("lsusb", script=f'while [ ! -e "{gate}" ]; do sleep 0.02; done\n'
                                    f'echo "Bus 001 Device 002: ID {MODULE}"\n')
        say(f"   lsusb      Bus 001 Device 002: ID {MODULE}")
        sb.set_tool("dmidecode", stdout=f"System Information\n\tSKU Number: {SKU}\n")
        say(f"   dmidecode  SKU Number: {SKU}   (this laptop model resets the module "
            f"through GPIO {GPIO})")
        line = sb.gpio_dir / f"gpio{GPIO}"
        line.mkdir()
        (sb.gpio_dir / "export").touch()
        (line / "direction").write_text("in\n")
        self.gpio = GpioValue(line / "value")
        say(f"   GPIO       /sys/class/gpio/gpio{GPIO}/direction (\"in\"), value "
            "(every write recorded)")
        sb.enable_udev_control()

    def start_daemons(self):
        sb = self.sb
        step("2. Starting the daemons")
        sb.start_bus()
        say("   private system bus up, with the project's policy data/com.quillon.helper.conf")
        self.client = sb.dbus_client()
        self.mbim_helper = sb.start_mbim_helper()
        self.netns = netns_of(self.mbim_helper.pid)
        sb.log.wait_for(r"Enter to loop: get request and deal!", timeout=10)
        say(f"   quil-helper-mbim (pid {self.mbim_helper.pid}) made the two queues and waits "
            "for requests on queue 0")
        self.dbus_helper = sb.start_dbus_helper()
        wait_exported(self.client)
        say(f"   quil-helper-dbus (pid {self.dbus_helper.pid}) owns com.quillon.helper on "
            "the bus")
        self.gpio.wait_for(b"1\n")
        direction = (sb.gpio_dir / f"gpio{GPIO}" / "direction").read_text().strip()
        say(f"   it read SKU {SKU}, found GPIO {GPIO} in its table and set the reset line "
            f"up: direction {quote(direction)}, value {', then '.join(self.gpio.writes())} "
            "(its idle level)")
        if direction != "high":
            raise DemoFailure(f"GPIO direction is {direction!r}, expected 'high'")
        self.print_logs()

    def signals(self):
        sb, mbim = self.sb, self.mbim
        step("3. What a desktop client hears: the helper's D-Bus signals, in order")
        say("   The D-Bus helper's start-up search runs lsusb, finds the module and tells")
        say("   the MBIM helper (control message 1 on queue 0) to open the MBIM port:")
        self.monitor = sb.spawn([self.build_dir / "quilctl" / "quilctl", "monitor"],
                                name="quilctl-monitor")
        self.wait_monitor()
        mark = sb.log.mark()
        self.gate.touch()
        self.expect_signal("cellularState", "[ModemState]cellular existed!", "module found")
        sb.log.wait_for(r"Found cellular KT300-WW-00 added!", timeout=5, start=mark)
        sb.log.wait_for(r"mbim port init finished! flag:1", timeout=15, start=mark)
        sb.log.wait_for(r"Duplicated ind, SIM card is locked!", timeout=15, start=mark)
        say("   MBIM port open; the SIM is PIN-locked, so nothing about it is reported yet.")
        self.print_logs()

        say("   The user unlocks the SIM: the modem indicates \"ready\" (subscriber ready")
        say("   state 1); the MBIM helper then asks for the home provider:")
        mbim.indicate("subscriber_ready", ready_state=SIM_READY)
        self.expect_signal("simcardChange", "SIM inserted", "SIM ready")
        self.expect_signal("simcardChange", "local mccmnc changed!",
                           f"home network {HOME_PROVIDER}")
        self.print_logs()

        say(f"   The modem registers on a network (register state indication, provider "
            f"{REGISTERED_PROVIDER}):")
        mbim.indicate("register_state", provider_id=REGISTERED_PROVIDER)
        self.expect_signal("roamRegion", "roam mccmnc changed!",
                           f"registered on {REGISTERED_PROVIDER}")
        self.print_logs()

    def quilctl(self, args, timeout=60):
        return self.sb.run([self.build_dir / "quilctl" / "quilctl", *args], timeout=timeout)

    def requests(self):
        step("4. Requests with quilctl, the command-line client (sendMesg on the bus)")
        for what, args, status, expected in REQUESTS:
            say(f"   {what}")
            gpio_mark = len(self.gpio.data)
            started = time.monotonic()
            result = self.quilctl(args)
            elapsed = (time.monotonic() - started) * 1000
            say(f"   $ quilctl {' '.join(args)}   [exit {result.returncode}, {elapsed:.0f} ms]")
            for line in (result.stdout + result.stderr).splitlines():
                say(f"     {line}")
            if (result.returncode, result.stdout) != (status, expected):
                raise DemoFailure(f"quilctl {' '.join(args)}: exit {result.returncode}, "
                                  f"{result.stdout!r} {result.stderr!r}, expected {status}, "
                                  f"{expected!r}")
            if args == ["reset"]:
                self.gpio.wait_for(b"1\n0\n1\n")
                say(f"      GPIO {GPIO} value written: {', then '.join(self.gpio.writes(gpio_mark))}")
            self.print_logs()

    def expect_progress(self, kind, percentages):
        """The flashProgress signals of one flash, printed on one line."""
        for n, percent in enumerate(percentages):
            deadline = time.monotonic() + SIGNAL_TIMEOUT
            while self.seen >= len(self.client.signals):
                if time.monotonic() > deadline:
                    raise DemoFailure(f"no flashProgress({kind!r}, {percent}) within "
                                      f"{SIGNAL_TIMEOUT} s")
                time.sleep(0.01)
            member, args = self.client.signals[self.seen]
            self.seen += 1
            if (member, args) != ("flashProgress", (kind, percent)):
                raise DemoFailure(f"expected flashProgress({kind!r}, {percent}), "
                                  f"got {member}{args!r}")
            if n == 0:
                print(f"   signal  flashProgress({quote(kind)}, {percent})", end="", flush=True)
            else:
                print(f" {percent}", end="", flush=True)
        say()

    def firmware_package(self):
        sb = self.sb
        step("6. A firmware package, a desktop user, fake flashing tools")
        root = sb.opt_dir / PACKAGE
        files = [image for _, image in FASTBOOT_STEPS] + [
            "A1/sbl1.mbn", "M1/NON-HLOS.ubi", "basic_update_img/patch_p2K_b128K.xml",
            "download_agent/prog_nand_firehose_9x55.mbn"]
        for name in files:
            (root / name).parent.mkdir(parents=True, exist_ok=True)
            (root / name).write_bytes(b"image " + name.encode())
        programs = "".join(f'  <program label="p{n}" filename="{image}"/>\n'
                           for n, image in enumerate(EDL_IMAGES))
        (root / "rawprogram_nand_p2K_b128K.xml").write_text(
            f"<?xml version=\"1.0\"?>\n<data>\n{programs}</data>\n")
        say(f"   /opt/quillon/{PACKAGE}/: A1/ (AP images), M1/ (modem), OP_OTA_P1/, "
            "basic_update_img/, download_agent/, rawprogram_nand_p2K_b128K.xml "
            f"({len(EDL_IMAGES)} images)")
        xauth = sb.make_xauthority()
        say(f"   desktop user 4242 with its X authority file {xauth}: the progress dialog "
            "(a recording zenity) runs as that user")
        # The module shows up in its bootloader once the reboot command reached its AT
        # port, and in normal mode again after "fastboot reboot".
        gate, record, flag = self.gate, self.at.record_file, sb.workdir / "fastboot.rebooted"
        sb.set_tool("lsusb", script=(
            f'while [ ! -e "{gate}" ]; do sleep 0.02; done\n'
            f'if grep -q "sys_reboot bootloader" "{record}" && [ ! -e "{flag}" ]; then\n'
            f'  echo "Bus 001 Device 003: ID {FASTBOOT_MODE}"\n'
            f'else\n  echo "Bus 001 Device 002: ID {MODULE}"\nfi\n'))
        sb.set_tool("fastboot", script=(
            'if [ "$1" = reboot ]; then touch "' + str(flag) + '"; echo "Rebooting"; exit 0; fi\n'
            'echo "Sending \'$2\' ($(wc -c < "$3") KB)   OKAY [  0.010s]"\n'
            'echo "Writing \'$2\'   OKAY [  0.020s]"\n'
            'echo "Finished. Total time: 0.030s"\n'))
        qdl = sb.opt_dir / "quil_helper_service" / "quil_helper_tools" / "qdl"
        sb.make_fake("qdl", qdl)
        lines = "".join(f'echo "program: {image} flashed successfully"\n' for image in EDL_IMAGES)
        sb.set_tool("qdl", script=lines)
        say("   fastboot and qdl: fakes that report every image written")

    def follow_flash(self, args, final):
        """Runs quilctl's flash command, which follows the flash to its end."""
        started = time.monotonic()
        result = self.quilctl(args, timeout=120)
        say(f"   $ quilctl {' '.join(args)}   [exit {result.returncode}, "
            f"{time.monotonic() - started:.1f} s]")
        for line in (result.stdout + result.stderr).splitlines():
            say(f"     {line}")
        if result.returncode != 0 or not result.stdout.endswith(final + "\n"):
            raise DemoFailure(f"quilctl {' '.join(args)}: exit {result.returncode}, "
                              f"{result.stdout!r} {result.stderr!r}")

    def dialog_lines(self, start):
        text = self.sb.tool_stdin("zenity")[start:].decode(errors="replace")
        return [line for line in text.split("\n") if line]

    def fastboot_flash(self):
        sb = self.sb
        step(f"7. Fastboot flash with quilctl (sendMesg 0x100a {quote(FASTBOOT_PAYLOAD)})")
        say("   The MBIM helper reboots the module into its bootloader (AT), waits for it on")
        say("   USB (3f1e:f00f), answers, then flashes in a thread of its own:")
        dialog_mark = len(sb.tool_stdin("zenity"))
        args = ["flash", "fastboot", "--ap", "A1", "--modem", "M1", "--op", "P1"]
        self.follow_flash(args, "fastboot flash ok")
        say("   what the demo's own D-Bus client heard meanwhile:")
        self.expect_signal("fastbootStatus", "fastboot flashing...")
        self.expect_progress("fastboot", [14, 28, 42, 56, 70, 84, 98, 99])
        self.expect_signal("fastbootStatus", "fastboot flash ok")
        calls = [c for c in sb.tool_calls("fastboot")]
        for argv in calls:
            say(f"      fastboot {' '.join(argv)}")
        expected = [["flash", part, f"/opt/quillon/{PACKAGE}/{image}"]
                    for part, image in FASTBOOT_STEPS] + [["reboot"]]
        if calls != expected:
            raise DemoFailure(f"fastboot was run as {calls}, expected {expected}")
        lines = self.dialog_lines(dialog_mark)
        say(f"   the dialog read: {' | '.join(lines)}")
        identity = sb.tool_identity("zenity")
        env = sb.tool_env("zenity")
        say(f"   it ran as uid {identity[0]}, gid {identity[1]} with DISPLAY={env.get('DISPLAY')} "
            f"XAUTHORITY={env.get('XAUTHORITY')}")
        if identity[:2] != (4242, 4343):
            raise DemoFailure(f"the dialog ran as {identity}, not as the desktop user")
        self.print_logs()

    def edl_flash(self):
        sb = self.sb
        step(f"8. EDL flash with quilctl, the module in download mode (sendMesg 0x2004 "
             f"{quote(EDL_PAYLOAD)})")
        sb.set_tool("lsusb", stdout=f"Bus 001 Device 004: ID {DOWNLOAD_MODE}\n")
        say(f"   lsusb      Bus 001 Device 004: ID {DOWNLOAD_MODE}")
        dialog_mark = len(sb.tool_stdin("zenity"))
        self.follow_flash(["flash", "edl", "--ap", "A1", "--modem", "M1"], "flash ok")
        say("   what the demo's own D-Bus client heard meanwhile:")
        self.expect_signal("edlStatus", "flashing...")
        self.expect_progress("edl", [33, 66, 99])
        self.expect_signal("edlStatus", "flash ok")
        for argv in sb.tool_calls("qdl"):
            say(f"      qdl {' '.join(argv)}")
        lines = self.dialog_lines(dialog_mark)
        say(f"   the dialog read: {' | '.join(lines)}")
        self.print_logs()

    def wait_monitor(self):
        deadline = time.monotonic() + 10
        while "monitoring com.quillon.helper" not in self.monitor_output():
            if time.monotonic() > deadline or self.monitor.poll() is not None:
                raise DemoFailure("quilctl monitor did not start: " + self.monitor_output())
            time.sleep(0.02)

    def monitor_output(self):
        return self.monitor.out_path.read_text(errors="replace")

    def show_monitor(self):
        step("9. quilctl monitor, started before the module was found, printed meanwhile")
        self.monitor.send_signal(signal.SIGINT)
        self.monitor.wait(10)
        lines = [line for line in self.monitor_output().splitlines()
                 if not line.startswith("quilctl: monitoring")]
        shown = [line for line in lines if "flashProgress" not in line]
        for line in shown:
            say(f"   {line}")
        say(f"   ... and {len(lines) - len(shown)} flashProgress lines; SIGINT ended it with "
            f"exit status {self.monitor.returncode}")
        if self.monitor.returncode != 0 or not any("cellularState" in l for l in lines):
            raise DemoFailure("quilctl monitor: " + self.monitor_output())

    def stop(self):
        sb = self.sb
        step("10. Stopping")
        mark = sb.log.mark()
        self.dbus_helper.signal(signal.SIGTERM)
        try:
            status = self.dbus_helper.wait(10)
        except Exception:
            raise DemoFailure("quil-helper-dbus did not end within 10 s of SIGTERM")
        entry = sb.log.wait_entry(r"exiting 'quil-helper-dbus'\.\.\.", timeout=5, start=mark)
        say(f"   SIGTERM to quil-helper-dbus: exit status {status}")
        say(f"   its last syslog line: {entry.line}")
        if status != 0:
            raise DemoFailure(f"quil-helper-dbus exited with {status}")
        queues = [i for i in (0, 1) if sb.queues.exists(i)]
        say(f"   it removed both message queues: {'yes' if not queues else f'no, {queues} left'}")
        if queues:
            raise DemoFailure(f"queues {queues} still exist")
        self.print_logs()
        self.mbim_helper.stop()
        say("   quil-helper-mbim, mbim-proxy, the simulated module and the sandbox: ended")

    def close(self):
        if self.gpio is not None:
            self.gpio.close()
        for part in (self.mbim_helper, self.dbus_helper):
            if part is not None:
                part.stop()
        kill_proxies_in(self.netns)
        for modem in (self.at, self.mbim):
            if modem is not None:
                modem.stop()
        if self.sb is not None:
            self.sb.close()


def on_deadline(signum, frame):
    raise DemoFailure(f"the demo did not finish within {DEADLINE} s")


def main():
    default_build = os.environ.get("QUIL_BUILD_DIR") or str(REPO / "build")
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", default=default_build,
                        help="the Meson build dir (default: $QUIL_BUILD_DIR or <repo>/build)")
    parser.add_argument("--logs", action="store_true", help="print the daemons' syslog lines")
    args = parser.parse_args()
    build_dir = Path(args.build_dir).resolve()
    for program in ("mbim-helper/quil-helper-mbim", "dbus-helper/quil-helper-dbus",
                    "quilctl/quilctl"):
        if not (build_dir / program).exists():
            print(f"demo: {build_dir / program} is missing: build first "
                  "(meson setup build && ninja -C build)", file=sys.stderr)
            return 2
    if os.geteuid() != 0:
        print("demo: run as root (the sandbox needs namespaces and mounts)", file=sys.stderr)
        return 2

    demo = Demo(build_dir, args.logs)
    signal.signal(signal.SIGALRM, on_deadline)
    signal.alarm(DEADLINE)
    try:
        demo.run()
        return 0
    except (DemoFailure, AssertionError, RuntimeError, OSError) as exc:
        say()
        say(f"DEMO FAILED: {exc}")
        if demo.sb is not None and demo.sb.log is not None:
            say(demo.sb.report())
        return 1
    finally:
        signal.alarm(0)
        demo.close()


if __name__ == "__main__":
    sys.exit(main())
