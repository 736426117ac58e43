#!/usr/bin/env bash
# Builds the fuzz targets with clang (address and undefined-behaviour
# sanitizers, every library instrumented for coverage) and runs each for a
# short, fixed time from its seed corpus.
#
#   tools/fuzz.sh [SECONDS]        default 20 seconds per target
#
# Environment: BUILD_DIR (default build-fuzz), TARGETS (default all five),
# JOBS (default 1). A crash leaves its input as crash-* in the run folder
# (BUILD_DIR/fuzz-runs/<target>/) and makes the script fail; copy it into
# fuzz/corpus/<target>/ so that test_fuzz_regressions replays it from then on.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-20}"
build="${BUILD_DIR:-$root/build-fuzz}"
jobs="${JOBS:-1}"
targets="${TARGETS:-fuzz_update_worker fuzz_flash_scan fuzz_shortcut fuzz_notification fuzz_registry_text}"

command -v clang++ >/dev/null || { echo "fuzz.sh: clang++ is needed (apt-get install clang libclang-rt-14-dev)" >&2; exit 2; }

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja \
    -DBUILD_FUZZ=ON -DWERROR=ON -DSANITIZE=address,undefined \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link" >/dev/null
# Only the fuzz targets: the unit tests are not needed here.
ninja -C "$build" -j"$jobs" $targets

status=0
for t in $targets; do
    run="$build/fuzz-runs/$t"
    mkdir -p "$run/corpus"
    # New inputs go to the run's own corpus; the checked-in one
    # (fuzz/corpus/<target>) is only read.
    seeds=("$run/corpus" "$root/fuzz/corpus/$t")
    echo "== $t: ${seconds}s"
    if ! (cd "$run" && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
            UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
            "$build/fuzz/$t" -max_total_time="$seconds" -max_len=65536 -timeout=60 \
            -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$run/" "${seeds[@]}" >"$run/log" 2>&1); then
        echo "!! $t failed; see $run/log and $run/crash-*" >&2
        tail -n 40 "$run/log" >&2
        status=1
    else
        grep -E "^stat::(number_of_executed_units|new_units_added)" "$run/log" || true
    fi
done
exit $status
