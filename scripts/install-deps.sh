#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs everything the build, the demo and the tests need on Debian 12, and the
# tools the daemons run: lsusb (usbutils), lspci (pciutils), dmidecode, and find,
# ipcrm (findutils, util-linux).
set -e
if [ "$(id -u)" -ne 0 ]; then
    echo "run as root (the daemons and the test sandboxes need it)" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
if [ -z "$QUIL_SKIP_APT_UPDATE" ]; then
    apt-get update -q
fi
apt-get install -y -q --no-install-recommends \
    g++ meson ninja-build pkg-config clang libclang-rt-14-dev \
    libglib2.0-dev libglib2.0-bin libmbim-glib-dev libmbim-proxy libmbim-utils \
    libudev-dev libxml2-dev libpolkit-gobject-1-dev libgtest-dev libjson-glib-dev scdoc \
    dbus dbus-daemon procps strace \
    usbutils pciutils dmidecode util-linux \
    umockdev libumockdev-dev gir1.2-umockdev-1.0 \
    python3 python3-pytest python3-pytest-xdist python3-pytest-timeout \
    python3-gi python3-dbus python3-sysv-ipc python3-dbusmock
