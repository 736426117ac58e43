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
# The wineserver, and Wine's own processes that a new server starts
# (wineboot, services.exe and its services), inherit the standard error of
# the program that made them start and hold it until the server ends: a
# caller that reads a program's output to its end (ctest, a pipe, $(...))
# would wait for the server, not the program. So the server is started
# here, detached from our output, kept 60 s after its last program, and
# booted by a program of its own before anyone else uses it. The desktop's
# explorer.exe is such a process too; tools/test-win32.sh keeps one desktop
# for its whole run.
(
  flock 9
  # Exit code 0: a new server (2: one runs already, booted by whoever
  # started it). Neither inherits the lock (the server would hold it).
  if wineserver -p60 </dev/null >/dev/null 2>&1 9>&-; then
    wine cmd /c exit 0 </dev/null >/dev/null 2>&1 9>&- || true
  fi
) 9>"$dir/.wineserver.lock"
exec wine "$program" "$@"
