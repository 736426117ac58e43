#!/usr/bin/env bash
# Runs a Windows program of the Win32 build under Wine, headless: a private
# prefix in the build folder (WINE_BUILD_DIR, else the folder of the
# program, else the current one), no debug output, the null graphics
# driver. Used as CMAKE_CROSSCOMPILING_EMULATOR, and by tools/test-win32.sh.
set -euo pipefail
program=$1
shift
dir=${WINE_BUILD_DIR:-}
if [ -z "$dir" ]; then
  dir=$(cd "$(dirname "$program")" && pwd)
  # Tests live in build/tests: the prefix is the build folder's.
  while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  [ "$dir" = / ] && dir=$(pwd)
fi
export WINEPREFIX="$dir/wineprefix"
export WINEDEBUG=-all
export WINEARCH=win64
# No Mono, Gecko or menu entries for a prefix that only runs tests.
# No debugger on a crash either: the program ends with its exception code.
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe,winedbg.exe=d;${WINEDLLOVERRIDES:-}"
if [ ! -f "$WINEPREFIX/.boardsim-ready" ]; then
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.boardsim-ready" ]; then
      wineboot -i >/dev/null 2>&1 || true
      wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
      wineserver -w
      touch "$WINEPREFIX/.boardsim-ready"
    fi
  ) 9>"$dir/.wineprefix.lock"
fi
exec wine "$program" "$@"
