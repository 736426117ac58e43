#!/usr/bin/env bash
# Pictures of flashupdate.exe's real windows, rendered by Wine under Xvfb:
# the main dialog, the "BSP Verison" box, the overlap warning and the
# progress dialog in the middle of an update, as PNG files in doc/screenshots/.
#
#   tools/screenshots-win32.sh [WIN32_BUILD]    (default build-win32)
#
# drive.exe steps the program from window to window; each picture is the
# X root window (xwd; PrintWindow gives black under Wine), cut to what the
# windows cover. A Wine virtual desktop stands in for a window manager,
# without which every closed window costs two seconds. The prefix is the
# build folder's wineprefix-shots (the tests' prefix uses the null driver,
# which draws nothing).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
win="$(cd "${1:-$root/build-win32}" && pwd)"
out="$root/doc/screenshots"
# What it needs from Debian's packages, installed when missing (as root).
. "$root/tools/ensure-packages.sh"
ensure_packages screenshots-win32.sh xvfb x11-apps imagemagick wine64 fonts-wine

tmp="$(mktemp -d)"
xvfb_pid=""
drive_pid=""
export WINEPREFIX="$win/wineprefix-shots" WINEDEBUG=-all WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"
cleanup() {
  exec 7>&- 2>/dev/null || true
  [ -n "$drive_pid" ] && kill "$drive_pid" 2>/dev/null || true
  wineserver -k 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

# A display of our own.
display=""
for n in $(seq 90 120); do
  if [ ! -e "/tmp/.X$n-lock" ]; then display=":$n"; break; fi
done
[ -n "$display" ] || { echo "screenshots-win32.sh: no free X display" >&2; exit 1; }
Xvfb "$display" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
export DISPLAY="$display"
for _ in $(seq 100); do xwd -root -silent >/dev/null 2>&1 && break; sleep 0.1; done

if [ ! -f "$WINEPREFIX/.shots-ready" ]; then
  wineboot -i >/dev/null 2>&1 || true
  wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d shots /f >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v shots /d 800x600 /f >/dev/null 2>&1
  wineserver -w
  touch "$WINEPREFIX/.shots-ready"
fi
# The caption's close button is a glyph of the Marlett font. Windows keeps
# it in its Fonts folder; Debian's Wine 8 loads only the bitmap fonts of its
# own font folder, so without a copy in the prefix the button shows an "r".
if [ -f /usr/share/wine/fonts/marlett.ttf ] && [ ! -f "$WINEPREFIX/drive_c/windows/Fonts/marlett.ttf" ]; then
  cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
fi

# A board of its own, slow enough to be caught in the middle of an update.
export BOARDSIM_DIR="$tmp/board"
wine "$win/boardsim.exe" init >/dev/null
wine "$win/boardsim.exe" set timing scaled >/dev/null
wine "$win/boardsim.exe" set timing-scale 0.3 >/dev/null

log="$tmp/transcript.txt"
wait_for() {   # a line matching $1 in the transcript, at most 60 s
  for _ in $(seq 600); do grep -q -- "$1" "$log" 2>/dev/null && return 0; sleep 0.1; done
  echo "screenshots-win32.sh: waited in vain for \"$1\"; the transcript:" >&2
  cat "$log" >&2
  exit 1
}
shot() {   # the windows as they are drawn now, into doc/screenshots/$1
  sleep 1   # drawing is not part of the protocol: give it a moment
  xwd -root -silent | convert xwd:- -trim +repage "$out/$1"
  echo "screenshots-win32.sh: $out/$1"
}

mkfifo "$tmp/in"
wine "$win/drive.exe" "$win/flashupdate.exe" <"$tmp/in" 2>"$log" >/dev/null &
drive_pid=$!
exec 7>"$tmp/in"
mkdir -p "$out"
wait_for '^Press:'
printf '1004\n' >&7
wait_for '^\[OK\]$'
shot win32-bsp-version.png
# The main dialog once the box has gone: active again, as its owner.
printf 'OK\n' >&7
wait_for '^-> OK$'
shot win32-main-dialog.png
printf '1002\n' >&7
wait_for '^Path (empty line: cancel):'
printf 'nk.bin\n' >&7
wait_for '^\[OK / Cancel\]$'
shot win32-overlap-warning.png
printf 'OK\n' >&7
wait_for '^Updating IMAGE \[1003 bar\]: .* [4-6][0-9] %$'
shot win32-progress.png
wait_for '^\[Yes / No\]$'
printf 'No\n\n' >&7
exec 7>&-
wait "$drive_pid" || true
drive_pid=""
