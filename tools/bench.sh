#!/usr/bin/env bash
# Whole-program and in-process benchmarks; writes bench/RESULTS.md.
#
#   tools/bench.sh            full run (about two minutes on two cores)
#   TMPDIR=/dev/shm tools/bench.sh   the same with every file on tmpfs
#
# Environment: BUILD_DIR (default build-bench, a RelWithDebInfo build with
# BUILD_BENCH=ON), JOBS (default 1), OUT (default bench/RESULTS.md).
# Every board lives in a temporary BOARDSIM_DIR; nothing outside it and the
# build directory is touched. Figures are reported, never judged as a test:
# the script fails only when a program does not run.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build-bench}"
jobs="${JOBS:-1}"
out="${OUT:-$root/bench/RESULTS.md}"
tmp="$(mktemp -d)"
autorun_pid=""
cleanup() {
    [ -n "$autorun_pid" ] && kill "$autorun_pid" 2>/dev/null || true
    rm -rf "$tmp"
}
trap cleanup EXIT

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_BENCH=ON -DWERROR=ON >/dev/null
ninja -C "$build" -j"$jobs" flashupdate autorun boardsim bench_flash bench_update bench_autocopy_run \
    bench_make_image >/dev/null

bin="$build"
export BOARDSIM_DIR="$tmp/board"
boardsim() { "$bin/boardsim" "$@"; }
# The clock into $stamp without a fork: a command substitution around
# `date` put some milliseconds of fork and exec into every timed span.
now() { stamp=${EPOCHREALTIME/,/.}; }
calc() { python3 -c "print($1)"; }
median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

# --- flashupdate /u of a 20 MB image against cp --------------------
boardsim init >/dev/null
boardsim set timing none >/dev/null
"$bin/bench/bench_make_image" "$tmp/nk.bin" 20
image_bytes=$(stat -c %s "$tmp/nk.bin")
update_times=(); cp_times=(); rss_kb=0
printf 'OK\nNo\n' > "$tmp/answers"   # the update's answers, ready before the clock runs
for i in 1 2 3 4 5 6 7; do
    # Each run overwrites the previous image: 80 blocks erased and programmed.
    /usr/bin/time -f "%e %M" -o "$tmp/time.txt" \
        "$bin/flashupdate" /u "$tmp/nk.bin" < <(printf 'OK\nNo\n') 2>"$tmp/fu.err" >/dev/null || true
    grep -q "RESET" "$tmp/fu.err" || { echo "bench.sh: the update did not complete:" >&2; tail "$tmp/fu.err" >&2; exit 1; }
    now; t0=$stamp; "$bin/flashupdate" /u "$tmp/nk.bin" < "$tmp/answers" 2>/dev/null >/dev/null || true; now; t1=$stamp
    update_times+=("$(calc "$t1 - $t0")")
    read -r _ kb < <(tail -n 1 "$tmp/time.txt")
    [ "$kb" -gt "$rss_kb" ] && rss_kb=$kb
    rm -f "$tmp/copy.bin"; sync "$tmp/nk.bin" 2>/dev/null || true
    now; t0=$stamp; cp "$tmp/nk.bin" "$tmp/copy.bin"; now; t1=$stamp
    cp_times+=("$(calc "$t1 - $t0")")
done
update_s=$(calc "round($(printf '%s\n' "${update_times[@]}" | median), 3)")
cp_s=$(calc "round($(printf '%s\n' "${cp_times[@]}" | median), 4)")
update_mbs=$(calc "round($image_bytes / 1048576 / $update_s, 1)")
cp_mbs=$(calc "round($image_bytes / 1048576 / $cp_s, 1)")
update_ratio=$(calc "round($update_s / $cp_s, 2)")

