# SPDX-License-Identifier: GPL-2.0-or-later
"""Holder of a scenario's namespaces.

Started as `unshare --mount --ipc --net --fork --propagation private --kill-child
python3 holder.py <config.json>`. It builds the private mounts of the sandbox, brings
the loopback interface up, prints "READY <pid>" and then waits for end of file on its
standard input. Everything else of the scenario is started with nsenter into this
process's namespaces; when the last process in them is gone, so are they.

Mounts (all private to the mount namespace):
  /dev              the host dir cfg["dev"]: null, zero, full, random, urandom, tty and
                    /dev/pts bound from the host (/dev/ptmx -> pts/ptmx), /dev/log is the
                    harness's syslog socket (created in that dir by the harness)
  /run              the host dir cfg["run"] (dbus/, udev/, user/ inside)
  /opt/quillon      the host dir cfg["opt"]
  /sys/class/gpio   the host dir cfg["gpio"]
  /usr/bin          the host's /usr/bin with the entries of cfg["usr_bin"] laid over it
                    (read-only overlay), for fakes the daemons start by absolute path
"""

import ctypes
import json
import os
import socket
import struct
import subprocess
import sys

MS_RDONLY = 1
MS_BIND = 4096
MS_REC = 16384
MS_PRIVATE = 1 << 18
MNT_DETACH = 2

_libc = ctypes.CDLL(None, use_errno=True)
_libc.mount.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_ulong,
                        ctypes.c_char_p]
_libc.umount2.argtypes = [ctypes.c_char_p, ctypes.c_int]


def _b(text):
    return None if text is None else os.fsencode(text)


def mount(source, target, fstype=None, flags=0, data=None):
    if _libc.mount(_b(source), _b(target), _b(fstype), flags, _b(data)) != 0:
        err = ctypes.get_errno()
        raise OSError(err, f"mount {source} on {target}: {os.strerror(err)}")


def bind(source, target, recursive=False):
    mount(source, target, None, MS_BIND | (MS_REC if recursive else 0))


def umount_lazy(target):
    if _libc.umount2(_b(target), MNT_DETACH) != 0:
        err = ctypes.get_errno()
        raise OSError(err, f"umount {target}: {os.strerror(err)}")


def make_mountpoint(path, like):
    """A directory or an empty file at path, matching what `like` is."""
    if os.path.isdir(like) and not os.path.islink(like):
        os.makedirs(path, exist_ok=True)
    elif not os.path.exists(path):
        with open(path, "w"):
            pass


def cover_keeping_entries(target, stage):
    """Puts a tmpfs over target with every entry of target bound back, so that a new
    entry can be added to a directory that cannot hold one (sysfs, a host dir)."""
    os.makedirs(stage, exist_ok=True)
    bind(target, stage, recursive=True)
    mount("tmpfs", target, "tmpfs", 0, "mode=755")
    for entry in os.listdir(stage):
        src = os.path.join(stage, entry)
        dst = os.path.join(target, entry)
        if os.path.islink(src):
            os.symlink(os.readlink(src), dst)
            continue
        make_mountpoint(dst, src)
        bind(src, dst, recursive=True)
    umount_lazy(stage)


def bind_over(host_dir, target, stage_root):
    """Binds host_dir over target, creating target inside the sandbox if needed."""
    if not os.path.isdir(target):
        parent = os.path.dirname(target)
        if not os.path.isdir(parent):
            # Only reached when even the parent is missing on the host.
            os.makedirs(target, exist_ok=True)
        else:
            cover_keeping_entries(parent,
                                  os.path.join(stage_root, parent.strip("/").replace("/", "_")))
            os.makedirs(target, exist_ok=True)
    bind(host_dir, target, recursive=True)


def setup_dev(dev_dir, stage):
    os.makedirs(stage, exist_ok=True)
    bind("/dev", stage, recursive=True)
    for node in ("null", "zero", "full", "random", "urandom", "tty"):
        src = os.path.join(stage, node)
        if os.path.exists(src):
            dst = os.path.join(dev_dir, node)
            make_mountpoint(dst, src)
            bind(src, dst)
    pts = os.path.join(dev_dir, "pts")
    os.makedirs(pts, exist_ok=True)
    bind(os.path.join(stage, "pts"), pts)
    # The ptmx of the bound devpts instance, so that ptys opened inside are host ptys.
    for name, target in (("ptmx", "pts/ptmx"), ("fd", "/proc/self/fd"), ("stdin", "/proc/self/fd/0"),
                         ("stdout", "/proc/self/fd/1"), ("stderr", "/proc/self/fd/2")):
        link = os.path.join(dev_dir, name)
        if not os.path.lexists(link):
            os.symlink(target, link)
    os.makedirs(os.path.join(dev_dir, "shm"), exist_ok=True)
    bind(dev_dir, "/dev", recursive=True)
    mount("tmpfs", "/dev/shm", "tmpfs", 0, "mode=1777")
    umount_lazy(stage)


def loopback_up():
    try:
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return
    except (OSError, subprocess.CalledProcessError):
        pass
    SIOCGIFFLAGS, SIOCSIFFLAGS, IFF_UP = 0x8913, 0x8914, 0x1
    import fcntl
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        req = struct.pack("16sh", b"lo", 0)
        flags = struct.unpack("16sh", fcntl.ioctl(s, SIOCGIFFLAGS, req))[1]
        fcntl.ioctl(s, SIOCSIFFLAGS, struct.pack("16sh", b"lo", flags | IFF_UP))


def main():
    with open(sys.argv[1]) as f:
        cfg = json.load(f)
    stage_root = cfg["stage"]
    os.makedirs(stage_root, exist_ok=True)
    mount(None, "/", None, MS_REC | MS_PRIVATE)

    setup_dev(cfg["dev"], os.path.join(stage_root, "dev"))
    bind(cfg["run"], "/run", recursive=True)
    bind_over(cfg["opt"], "/opt/quillon", stage_root)
    bind_over(cfg["gpio"], "/sys/class/gpio", stage_root)
    if cfg.get("usr_bin"):
        mount("overlay", "/usr/bin", "overlay", MS_RDONLY, f"lowerdir={cfg['usr_bin']}:/usr/bin")
    loopback_up()

    sys.stdout.write(f"READY {os.getpid()}\n")
    sys.stdout.flush()
    # Hold the namespaces until the harness closes our standard input (also when the
    # test process died), then end whatever still runs in them.
    while sys.stdin.buffer.read(4096):
        pass
    kill_namespace_members()


def kill_namespace_members():
    own = os.readlink("/proc/self/ns/ipc")
    for entry in os.listdir("/proc"):
        # Not ourselves, nor unshare, our parent, whose end would end us (--kill-child).
        if not entry.isdigit() or int(entry) in (os.getpid(), os.getppid()):
            continue
        try:
            if os.readlink(f"/proc/{entry}/ns/ipc") == own:
                os.kill(int(entry), 9)
        except OSError:
            pass


if __name__ == "__main__":
    try:
        main()
    except Exception as exc:  # reported to the harness, which fails the set-up
        sys.stdout.write(f"FAILED {exc!r}\n")
        sys.stdout.flush()
        sys.exit(1)
