#!/usr/bin/env bash
# Builds the Win32 programs with MinGW-w64 and runs their tests under Wine,
# headless. From a fresh clone it first installs what it needs from
# Debian's packages when they are missing (as root, with apt-get).
#   BUILD_DIR   build directory (default: build-win32)
#   TEST_REGEX  run only the tests whose names match (ctest -R)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build-win32}
jobs=${JOBS:-2}
start=$(date +%s)

. tools/ensure-packages.sh
ensure_packages tools/test-win32.sh cmake ninja-build g++-mingw-w64-x86-64-posix mingw-w64-tools googletest wine wine64 xvfb python3

# -O2 as the Linux build, without debug information: MinGW's objects and
# static links with it take a fifth longer, and CI has a time budget.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" -DWERROR=ON \
      -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null
# The programs and suites of the Win32 build that exist so far.
targets=(boardsim flashupdate autorun drive drive_fixture drive_hook)
mapfile -t -O "${#targets[@]}" targets < \
  <(sed -n 's/^build tests\/\(test_[a-z0-9_]*\|mark_program\)\.exe:.*/\1/p' "$build/build.ninja" | sort -u)
cmake --build "$build" -j "$jobs" --target "${targets[@]}"

# Wine: a prefix of the build folder's own, one wineserver for the whole
# run, started and booted apart from the tests' output (tools/wine-run.sh
# says why), and never left running afterwards.
export WINE_BUILD_DIR="$(cd "$build" && pwd)"
export WINEPREFIX="$WINE_BUILD_DIR/wineprefix" WINEDEBUG=-all
export BOARDSIM_DIR_ROOT="$(mktemp -d)"
cleanup() {
  wineserver -k 2>/dev/null || true
  rm -rf "$BOARDSIM_DIR_ROOT"
}
trap cleanup EXIT
export BOARDSIM_DIR="$BOARDSIM_DIR_ROOT/default"
mkdir -p "$WINEPREFIX"
# The prefix and the server, before the first test.
tools/wine-run.sh cmd /c exit 0 >/dev/null 2>&1 || true
# And the desktop: Wine's explorer.exe, which serves it, holds the standard
# error of the program that started it until the desktop has been unused
# for a second, so with two tests at a time the test that started it would
# "run" for as long as the others kept the desktop in use. A program of
# ours holds the desktop for the whole run (wineserver -k ends it).
tools/wine-run.sh notepad.exe </dev/null >/dev/null 2>&1 &
desktop_up() {
  local p
  for p in $(pgrep -f 'explorer.exe /desktop'); do
    tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" && return 0
  done
  return 1
}
for _ in $(seq 100); do desktop_up && break; sleep 0.1; done

# The board as the Linux build makes it: boardsim.exe init gives the same
# flash.img, and show the same summary (when a Linux build is at hand).
if [ -x "${LINUX_BUILD_DIR:-build}/boardsim" ]; then
  linux="${LINUX_BUILD_DIR:-build}/boardsim"
  BOARDSIM_DIR="$BOARDSIM_DIR_ROOT/linux" "$linux" init >/dev/null
  tools/wine-run.sh "$build/boardsim.exe" init >/dev/null
  cmp "$BOARDSIM_DIR_ROOT/linux/flash.img" "$BOARDSIM_DIR/flash.img"
  diff <(BOARDSIM_DIR="$BOARDSIM_DIR_ROOT/linux" "$linux" show | sed "s|$BOARDSIM_DIR_ROOT/linux|BOARD|") \
       <(tools/wine-run.sh "$build/boardsim.exe" show | sed "s|$BOARDSIM_DIR|BOARD|")
  echo "boardsim.exe: the same board and summary as the Linux build"
fi

args=(--test-dir "$build" --output-on-failure -j "$jobs" --timeout 300 --no-tests=error)
if [ -n "${TEST_REGEX:-}" ]; then
  args+=(-R "$TEST_REGEX")
fi
status=0
ctest "${args[@]}" || status=1
if [ -z "${TEST_REGEX:-}" ]; then
  # The programs end to end through drive, beside the Linux build's on the
  # same board inputs: transcripts, exit codes, events and flash.img equal.
  tools/win32/e2e.sh "$build" "${LINUX_BUILD_DIR:-build}" || status=1
fi
echo "tools/test-win32.sh: $(( $(date +%s) - start )) s"
exit "$status"