# --- AutoCopy of 2,000 files (100 MB) against cp -r ----------------------
python3 - "$tmp/tree" <<'PY'
import os, sys
root = sys.argv[1]
data = bytes((i * 7 + 13) % 251 for i in range(52428))   # 2,000 x 52,428 B = 100 MB
for i in range(2000):
    d = os.path.join(root, "d%02d" % (i % 40), "s%d" % (i % 5))
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "f%04d.dat" % i), "wb") as f:
        f.write(data)
PY
mkdir -p "$BOARDSIM_DIR/rootfs/BENCH"
mv "$tmp/tree" "$BOARDSIM_DIR/rootfs/BENCH/AutoCopy"
autocopy_times=(); cpr_times=()
run_autocopy() { autocopy_times+=("$("$bin/bench/bench_autocopy_run" '\BENCH')"); }
run_cpr() { now; t0=$stamp; cp -r "$BOARDSIM_DIR/rootfs/BENCH/AutoCopy/." "$tmp/cpr/"; now; t1=$stamp; cpr_times+=("$(calc "$t1 - $t0")"); }
# Both destinations empty and the disk idle before each timed copy (a copy
# that starts while the last one's 100 MB are still being written back runs
# up to five times faster or slower); the order alternates so that neither
# side always goes first.
settle() { sync; sleep 1; }
for i in 1 2 3 4 5 6 7; do
    rm -rf "$BOARDSIM_DIR"/rootfs/d?? "$tmp/cpr"; mkdir -p "$tmp/cpr"; settle
    if [ $((i % 2)) -eq 1 ]; then run_autocopy; settle; run_cpr; else run_cpr; settle; run_autocopy; fi
done
copied=$(find "$BOARDSIM_DIR"/rootfs/d?? -type f | wc -l)
autocopy_s=$(calc "round($(printf '%s\n' "${autocopy_times[@]}" | median), 3)")
cpr_s=$(calc "round($(printf '%s\n' "${cpr_times[@]}" | median), 3)")
autocopy_ratio=$(calc "round($autocopy_s / $cpr_s, 2)")
rm -rf "$BOARDSIM_DIR"/rootfs/d?? "$BOARDSIM_DIR/rootfs/BENCH" "$tmp/cpr"

# --- autorun start latency, idle CPU, memory after 100 volumes -----
"$bin/autorun" </dev/null >/dev/null 2>&1 &
autorun_pid=$!
sleep 2.5   # past the start pause and the flash-disk pass
mkdir -p "$tmp/card/AutoRun"
printf '#!/bin/sh\ndate +%%s.%%N > %s/mark\n' "$tmp" > "$tmp/card/AutoRun/mark.exe"
chmod +x "$tmp/card/AutoRun/mark.exe"
latencies=()
for i in 1 2 3 4 5; do
    rm -f "$tmp/mark"
    now; t0=$stamp
    boardsim insert CARD "$tmp/card" >/dev/null
    for _ in $(seq 1 500); do [ -s "$tmp/mark" ] && break; sleep 0.01; done
    [ -s "$tmp/mark" ] || { echo "bench.sh: autorun did not start the volume's program" >&2; exit 1; }
    latencies+=("$(calc "($(cat "$tmp/mark") - $t0) * 1000")")
    boardsim remove CARD >/dev/null
done
latency_ms=$(calc "round($(printf '%s\n' "${latencies[@]}" | median), 1)")
ticks() { awk '{print $14 + $15}' "/proc/$autorun_pid/stat"; }
hz=$(getconf CLK_TCK)
c0=$(ticks); sleep 10; c1=$(ticks)
idle_cpu=$(calc "round(($c1 - $c0) / $hz, 2)")
mkdir -p "$tmp/plain/AutoCopy"
echo x > "$tmp/plain/AutoCopy/plain.txt"
for i in $(seq 1 100); do
    boardsim insert "V$i" "$tmp/plain" >/dev/null
    boardsim remove "V$i" >/dev/null
done
sleep 1
autorun_rss_kb=$(awk '/VmHWM/ {print $2}' "/proc/$autorun_pid/status")
kill "$autorun_pid"; wait "$autorun_pid" 2>/dev/null || true; autorun_pid=""

