#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# The demo: installs the dependencies, builds, and runs both daemons against the
# simulated module in a private sandbox, printing what a desktop client sees.
# Run as root from anywhere; extra arguments go to scripts/demo.py (e.g. --logs).
# QUIL_BUILD_DIR picks the build dir (default <repo>/build); QUIL_SKIP_APT_UPDATE=1
# skips the package list refresh.
set -eu
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"

sh scripts/install-deps.sh

build=${QUIL_BUILD_DIR:-$repo/build}
echo "== build ($build)"
[ -f "$build/build.ninja" ] || meson setup "$build"
ninja -C "$build"

echo "== demo"
exec /usr/bin/python3 scripts/demo.py --build-dir "$build" "$@"
