#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the libFuzzer targets (clang, -Dfuzz=enabled) and runs each for a bounded time
# on a copy of its seed corpus (tests/fuzz/corpus/<target>/ is never written), two at
# a time. Prints per target the executions and the coverage it reached; fails when
# any target crashes, leaks, breaks one of its rules or trips a sanitizer. The input
# that did it is kept under BUILD_DIR/fuzz-artifacts/.
#   scripts/run-fuzz.sh [BUILD_DIR] [SECONDS]
# BUILD_DIR defaults to <repo>/build-fuzz, SECONDS (per target) to 30. QUIL_FUZZ_JOBS
# sets how many targets run at once (default 2).
set -eu
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
build=${1:-$repo/build-fuzz}
seconds=${2:-30}
jobs=${QUIL_FUZZ_JOBS:-2}
case $build in /*) ;; *) build=$repo/$build ;; esac

if [ ! -f "$build/build.ninja" ]; then
    if [ -d "$build/meson-private" ]; then
        echo "   $build is not fully configured: setting it up anew"
        rm -rf "$build"
    fi
    CC=clang CXX=clang++ meson setup "$build" -Dfuzz=enabled -Dtests=disabled \
        -Db_sanitize=address,undefined -Db_lundef=false
fi
echo "== fuzz build ($build)"
ninja -C "$build"

work=$(mktemp -d /tmp/quil-fuzz-run.XXXXXX)
trap 'rm -rf "$work"' EXIT
artifacts=$build/fuzz-artifacts
mkdir -p "$artifacts"
# Symbolized reports even though the targets empty their PATH.
for symbolizer in llvm-symbolizer llvm-symbolizer-14; do
    if command -v "$symbolizer" >/dev/null 2>&1; then
        ASAN_SYMBOLIZER_PATH=$(command -v "$symbolizer")
        export ASAN_SYMBOLIZER_PATH
        break
    fi
done
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# Runs one target; its log and its exit status land in $work.
run_target() {
    name=$1
    corpus=$work/corpus/$name
    mkdir -p "$corpus"
    if [ -d "tests/fuzz/corpus/$name" ]; then
        cp -R "tests/fuzz/corpus/$name/." "$corpus/"
    fi
    status=0
    # -close_fd_mask=3: the daemons' own prints and libxml2's complaints would flood the
    # log; libFuzzer and the sanitizers still report on a duplicate of standard error.
    "$build/tests/fuzz/$name" -max_total_time="$seconds" -print_final_stats=1 \
        -close_fd_mask=3 -timeout=10 -artifact_prefix="$artifacts/$name-" \
        "$corpus" >"$work/$name.log" 2>&1 || status=$?
    echo "$status" >"$work/$name.status"
}

targets=$(cd "$build/tests/fuzz" && for f in fuzz_*; do
    if [ -f "$f" ] && [ -x "$f" ]; then echo "$f"; fi
done)
echo "== fuzzing, $seconds s per target, $jobs at a time"
running=0
for name in $targets; do
    run_target "$name" &
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then
        wait
        running=0
    fi
done
wait

failed=0
printf '%-24s %12s %8s  %s\n' target executions cov result
for name in $targets; do
    log=$work/$name.log
    status=$(cat "$work/$name.status")
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | sed 's/cov: //')
    result=ok
    if [ "$status" -ne 0 ]; then
        result="FAILED (exit $status)"
        failed=1
    fi
    printf '%-24s %12s %8s  %s\n' "$name" "${execs:-?}" "${cov:-?}" "$result"
done
if [ "$failed" -ne 0 ]; then
    for name in $targets; do
        if [ "$(cat "$work/$name.status")" -ne 0 ]; then
            echo "== $name"
            tail -n 60 "$work/$name.log"
        fi
    done
    echo "inputs kept in $artifacts" >&2
    exit 1
fi
