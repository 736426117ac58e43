#!/usr/bin/env bash
# The 20 MB update under Wine through drive.exe, beside the Linux build's
# figure; writes bench/RESULTS-win32.md. A benchmark, never a test: it
# fails only when a program does not run.
#
#   tools/bench-win32.sh [WIN32_BUILD]   (default build-win32)
#
# Environment: BUILD_DIR (the Linux build, default build-bench as for
# tools/bench.sh), OUT (default bench/RESULTS-win32.md).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
win="$(cd "${1:-$root/build-win32}" && pwd)"
build="${BUILD_DIR:-$root/build-bench}"
out="${OUT:-$root/bench/RESULTS-win32.md}"
tmp="$(mktemp -d)"
trap 'WINEPREFIX="$win/wineprefix" wineserver -k 2>/dev/null || true; rm -rf "$tmp"' EXIT

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_BENCH=ON -DWERROR=ON >/dev/null
ninja -C "$build" -j1 flashupdate boardsim bench_make_image >/dev/null
export WINE_BUILD_DIR="$win"
wine_run() { "$root/tools/wine-run.sh" "$@"; }
now() { date +%s.%N; }
calc() { python3 -c "print($1)"; }
median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

"$build/bench/bench_make_image" "$tmp/nk.bin" 20
bytes=$(stat -c %s "$tmp/nk.bin")
BOARDSIM_DIR="$tmp/lin" "$build/boardsim" init >/dev/null
BOARDSIM_DIR="$tmp/win" wine_run "$win/boardsim.exe" init >/dev/null
# The image as the device file \bench.bin on both boards: the same path
# on both sides, whatever each makes of a host path.
cp "$tmp/nk.bin" "$tmp/lin/rootfs/bench.bin"
cp "$tmp/nk.bin" "$tmp/win/rootfs/bench.bin"
wine_run "$win/drive.exe" --unit KB "$win/drive_fixture.exe" </dev/null 2>/dev/null || true   # the prefix warm

lin_times=(); win_times=(); start_times=()
for i in 1 2 3; do
  t0=$(now)
  printf 'OK\nNo\n' | BOARDSIM_DIR="$tmp/lin" "$build/flashupdate" /u '\bench.bin' 2>"$tmp/lin.txt" >/dev/null || true
  t1=$(now)
  grep -qx RESET "$tmp/lin.txt" || { echo "bench-win32.sh: the Linux update did not complete" >&2; tail "$tmp/lin.txt" >&2; exit 1; }
  lin_times+=("$(calc "$t1 - $t0")")
  t0=$(now)
  printf 'OK\nNo\n' | BOARDSIM_DIR="$tmp/win" wine_run "$win/drive.exe" "$win/flashupdate.exe" /u '\bench.bin' \
    2>"$tmp/win.txt" >/dev/null || true
  t1=$(now)
  grep -qx RESET "$tmp/win.txt" || { echo "bench-win32.sh: the Win32 update did not complete" >&2; tail "$tmp/win.txt" >&2; exit 1; }
  win_times+=("$(calc "$t1 - $t0")")
  # What Wine and drive cost without an update: the program's main dialog,
  # closed at once by the end of input.
  t0=$(now)
  BOARDSIM_DIR="$tmp/win" wine_run "$win/drive.exe" "$win/flashupdate.exe" </dev/null 2>/dev/null >/dev/null || true
  t1=$(now)
  start_times+=("$(calc "$t1 - $t0")")
done
cmp -s "$tmp/lin/flash.img" "$tmp/win/flash.img" && same="equal" || same="DIFFERENT"
lin_s=$(calc "round($(printf '%s\n' "${lin_times[@]}" | median), 3)")
win_s=$(calc "round($(printf '%s\n' "${win_times[@]}" | median), 3)")
start_s=$(calc "round($(printf '%s\n' "${start_times[@]}" | median), 3)")
net_s=$(calc "round(max($win_s - $start_s, 0.001), 3)")
mbs() { calc "round($bytes / 1048576 / $1, 1)"; }
{
  echo "# Win32 build under Wine: the 20 MB update"
  echo
  echo "Produced by \`tools/bench-win32.sh\` on $(date -u +'%Y-%m-%d %H:%M UTC'), $(nproc) cores,"
  echo "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(wine --version), flash timing \"none\"."
  echo "Medians of 3 runs, wall time from start to exit, answers \`OK\` and \`No\` on standard input."
  echo "The machine is shared; expect noise (load average at the end: $(cut -d' ' -f1-3 /proc/loadavg))."
  echo
  echo "| What | Time | Rate |"
  echo "|---|---|---|"
  echo "| Linux: \`flashupdate /u \\bench.bin\` (20 MB) | ${lin_s} s | $(mbs "$lin_s") MB/s |"
  echo "| Wine: \`drive flashupdate.exe /u \\bench.bin\` (20 MB) | ${win_s} s | $(mbs "$win_s") MB/s |"
  echo "| Wine: \`drive flashupdate.exe\` closed at once (start and end of Wine, drive and the program) | ${start_s} s | |"
  echo "| Wine: the update less that | ${net_s} s | $(mbs "$net_s") MB/s |"
  echo
  echo "flash.img after the runs: $same on both sides."
} >"$out"
echo "bench-win32.sh: results in $out"
cat "$out"
