#!/bin/sh
# Installs the dependencies, builds, and runs every test: the unit tests (also under
# AddressSanitizer and UndefinedBehaviorSanitizer) and the integration scenarios, each
# in a sandbox of its own. Run as root from anywhere.
set -eu
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"

sh scripts/install-deps.sh

build=${QUIL_BUILD_DIR:-$repo/build}
asan_build=$repo/build-sanitize

echo "== build"
[ -d "$build" ] || meson setup "$build"
ninja -C "$build"

echo "== unit tests"
meson test -C "$build" --suite unit --print-errorlogs

echo "== unit tests under AddressSanitizer and UndefinedBehaviorSanitizer"
[ -d "$asan_build" ] || meson setup "$asan_build" -Db_sanitize=address,undefined -Db_lundef=false
ninja -C "$asan_build"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    meson test -C "$asan_build" --suite unit --print-errorlogs

echo "== integration tests"
workers=${QUIL_TEST_WORKERS:-4}
QUIL_BUILD_DIR=$build /usr/bin/python3 -m pytest -n "$workers" -q tests/integration "$@"