# --- in-process benchmarks -----------------------------------------
"$bin/bench/bench_flash" --benchmark_min_time=0.2 2>/dev/null > "$tmp/flash.txt"
"$bin/bench/bench_update" 2>/dev/null > "$tmp/update.txt"
counter() { grep "^$1" "$2" | head -1 | grep -o "$3=[0-9.k]*" | cut -d= -f2; }
writes_buffer=$(counter "BM_ProgramChunk/64 " "$tmp/flash.txt" "writes/64B")
writes_chunk=$(counter "BM_ProgramChunk/16384" "$tmp/flash.txt" "writes/64B")
device_ratio=$(counter "BM_UpdateDeviceTime" "$tmp/update.txt" "ratio")

verdict() { if python3 -c "import sys; sys.exit(0 if $1 else 1)"; then echo met; else echo MISSED; fi; }

{
    echo "# Benchmark results"
    echo
    echo "Produced by \`tools/bench.sh\` on $(date -u +'%Y-%m-%d %H:%M UTC')."
    echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'),"
    echo "build: RelWithDebInfo (gcc), boards in a temporary BOARDSIM_DIR, flash timing \"none\" unless said."
    echo "Files (images, trees, boards, copies) on $(dirname "$tmp"), file system $(stat -f -c %T "$tmp")."
    echo "Figures are medians of 3 runs (the update and its cp, AutoCopy and its cp -r: of 7, alternating; autorun latency: of 5). The machine is shared; expect noise."
    echo
    echo "| What | Figure | Goal | |"
    echo "|---|---|---|---|"
    echo "| flashupdate /u, 20 MB OS image, end to end | ${update_s} s = ${update_mbs} MB/s; cp: ${cp_s} s = ${cp_mbs} MB/s; ratio ${update_ratio} | within 15 x cp | $(verdict "$update_ratio <= 15") |"
    echo "| Bus writes per full 64-byte buffer (one buffer per call / 16 KB chunks as the worker programs; each call adds a read-status and a status-clear write) | ${writes_buffer} / ${writes_chunk} | 19 per buffer | $(verdict "$writes_chunk < 19.01") |"
    echo "| Emulated device time of the 20 MB update / datasheet sum of erase and program times (the board gives reads no cycle time, so the read-back's reads cost none) | ratio ${device_ratio} | within 1.01 | $(verdict "$device_ratio <= 1.01") |"
    echo "| AutoCopy, ${copied} files, 100 MB | ${autocopy_s} s; cp -r: ${cpr_s} s; ratio ${autocopy_ratio} | within 1.25 x cp -r | $(verdict "$autocopy_ratio <= 1.25") |"
    echo "| autorun: boardsim insert to the first program's mark | ${latency_ms} ms | | |"
    echo "| autorun: CPU over 10 s idle | ${idle_cpu} s | 0.00 | $(verdict "$idle_cpu <= 0.0") |"
    echo "| Peak RSS of flashupdate /u (20 MB image) | ${rss_kb} KB | | |"
    echo "| Peak RSS of autorun after 100 volumes inserted and removed | ${autorun_rss_kb} KB | | |"
    echo
    echo "## Bus economy (bench_flash)"
    echo
    echo '```'
    grep -E "^(Benchmark|BM_|-)" "$tmp/flash.txt"
    echo '```'
    echo
    echo "## Update worker in-process (bench_update)"
    echo
    echo "BM_UpdateDeviceTime reports emulated seconds on the virtual clock (manual time):"
    echo "limit_s = blocks_erased x 1 s + buffers x 200 us, the devices' own time."
    echo
    echo '```'
    grep -E "^(Benchmark|BM_|-)" "$tmp/update.txt"
    echo '```'
    if [ -f "$root/bench/NOTES.md" ]; then
        echo
        cat "$root/bench/NOTES.md"
    fi
} > "$out"
echo "bench.sh: results in $out"
cat "$out"
