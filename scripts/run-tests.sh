#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs the dependencies, builds, and runs every test: the unit tests (also under
# AddressSanitizer and UndefinedBehaviorSanitizer) and the integration scenarios, each
# in a sandbox of its own. Run as root from anywhere.
# QUIL_BUILD_DIR picks the build dir (default <repo>/build); the sanitizer build goes
# to QUIL_SANITIZE_BUILD_DIR (default: the build dir's name with "-sanitize"), the
# ThreadSanitizer build of the daemons to QUIL_TSAN_BUILD_DIR (default "-tsan").
# Both sanitizer builds are unoptimized (-O0): they compile five times faster than
# -O2 with the sanitizers, and the reports are as good.
# After the integration scenarios against the plain build, all of them run again
# against the AddressSanitizer + UBSan daemons, and the threaded ones
# (tests/integration/tsan-subset.txt) against the ThreadSanitizer daemons: any
# sanitizer report fails its scenario (tests/integration/harness/sandbox.py).
# QUIL_TEST_WORKERS sets the pytest workers (default 4). Extra arguments go to pytest.
set -eu
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"

sh scripts/install-deps.sh

build=${QUIL_BUILD_DIR:-$repo/build}
asan_build=${QUIL_SANITIZE_BUILD_DIR:-$build-sanitize}
tsan_build=${QUIL_TSAN_BUILD_DIR:-$build-tsan}

# Makes sure a build dir is configured, not only there: a dir that Meson began but
# never finished (no build.ninja) is wiped and set up anew, any other one set up.
configure() {
    dir=$1
    shift
    if [ -f "$dir/build.ninja" ]; then
        return
    fi
    if [ -d "$dir/meson-private" ]; then
        echo "   $dir is not fully configured: setting it up anew"
        meson setup --wipe "$dir" "$@"
    else
        meson setup "$dir" "$@"
    fi
}

echo "== build ($build)"
configure "$build"
ninja -C "$build"

echo "== unit tests"
meson test -C "$build" --suite unit --print-errorlogs

echo "== unit tests under AddressSanitizer and UndefinedBehaviorSanitizer ($asan_build)"
configure "$asan_build" --buildtype=debug -Db_sanitize=address,undefined -Db_lundef=false
ninja -C "$asan_build"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    meson test -C "$asan_build" --suite unit --print-errorlogs

echo "== integration tests"
workers=${QUIL_TEST_WORKERS:-4}
QUIL_BUILD_DIR=$build /usr/bin/python3 -m pytest -n "$workers" tests/integration "$@"

echo "== integration tests against the AddressSanitizer + UBSan daemons ($asan_build)"
QUIL_BUILD_DIR=$asan_build /usr/bin/python3 -m pytest -n "$workers" tests/integration "$@"

echo "== threaded integration tests against the ThreadSanitizer daemons ($tsan_build)"
# Only the daemons: the unit tests have their run above.
configure "$tsan_build" --buildtype=debug -Db_sanitize=thread -Db_lundef=false
ninja -C "$tsan_build" mbim-helper/quil-helper-mbim dbus-helper/quil-helper-dbus
# Wrappers that show ThreadSanitizer GLib's locks and main-loop hand-overs (the harness
# preloads them into the daemons of this build).
cc -shared -fPIC -O2 -Wall -Wextra -Werror -o "$tsan_build/tsan_glib_locks.so" \
    tests/integration/tsan_glib_locks.c -ldl
QUIL_BUILD_DIR=$tsan_build /usr/bin/python3 -m pytest -n "$workers" \
    $(sed -n 's|^\([^#]\)|tests/integration/\1|p' tests/integration/tsan-subset.txt) "$@"
