# SPDX-License-Identifier: GPL-2.0-or-later
"""A private sandbox per scenario: mount, IPC and network namespaces held by a holder
process, fake outside tools first on PATH, a syslog listener as /dev/log, a queue
client, and on request a private system bus."""

import json
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path

from .dbus_client import DBusClient
from .polkit import PolkitStandIn
from .queues import QueueClient
from .syslog import SyslogListener

HARNESS_DIR = Path(__file__).resolve().parent
REPO = HARNESS_DIR.parents[2]
DEFAULT_BUILD = Path("/work/main/build")

# Tools faked in every sandbox, with their default scenario (stdout, status). With no
# module fitted lsusb and lspci print nothing.
DEFAULT_TOOLS = {
    "lsusb": ("", 1),
    "lspci": ("", 1),
    "dmidecode": ("", 0),
    "fastboot": ("", 0),
    "zenity": ("", 0),
    "qdl": ("", 0),
}
# Fakes that read their standard input to its end (into tools/<name>.stdin), as the
# real tool does when a daemon writes to it through a pipe.
STDIN_READERS = {"zenity"}
# Fakes that the daemons start by absolute path: laid over the sandbox's /usr/bin.
USR_BIN_FAKES = {"zenity"}
# The desktop user of the X authority files that tests make: a uid the system does not
# know, so that the dialog runs with that uid and gid only.
DESKTOP_UID = 4242
DESKTOP_GID = 4343
# Sanitizer builds of the daemons (b_sanitize) write their reports into the sandbox's
# sanitizer/ dir (report.<pid>), where stop_checked() and the teardown look for them.
# UBSan linked beside ASan (GCC: two runtimes) ignores log_path and writes to stderr:
# the teardown looks through every program's output (<name>.out) too.
# UBSan halts at its first report, as ASan does; ThreadSanitizer goes on (a race is
# reported once and the scenario runs to its end), the teardown fails it. GLib and
# libmbim are not instrumented: ThreadSanitizer cannot see their locks (futexes), so it
# checks only the accesses of our own code (ignore_noninstrumented_modules), and GLib's
# slice allocator is off (G_SLICE) so that a block GLib hands between threads is a
# fresh malloc block each time; tsan_glib_locks.c (preloaded, see start_daemon) shows
# it GLib's locks and main-loop hand-overs as our code uses them. The suppression files
# hold what is left of GLib's and libmbim's insides.
SUPPRESSIONS = HARNESS_DIR.parent
SANITIZER_OPTIONS = {
    "ASAN_OPTIONS": "detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=1",
    "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1",
    "LSAN_OPTIONS": f"suppressions={SUPPRESSIONS / 'lsan.supp'}:print_suppressions=0",
    "TSAN_OPTIONS": (f"suppressions={SUPPRESSIONS / 'tsan.supp'}:print_suppressions=0"
                     ":halt_on_error=0:second_deadlock_stack=1"
                     ":ignore_noninstrumented_modules=1"),
}
TSAN_GLIB_LOCKS = "tsan_glib_locks.so"
# What a sanitizer's report starts with, in a daemon's output or its report file.
SANITIZER_MARKS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                   "WARNING: ThreadSanitizer", "ERROR: ThreadSanitizer")

_FAKE = """#!/bin/sh
# fake {name}: records its argv, then plays the scenario in {tools}/{name}.*
t={tools}
n={name}
r=$t/.$n.$$.rec
printf '%d\\0' $# > "$r"
for a in "$@"; do printf '%s\\0' "$a" >> "$r"; done
cat "$r" >> "$t/$n.calls"
rm -f "$r"
if [ -e "$t/$n.recordenv" ]; then
  printf '%s %s %s\n' "$(id -u)" "$(id -g)" "$(id -G)" > "$t/$n.id"
  env > "$t/$n.env"
fi
if [ -e "$t/$n.readstdin" ]; then cat >> "$t/$n.stdin"; fi
if [ -e "$t/$n.sh" ]; then . "$t/$n.sh"; fi
if [ -e "$t/$n.out" ]; then cat "$t/$n.out"; fi
s=0
if [ -e "$t/$n.status" ]; then read s < "$t/$n.status"; fi
exit "$s"
"""

_BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
{default_rules}
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Introspectable"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Peer"/>
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Properties" send_member="Get"/>
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Properties" send_member="GetAll"/>
  </policy>
  <!-- The polkit stand-in (harness/polkit.py) runs as root. -->
  <policy user="root">
    <allow own="org.freedesktop.PolicyKit1"/>
  </policy>
  <policy context="default">
    <allow send_destination="org.freedesktop.PolicyKit1"/>
  </policy>
  <include ignore_missing="yes">{project_policy}</include>
</busconfig>
"""

# The system bus's own defaults: nobody owns a name or receives method calls unless a
# policy file grants it, signals and replies flow.
_SYSTEM_RULES = """    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>"""
# Everything allowed, for scenarios that are not about the bus policy.
_OPEN_RULES = """    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_type="method_return"/>
    <allow send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>"""


def build_dir_from_env():
    return Path(os.environ.get("QUIL_BUILD_DIR", str(DEFAULT_BUILD))).resolve()


def _ns_id(pid, kind):
    try:
        return os.readlink(f"/proc/{pid}/ns/{kind}")
    except OSError:
        return None


class Daemon:
    """A process started in the sandbox, in a process group of its own."""

    def __init__(self, proc, name, out_path, sanitizer_dir=None):
        self.proc = proc
        self.name = name
        self.out_path = out_path
        self.sanitizer_dir = sanitizer_dir

    @property
    def pid(self):
        return self.proc.pid

    def wait(self, timeout=10):
        """Its exit status; raises subprocess.TimeoutExpired when it is still running."""
        return self.proc.wait(timeout=timeout)

    def alive(self):
        return self.proc.poll() is None

    def signal(self, signum):
        self.proc.send_signal(signum)

    def stop(self):
        """SIGKILL to its whole process group."""
        if self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        try:
            self.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            pass

    def stop_checked(self):
        """stop(), then fails when a sanitizer build reported a fault in its output or
        in its report file."""
        self.stop()
        out = self.output()
        assert not any(mark in out for mark in SANITIZER_MARKS), out
        report = self.sanitizer_report()
        assert not report, f"{self.name} (pid {self.pid}):\n{report}"

    def sanitizer_report(self):
        """What a sanitizer build wrote to its report file; "" when nothing."""
        if self.sanitizer_dir is None:
            return ""
        try:
            return (self.sanitizer_dir / f"report.{self.pid}").read_text(errors="replace")
        except FileNotFoundError:
            return ""

    def output(self):
        """What it wrote on stdout and stderr so far."""
        try:
            return self.out_path.read_text(errors="replace")
        except FileNotFoundError:
            return ""

    def cpu_ticks(self):
        """utime + stime from /proc/<pid>/stat, in clock ticks."""
        with open(f"/proc/{self.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])

    def __repr__(self):
        return f"Daemon({self.name}, pid={self.pid}, alive={self.alive()})"


class Sandbox:
    def __init__(self, build_dir=None, root_parent=None):
        if os.geteuid() != 0:
            raise PermissionError("the sandbox needs root (unshare, mounts)")
        self.build_dir = Path(build_dir) if build_dir else build_dir_from_env()
        self.repo = REPO
        self.root = Path(tempfile.mkdtemp(prefix="quil-sb-", dir=root_parent))
        self.workdir = self.root / "work"
        self.bin_dir = self.root / "bin"
        self.tools_dir = self.root / "tools"
        self.dev_dir = self.root / "dev"
        self.run_dir = self.root / "run"
        self.run_user_dir = self.run_dir / "user"
        self.run_dbus_dir = self.run_dir / "dbus"
        self.run_udev_dir = self.run_dir / "udev"
        self.opt_dir = self.root / "opt_quillon"
        self.gpio_dir = self.root / "gpio"
        self.usr_bin_dir = self.root / "usr_bin"
        self.sanitizer_dir = self.root / "sanitizer"
        # Filled by close(): (file name, text) of every sanitizer report of the scenario.
        self.sanitizer_findings = []
        for d in (self.workdir, self.bin_dir, self.tools_dir, self.dev_dir, self.run_user_dir,
                  self.run_dbus_dir, self.run_udev_dir, self.opt_dir, self.gpio_dir,
                  self.usr_bin_dir, self.sanitizer_dir):
            d.mkdir(parents=True, exist_ok=True)
        # The dialog runs as the desktop user: it must reach its fake and record there.
        self.root.chmod(0o755)
        self.tools_dir.chmod(0o777)
        self.bus_address = None
        self._bus = None
        self.polkit = None
        self._procs = []
        self._clients = []
        self._names = {}
        self._holder = None
        self.holder_pid = None
        self._ipc_ns = None
        self.log = None
        self.queues = None
        try:
            for name, (out, status) in DEFAULT_TOOLS.items():
                self.make_fake(name)
                self.set_tool(name, stdout=out, status=status)
            self.log = SyslogListener(self.dev_dir / "log")
            self._start_holder()
            self.queues = QueueClient(self.nsenter_prefix(mount=False, net=False), self.workdir)
        except BaseException:
            self.close()
            raise

    # --- namespaces ----------------------------------------------------------------

    def _start_holder(self):
        cfg = {
            "stage": str(self.root / ".stage"),
            "dev": str(self.dev_dir),
            "run": str(self.run_dir),
            "opt": str(self.opt_dir),
            "gpio": str(self.gpio_dir),
            "usr_bin": str(self.usr_bin_dir),
        }
        cfg_path = self.root / "holder.json"
        cfg_path.write_text(json.dumps(cfg))
        self._holder = subprocess.Popen(
            ["unshare", "--mount", "--ipc", "--net", "--fork", "--propagation", "private",
             "--kill-child", "/usr/bin/python3", str(HARNESS_DIR / "holder.py"), str(cfg_path)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            start_new_session=True)
        ready, _, _ = select.select([self._holder.stdout], [], [], 10)
        line = self._holder.stdout.readline().decode(errors="replace") if ready else ""
        if not line.startswith("READY "):
            rest = b""
            if self._holder.poll() is not None:
                rest = self._holder.stdout.read()
            raise RuntimeError(f"sandbox holder failed: {line!r} {rest!r}")
        self.holder_pid = int(line.split()[1])
        self._ipc_ns = _ns_id(self.holder_pid, "ipc")

    def nsenter_prefix(self, mount=True, ipc=True, net=True):
        """argv prefix that runs a program inside the sandbox, cwd = workdir."""
        argv = ["nsenter", "-t", str(self.holder_pid)]
        if mount:
            argv.append("-m")
        if ipc:
            argv.append("-i")
        if net:
            argv.append("-n")
        argv.append(f"--wd={self.workdir}")
        return argv + ["--"]

    def env(self, extra=None):
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("DBUS_", "PYTEST_", "PYENV"))}
        env["PATH"] = f"{self.bin_dir}:/usr/sbin:/usr/bin:/sbin:/bin"
        env.setdefault("HOME", "/root")
        env.pop("DISPLAY", None)
        env.setdefault("G_SLICE", "always-malloc")
        log_path = f"log_path={self.sanitizer_dir / 'report'}"
        for key, options in SANITIZER_OPTIONS.items():
            # Options from the caller's environment come after ours and win.
            env[key] = ":".join(o for o in (options, log_path, env.get(key)) if o)
        if extra:
            env.update(extra)
        return env

    def _out_name(self, argv, name):
        base = name or Path(argv[0]).name
        n = self._names.get(base, 0)
        self._names[base] = n + 1
        return base if n == 0 else f"{base}.{n}"

    def spawn(self, argv, env=None, name=None):
        """Starts argv inside the sandbox (cwd = workdir, PATH = bin_dir first), in its
        own process group, stdout and stderr to sb.root/<name>.out."""
        name = self._out_name(argv, name)
        out_path = self.root / f"{name}.out"
        with open(out_path, "wb") as out:
            proc = subprocess.Popen(self.nsenter_prefix() + [str(a) for a in argv],
                                    env=self.env(env), stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=subprocess.STDOUT, start_new_session=True)
        proc.harness_name = name
        proc.out_path = out_path
        self._procs.append(proc)
        return proc

    def run(self, argv, timeout=30, env=None, input=None):
        """Runs argv inside the sandbox to its end; output captured as text."""
        return subprocess.run(self.nsenter_prefix() + [str(a) for a in argv], env=self.env(env),
                              capture_output=True, text=True, timeout=timeout, input=input)

    def start_daemon(self, argv, name=None, env=None):
        # A ThreadSanitizer build has the wrappers that show it GLib's locks
        # (tsan_glib_locks.c, built there by scripts/run-tests.sh): preloaded into the
        # programs of that build.
        locks = self.build_dir / TSAN_GLIB_LOCKS
        if locks.exists() and Path(argv[0]).is_relative_to(self.build_dir):
            env = {"LD_PRELOAD": str(locks), **(env or {})}
        proc = self.spawn(argv, env=env, name=name)
        return Daemon(proc, proc.harness_name, proc.out_path, self.sanitizer_dir)

    @property
    def mbim_helper_path(self):
        return self.build_dir / "mbim-helper" / "quil-helper-mbim"

    @property
    def dbus_helper_path(self):
        return self.build_dir / "dbus-helper" / "quil-helper-dbus"

    def start_mbim_helper(self, *args, wait=True, env=None):
        """Runs quil-helper-mbim with args (none given: "-d"). With wait, returns once
        queue 0 exists (the daemon has made its queues, or they were there)."""
        if not self.mbim_helper_path.exists():
            raise FileNotFoundError(f"{self.mbim_helper_path} (set QUIL_BUILD_DIR)")
        daemon = self.start_daemon([self.mbim_helper_path, *(args or ("-d",))],
                                   name="quil-helper-mbim", env=env)
        if wait:
            self._wait_queue0(daemon)
        return daemon

    def start_dbus_helper(self, *args, wait=True, env=None, timeout=10):
        """Runs quil-helper-dbus with args (none given: "-d"), starting the private bus
        first if needed. With wait, returns once the daemon owns com.quillon.helper."""
        if not self.dbus_helper_path.exists():
            raise FileNotFoundError(f"{self.dbus_helper_path} (set QUIL_BUILD_DIR)")
        if self._bus is None:
            self.start_bus()
        daemon = self.start_daemon([self.dbus_helper_path, *(args or ("-d",))],
                                   name="quil-helper-dbus", env=env)
        if wait:
            self.wait_bus_name(timeout=timeout, daemon=daemon)
        return daemon

    def _wait_queue0(self, daemon, timeout=5.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.queues.wait_exists(0, timeout=0.05):
                return
            if not daemon.alive():
                return  # it ended at start; the test looks at why
        raise AssertionError(f"{daemon.name} made no queue 0 in {timeout} s; log:\n"
                             + self.log.tail())

    # --- fake tools ----------------------------------------------------------------

    def make_fake(self, name, path=None):
        """Writes the recording fake `name` to path (default bin_dir/name; for zenity,
        which the daemons start as /usr/bin/zenity, the sandbox's /usr/bin)."""
        if path:
            path = Path(path)
        elif name in USR_BIN_FAKES:
            path = self.usr_bin_dir / name
        else:
            path = self.bin_dir / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(_FAKE.format(name=name, tools=self.tools_dir))
        path.chmod(0o755)
        if name in STDIN_READERS:
            (self.tools_dir / f"{name}.readstdin").touch()
            (self.tools_dir / f"{name}.recordenv").touch()
        return path

    def tool_identity(self, name):
        """(uid, gid, [groups]) the last call of a recording fake (zenity) ran with;
        None when it never ran."""
        try:
            uid, gid, *groups = (self.tools_dir / f"{name}.id").read_text().split()
        except FileNotFoundError:
            return None
        return int(uid), int(gid), [int(g) for g in groups]

    def tool_env(self, name):
        """The environment of the last call of zenity, as a dict; {} when it never ran."""
        try:
            text = (self.tools_dir / f"{name}.env").read_text(errors="replace")
        except FileNotFoundError:
            return {}
        env = {}
        for line in text.splitlines():
            key, sep, value = line.partition("=")
            if sep:
                env[key] = value
        return env

    def make_xauthority(self, name=".mutter-Xwaylandauth.Q1W2E3", uid=DESKTOP_UID,
                        gid=DESKTOP_GID, subdir=None):
        """An X authority file of the desktop user under the sandbox's /run/user/<uid>
        (in `subdir` below it when given), owned by uid:gid. Returns its path as the
        daemons see it."""
        user_dir = self.run_user_dir / str(uid)
        user_dir.mkdir(exist_ok=True)
        os.chown(user_dir, uid, gid)
        user_dir.chmod(0o700)
        parent = user_dir / subdir if subdir else user_dir
        parent.mkdir(parents=True, exist_ok=True)
        os.chown(parent, uid, gid)
        path = parent / name
        path.write_bytes(b"\x01\x00cookie")
        os.chown(path, uid, gid)
        path.chmod(0o600)
        return "/run/user/" + str(path.relative_to(self.run_user_dir))

    def set_tool(self, name, stdout="", status=0, script=None):
        """What fake `name` prints and returns from now on. `script`, a shell snippet,
        runs (sourced, with the call's "$@") before stdout is printed; it may exit."""
        if not (self.bin_dir / name).exists() and name not in DEFAULT_TOOLS:
            self.make_fake(name)
        if isinstance(stdout, bytes):
            (self.tools_dir / f"{name}.out").write_bytes(stdout)
        else:
            (self.tools_dir / f"{name}.out").write_text(stdout)
        (self.tools_dir / f"{name}.status").write_text(f"{int(status)}\n")
        sh = self.tools_dir / f"{name}.sh"
        if script is None:
            sh.unlink(missing_ok=True)
        else:
            sh.write_text(script + "\n")

    def tool_calls(self, name):
        """argv (without argv[0]) of each call of fake `name` so far, in order."""
        try:
            data = (self.tools_dir / f"{name}.calls").read_bytes()
        except FileNotFoundError:
            return []
        fields = data.split(b"\0")
        calls, pos = [], 0
        while pos < len(fields) - 1:
            count = int(fields[pos])
            calls.append([f.decode(errors="replace") for f in fields[pos + 1:pos + 1 + count]])
            pos += 1 + count
        return calls

    def tool_stdin(self, name):
        """What the daemons wrote to a stdin-reading fake (zenity) so far."""
        try:
            return (self.tools_dir / f"{name}.stdin").read_bytes()
        except FileNotFoundError:
            return b""

    def set_lsusb(self, lines):
        """lsusb prints one "Bus 001 Device 00N: ID <id> <desc>" line per entry."""
        text = "".join(f"Bus 001 Device {n:03d}: ID {line}\n"
                       for n, line in enumerate(lines, start=2))
        self.set_tool("lsusb", stdout=text, status=0)

    def set_lspci(self, text):
        if text and not text.endswith("\n"):
            text += "\n"
        self.set_tool("lspci", stdout=text, status=0)

    # --- devices, udev -------------------------------------------------------------

    def link_dev(self, name, target):
        """/dev/<name> in the sandbox becomes a symlink to target (e.g. /dev/pts/N)."""
        link = self.dev_dir / name
        link.parent.mkdir(parents=True, exist_ok=True)
        if link.is_symlink() or link.exists():
            link.unlink()
        os.symlink(str(target), link)

    def unlink_dev(self, name):
        (self.dev_dir / name).unlink(missing_ok=True)

    def enable_udev_control(self):
        """Creates /run/udev/control, by which libudev tells that udev is running."""
        (self.run_udev_dir / "control").touch()

    # --- private system bus ----------------------------------------------------------

    @property
    def project_policy(self):
        return self.repo / "data" / "com.quillon.helper.conf"

    def start_bus(self, policy="system", polkit="allow"):
        """Starts a private dbus-daemon inside the sandbox, socket at /run/dbus/
        system_bus_socket. policy "system": the system bus's defaults (no name owned,
        no method call delivered) plus the project's data/com.quillon.helper.conf;
        "open": everything allowed. polkit: the mode of the polkit stand-in started on
        it (sb.polkit, harness/polkit.py: "allow", "deny", "hang"), None for no polkit
        on the bus. Returns the address usable from the test."""
        if self._bus is not None:
            return self.bus_address
        socket_path = self.run_dbus_dir / "system_bus_socket"
        rules = {"system": _SYSTEM_RULES, "open": _OPEN_RULES}[policy]
        conf = self.root / "system-bus.conf"
        conf.write_text(_BUS_CONFIG.format(socket=socket_path, default_rules=rules,
                                           project_policy=self.project_policy))
        proc = subprocess.Popen(
            self.nsenter_prefix() + ["dbus-daemon", f"--config-file={conf}", "--nofork",
                                     "--nopidfile", "--print-address=1"],
            env=self.env(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=open(self.root / "dbus-daemon.out", "wb"), start_new_session=True)
        self._procs.append(proc)
        ready, _, _ = select.select([proc.stdout], [], [], 10)
        line = proc.stdout.readline().decode().strip() if ready else ""
        if not line:
            raise RuntimeError("dbus-daemon did not start: "
                               + (self.root / "dbus-daemon.out").read_text(errors="replace"))
        self._bus = proc
        self.bus_address = f"unix:path={socket_path}"
        if polkit is not None:
            self.start_polkit(polkit)
        return self.bus_address

    def start_polkit(self, mode="allow"):
        """Starts the polkit stand-in on the running bus (sb.polkit); returns it once
        it owns org.freedesktop.PolicyKit1."""
        if self.polkit is not None:
            self.polkit.close()
        self.polkit = PolkitStandIn(self, mode)
        return self.polkit

    def dbus_client(self):
        """A client of com.quillon.helper on the private bus (started if needed)."""
        if self._bus is None:
            self.start_bus()
        client = DBusClient(self.bus_address)
        self._clients.append(client)
        return client

    def wait_bus_name(self, name="com.quillon.helper", timeout=10, daemon=None):
        client = self._clients[0] if self._clients else self.dbus_client()
        deadline = time.monotonic() + timeout
        while True:
            if client.name_has_owner(name):
                return
            if daemon is not None and not daemon.alive():
                raise AssertionError(f"{daemon.name} ended before owning {name}; log:\n"
                                     + self.log.tail())
            if time.monotonic() >= deadline:
                raise AssertionError(f"nobody owns {name} after {timeout} s; log:\n"
                                     + self.log.tail())
            time.sleep(0.02)

    # --- teardown ------------------------------------------------------------------

    def processes_inside(self):
        """pids of every process in the sandbox's IPC namespace (holder excluded)."""
        if self._ipc_ns is None:
            return []
        pids = []
        for entry in os.listdir("/proc"):
            if entry.isdigit() and int(entry) != self.holder_pid:
                if _ns_id(entry, "ipc") == self._ipc_ns:
                    pids.append(int(entry))
        return pids

    def close(self):
        for client in self._clients:
            try:
                client.close()
            except Exception:
                pass
        self._clients.clear()
        if self.polkit is not None:
            self.polkit.close()
        for proc in self._procs:
            if proc.poll() is None:
                try:
                    os.killpg(proc.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
        # Anything that left its process group.
        for pid in self.processes_inside():
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        for proc in self._procs:
            try:
                proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                pass
            if proc.stdout is not None:
                proc.stdout.close()
        self._procs.clear()
        if self.queues is not None:
            self.queues.close()
        if self._holder is not None:
            try:
                self._holder.stdin.close()
                self._holder.wait(timeout=5)
            except (OSError, subprocess.TimeoutExpired):
                os.killpg(self._holder.pid, signal.SIGKILL)
                self._holder.wait()
            self._holder.stdout.close()
            self._holder = None
        if self.log is not None:
            self.log.close()
        # Every process of the scenario has ended: what any of them reported is there
        # now, also from a daemon that was killed or left running.
        self.sanitizer_findings = self.sanitizer_reports()
        if not os.environ.get("QUIL_KEEP_SANDBOX"):
            shutil.rmtree(self.root, ignore_errors=True)

    def sanitizer_reports(self):
        """(file name, text) of each non-empty sanitizer report file so far, and of
        each program output that holds a sanitizer's report."""
        found = []
        for path in sorted(self.sanitizer_dir.glob("report.*")):
            text = path.read_text(errors="replace")
            if text.strip():
                found.append((path.name, text))
        for path in sorted(self.root.glob("*.out")):
            text = path.read_text(errors="replace")
            if any(mark in text for mark in SANITIZER_MARKS):
                found.append((path.name, text[-20000:]))
        return found

    def report(self):
        """The syslog lines and the output files, for a failed test's report."""
        parts = [f"sandbox {self.root}", "--- syslog ---", self.log.tail(200) if self.log else ""]
        for out in sorted(self.root.glob("*.out")):
            text = out.read_text(errors="replace")
            if text:
                parts += [f"--- {out.name} ---", text[-4000:]]
        return "\n".join(parts)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
