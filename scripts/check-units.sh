#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Checks the systemd units as a build installs them: `systemd-analyze verify` finds no
# fault in them, and `systemd-analyze security` rates each at an exposure of 3.0 or
# lower. Needs systemd-analyze (systemd, Debian 12: 252), not systemd as PID 1.
#     sh scripts/check-units.sh [BUILD_DIR]     (default: $QUIL_BUILD_DIR or build)
set -eu
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-${QUIL_BUILD_DIR:-$repo/build}}
max_exposure=30 # systemd-analyze's scale: 30 is an exposure of 3.0

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
meson install -C "$build" --destdir "$work/root" --no-rebuild --quiet >/dev/null
mkdir "$work/units"
# The installed units, with ExecStart pointing into the install tree (verify checks
# that the programs exist and are executable).
for unit in $(find "$work/root" -path '*/systemd/system/quil-helper-*.service'); do
    sed "s|^ExecStart=|ExecStart=$work/root|" "$unit" >"$work/units/$(basename "$unit")"
done
set -- "$work"/units/*.service
[ -f "$1" ] || { echo "no quil-helper units installed from $build" >&2; exit 1; }

status=0
for unit; do
    if ! systemd-analyze security --offline=yes --threshold=$max_exposure "$unit" \
        >"$work/security" 2>&1; then
        cat "$work/security"
        echo "FAIL $(basename "$unit"): exposure above 3.0" >&2
        status=1
    fi
    grep 'Overall exposure level' "$work/security" || true
done

# A unit this machine lacks (no dbus.service on a bare image) is no fault of ours:
# an empty stand-in for each one the units depend on.
mkdir "$work/stubs"
for dep in $(sed -n 's/^\(Requires\|Wants\|After\|BindsTo\)=//p' "$@" | tr ' ' '\n' | sort -u); do
    found=no
    for dir in $(systemd-analyze unit-paths) "$work/units"; do
        [ -e "$dir/$dep" ] && found=yes && break
    done
    [ $found = yes ] ||
        printf '[Unit]\nDescription=stand-in for %s\n[Service]\nExecStart=/bin/true\n' \
            "$dep" >"$work/stubs/$dep"
done
# verify exits 0 on an unknown key or a key in the wrong section: every line it
# prints about our units is a fault; lines about the machine's own units are shown only.
rc=0
SYSTEMD_UNIT_PATH="$work/stubs:" systemd-analyze verify "$@" >"$work/verify" 2>&1 || rc=$?
if [ -s "$work/verify" ]; then
    sed 's/^/  verify: /' "$work/verify"
fi
if [ $rc -ne 0 ] || grep -q "quil-helper-" "$work/verify"; then
    echo "FAIL systemd-analyze verify (status $rc)" >&2
    status=1
fi
[ $status -eq 0 ] && echo "units: verify clean, exposure at most 3.0"
exit $status
