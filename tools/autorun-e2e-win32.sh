#!/usr/bin/env bash
# autorun.exe end to end under Wine: a volume inserted with boardsim.exe has
# its AutoCopy tree copied into the root and its AutoRun programs (.exe
# files built by the project, and a .lnk naming a copied one) started with
# their arguments; Shift held skips a volume; a second service ends at
# once; Ctrl-C ends the service with exit code 0.   Usage: tools/autorun-e2e-win32.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
run="$src/tools/wine-run.sh"
export WINE_BUILD_DIR=${WINE_BUILD_DIR:-$build}
work=$(mktemp -d)
export BOARDSIM_DIR="$work/board"
service=
cleanup() {
  [ -n "$service" ] && kill "$service" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "autorun-e2e-win32: $*" >&2; exit 1; }
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# Waits (up to 60 s) until the mark file holds n records.
records() { local n; n=$(grep -c '^[^[]' "$work/marks.txt" 2>/dev/null) || n=0; echo "${n:-0}"; }
wait_records() {
  for _ in $(seq 600); do
    [ "$(records)" -ge "$1" ] && return 0
    sleep 0.1
  done
  fail "expected $1 program starts, saw $(records): $(cat "$work/marks.txt" 2>/dev/null)"
}

mark="$build/tests/mark_program.exe"
[ -f "$mark" ] || fail "no $mark"
"$run" "$build/boardsim.exe" init >/dev/null

card="$work/card"
mkdir -p "$card/AutoCopy/Tools" "$card/AutoCopy/Docs" "$card/AutoRun"
cp "$mark" "$card/AutoCopy/Tools/tool.exe"
cp "$mark" "$card/AutoRun/first.exe"
cp "$mark" "$card/AutoRun/second.exe"
echo docs > "$card/AutoCopy/Docs/readme.txt"
printf '#\\Tools\\tool.exe one "two three"' > "$card/AutoRun/go.lnk"
skipped="$work/skipped"
mkdir -p "$skipped/AutoCopy" "$skipped/AutoRun"
echo no > "$skipped/AutoCopy/skipped.txt"
cp "$mark" "$skipped/AutoRun/skipped.exe"
last="$work/last"
mkdir -p "$last/AutoRun"
cp "$mark" "$last/AutoRun/last.exe"

MARK_FILE="$(winpath "$work/marks.txt")" "$run" "$build/autorun.exe" &
service=$!
"$run" "$build/boardsim.exe" insert Card "$(winpath "$card")" >/dev/null
wait_records 3
root="$BOARDSIM_DIR/rootfs"
[ "$(cat "$root/Docs/readme.txt")" = docs ] || fail "AutoCopy did not land"
cmp -s "$mark" "$root/Tools/tool.exe" || fail "the copied program differs"
got=$(awk '/^\[/ { rec = rec " " $0; next } { if (rec != "") print rec; rec = $1 } END { print rec }' \
      "$work/marks.txt" | sort)
want=$(printf '%s\n' "first.exe" "second.exe" "tool.exe [one] [two three]" | sort)
[ "$got" = "$want" ] || fail "programs started: $got"

# Shift held: the volume is dropped; released, the next one is processed
# (in queue order, so the dropped one was read before it).
"$run" "$build/boardsim.exe" set shift down >/dev/null
"$run" "$build/boardsim.exe" insert Skipped "$(winpath "$skipped")" >/dev/null
for _ in $(seq 100); do
  [ -f "$root/Skipped/AutoRun/skipped.exe" ] && [ -f "$BOARDSIM_DIR/volumes/Skipped" ] && break
  sleep 0.1
done
sleep 0.5   # the watcher's next look (every 50 ms) announces it meanwhile
"$run" "$build/boardsim.exe" set shift up >/dev/null
"$run" "$build/boardsim.exe" insert Last "$(winpath "$last")" >/dev/null
wait_records 4
grep -q '^last.exe' "$work/marks.txt" || fail "the volume after Shift was not processed"
grep -q '^skipped.exe' "$work/marks.txt" && fail "a volume was processed while Shift was held"
[ -e "$root/skipped.txt" ] && fail "a volume was copied while Shift was held"

# A second service on the same board finds the first, says so on standard
# error and ends with exit code 0 (a time-out: it went on running).
code=0
timeout 60 "$run" "$build/autorun.exe" 2>"$work/second.txt" || code=$?
[ "$code" -eq 0 ] || fail "the second service: exit code $code"
grep -q 'the service runs on this board already' "$work/second.txt" ||
  fail "the second service did not say why it ends: $(cat "$work/second.txt")"

# Ctrl-C (SIGINT to Wine) ends the service through its own path: exit 0.
kill -INT "$service"
code=0
wait "$service" || code=$?
service=
[ "$code" -eq 0 ] || fail "exit code $code"
echo "autorun-e2e-win32: copy, starts with arguments, Shift, one service and exit code as expected"
