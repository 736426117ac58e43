#!/usr/bin/env bash
# End-to-end tests of the Win32 programs through drive.exe under Wine.
#
#   tools/win32/e2e.sh WIN32_BUILD [LINUX_BUILD]
#   KEEP_TMP=1 tools/win32/e2e.sh ...   keeps the boards and transcripts
#
# First drive on its own fixture (transcripts as written here), then
# flashupdate.exe in the scenarios of the Linux black-box tests, each run
# beside the Linux build's flashupdate on a board of its own made the same
# way: the normalised transcripts, the exit codes, flash.img and the board's
# events must be equal. LINUX_BUILD (default build) is configured and its
# flashupdate and boardsim built when they are missing.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
win="$(cd "${1:?usage: e2e.sh WIN32_BUILD [LINUX_BUILD]}" && pwd)"
lin="${2:-$root/build}"
if [ ! -x "$lin/flashupdate" ] || [ ! -x "$lin/boardsim" ]; then
  cmake -S "$root" -B "$lin" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWERROR=ON >/dev/null
  cmake --build "$lin" -j2 --target flashupdate boardsim >/dev/null
fi
lin="$(cd "$lin" && pwd)"
export WINE_BUILD_DIR="$win"
tmp="$(mktemp -d)"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  WINEPREFIX="$win/wineprefix" wineserver -k 2>/dev/null || true
  if [ -n "${KEEP_TMP:-}" ]; then echo "e2e.sh: the runs are in $tmp" >&2; else rm -rf "$tmp"; fi
}
trap cleanup EXIT
normalise() { python3 "$root/tools/win32/normalise.py" "$@"; }
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# Waits (at most 60 s) until file $1 holds a line matching $2.
wait_for() {
  local i
  for i in $(seq 600); do grep -q -- "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
  return 1
}

# ---- drive on its fixture --------------------------------------------------
# The chooser opens in the fixture's current folder; as the board's root
# folder it is "\" to drive.
export BOARDSIM_DIR="$tmp/fixture"
mkdir -p "$BOARDSIM_DIR/rootfs/sub"
echo text > "$BOARDSIM_DIR/rootfs/x.txt"
# fixture ARGUMENTS...: drive on the fixture; answers on stdin, the
# transcript into $tmp/fixture.txt. It takes the place of the shell that
# runs it (a pipeline, or a job whose pid is then drive's, for Ctrl-C).
fixture() {
  cd "$BOARDSIM_DIR/rootfs" && exec "$root/tools/wine-run.sh" "$win/drive.exe" "$win/drive_fixture.exe" "$@" 2>"$tmp/fixture.txt"
}
expect() {   # NAME [--no-progress], the expected transcript on stdin
  if ! diff <(normalise ${2:-}) <(normalise ${2:-} < "$tmp/fixture.txt") >"$tmp/diff.txt"; then
    fail "drive fixture, $1:"; cat "$tmp/diff.txt" >&2
  fi
}

code=0
printf '1001\nfoo\nc\n1003\nnope.txt\nsub\nx.txt\nOK\nrun\ny\nn\n1001\n' | fixture || code=$?
[ "$code" = 3 ] || fail "drive fixture: exit code $code, not the program's 3"
expect "boxes, the chooser, progress, end of input" <<'EOF'
Dialog: Fixture 1.0
  [1001] Ask
  [1002] Run
  [1003] Choose
  [1004] Exit
Press: a button's id or text (empty line: close)
-> [1001] Ask
WARNING
This overwrites:
IMAGE


Sure?
[OK / Cancel]
-> foo
"foo" is no button of this box; answer OK / Cancel
-> Cancel
-> [1003] Choose
Open file: TEXT files (*.txt) in \
Path (empty line: cancel):
-> \nope.txt
No such file: \nope.txt
Path (empty line: cancel):
-> \sub
That is a folder, not a file: \sub
Path (empty line: cancel):
-> \x.txt
Chosen
x.txt
[OK]
-> OK
-> [1002] Run
Dialog: Working
  [2] Abort
(Ctrl-C: Abort)
Working 1002: 10/10
Working [1002 bar]: 10/10  100 %
Working 1003: 30/60
Working [1003 bar]: 30/60  50 %
Working 1004: Step 3
Working [1004 text]: Step 3
Working 1005: Whole: 6 steps
Working [1005 text]: Whole: 6 steps
QUESTION
Half way.
 Go on?
[Yes / No]
-> Yes
Working 1003: 60/60
Working [1003 bar]: 60/60  100 %
Working 1004: Step 6
Working [1004 text]: Step 6
RESET
Done.
[Yes / No]
-> No
Closed: Working
-> [1001] Ask
WARNING
This overwrites:
IMAGE


Sure?
[OK / Cancel]
(end of input: Cancel)
-> Cancel (end of input)
-> [2] close (end of input)
Closed: Fixture 1.0
EOF

# A process that ends with its dialog open: no "Closed", its exit code.
code=0
printf 'Exit\n' | fixture || code=$?
[ "$code" = 5 ] || fail "drive fixture: exit code $code, not the program's 5"
grep -q '^Closed' "$tmp/fixture.txt" && fail "drive fixture: a dialog that went with its process was closed"

# Ctrl-C: at a box it is Escape; during progress it is Abort; the box that
# follows takes its default at end of input.
mkfifo "$tmp/in"
fixture /p 2000 <"$tmp/in" &
pids+=($!)
exec 7>"$tmp/in"
wait_for "$tmp/fixture.txt" '^Working 1004: Step' || fail "drive fixture: no progress"
kill -INT "${pids[-1]}"
wait_for "$tmp/fixture.txt" '^\[OK\]' || fail "drive fixture: Ctrl-C did not abort"
exec 7>&-
code=0; wait "${pids[-1]}" || code=$?
[ "$code" = 4 ] || fail "drive fixture: exit code $code after Abort, not 4"
# (the step the Abort lands on varies: no progress lines compared)
expect "Ctrl-C during progress" --no-progress <<'EOF'
Dialog: Working
  [2] Abort
(Ctrl-C: Abort)
-> [2] Abort (interrupted)
ERROR
Aborted at a step.
[OK]
(end of input: OK)
-> OK (end of input)
Closed: Working
EOF

fixture <"$tmp/in" &
pids+=($!)
exec 7>"$tmp/in"
printf '1001\n' >&7
wait_for "$tmp/fixture.txt" '^\[OK / Cancel\]' || fail "drive fixture: no box"
kill -INT "${pids[-1]}"
wait_for "$tmp/fixture.txt" 'interrupted' || fail "drive fixture: Ctrl-C did not reach the box"
exec 7>&-
wait "${pids[-1]}" || true
grep -qx -- '-> Cancel (interrupted)' "$tmp/fixture.txt" || fail "drive fixture: Ctrl-C at a box is not Cancel"
grep -qx -- '-> \[2\] close (end of input)' "$tmp/fixture.txt" || fail "drive fixture: Ctrl-C was held for the dialog"

if [ ! -f "$win/flashupdate.exe" ]; then
  echo "e2e.sh: no flashupdate.exe in $win; drive's own tests only" >&2
  [ "$failures" = 0 ] && echo "e2e.sh: drive fixture passed" && exit 0
  exit 1
fi

# ---- flashupdate.exe beside the Linux flashupdate --------------------------
# One board per side, each made by its own side's boardsim; both must start
# equal.
BOARDSIM_DIR="$tmp/lin-board" "$lin/boardsim" init >/dev/null
BOARDSIM_DIR="$tmp/win-board" "$root/tools/wine-run.sh" "$win/boardsim.exe" init >/dev/null
cmp -s "$tmp/lin-board/flash.img" "$tmp/win-board/flash.img" || fail "boardsim.exe init makes another flash.img than boardsim init"

# side_run SIDE BOARD PROGRAM ARGUMENTS...: that side's boardsim or
# flashupdate (on Wine, flashupdate.exe through drive) on the board
# $tmp/BOARD. It takes the place of the shell that runs it, so it is
# always run in one of its own (a job, a pipeline, ( )): a job's pid is
# then the program's, for Ctrl-C.
side_run() {
  local side=$1 program=$3
  export BOARDSIM_DIR="$tmp/$2"
  shift 3
  if [ "$side" = lin ]; then
    exec "$lin/$program" "$@"
  elif [ "$program" = boardsim ]; then
    exec "$root/tools/wine-run.sh" "$win/boardsim.exe" "$@"
  fi
  # (what the program says on its own standard error is kept beside the
  # transcript, for a run that goes wrong before its first window)
  DRIVE_PROGRAM_ERRORS="$BOARDSIM_DIR.err" exec "$root/tools/wine-run.sh" "$win/drive.exe" "$win/flashupdate.exe" "$@"
}

# fresh_board NAME SIDE SETTINGS: a copy of SIDE's starting board for the
# scenario NAME, with "KEY=VALUE ..." set by that side's boardsim.
fresh_board() {
  local name=$1 side=$2 settings=$3 kv
  rm -rf "$tmp/$name.$side"
  cp -a "$tmp/$side-board" "$tmp/$name.$side"
  for kv in $settings; do
    (side_run "$side" "$name.$side" boardsim set "${kv%%=*}" "${kv#*=}" >/dev/null)
  done
}

# scenario NAME SETTINGS ANSWERS [ARGUMENTS...]: both sides, compared.
# SETTINGS: "KEY=VALUE ..." for boardsim set; ANSWERS: printf format.
scenario() {
  local name=$1 settings=$2 answers=$3
  shift 3
  local side
  for side in lin win; do
    fresh_board "$name" "$side" "$settings"
  done
  local lcode=0 wcode=0
  (cd "$tmp" && printf "$answers" | side_run lin "$name.lin" flashupdate "$@" 2>"$tmp/$name.lin.txt" >/dev/null) || lcode=$?
  # (drive traces what it sees: compare leaves it out, and shows it when
  # the transcripts differ)
  (cd "$tmp" && printf "$answers" | DRIVE_TRACE=1 side_run win "$name.win" flashupdate "$@" 2>"$tmp/$name.win.txt" >/dev/null) || wcode=$?
  compare "$name" "$lcode" "$wcode" ""
}

# compare NAME LINUX_CODE WIN_CODE NORMALISE_OPTION
compare() {
  local name=$1
  [ "$2" = "$3" ] || fail "$name: exit code $3, the Linux build's $2"
  if ! diff <(normalise $4 < "$tmp/$name.lin.txt") <(grep -v '^drive: ' "$tmp/$name.win.txt" | normalise $4) >"$tmp/diff.txt"; then
    fail "$name: the transcripts differ (< Linux, > Win32 through drive; exit codes $2 and $3):"; cat "$tmp/diff.txt" >&2
    { echo "  drive's trace:"; grep '^drive: ' "$tmp/$name.win.txt" | sed 's/^/    /'
      echo "  flashupdate.exe's standard error:"; sed 's/^/    /' "$tmp/$name.win.err"; } >&2 2>/dev/null || true
  fi
  if [ -z "$4" ]; then
    cmp -s "$tmp/$name.lin/flash.img" "$tmp/$name.win/flash.img" || fail "$name: flash.img differs"
  fi
  if ! diff "$tmp/$name.lin/events" "$tmp/$name.win/events" >"$tmp/diff.txt"; then
    fail "$name: the events differ:"; cat "$tmp/diff.txt" >&2
  fi
}

scenario update-ok "" 'OK\nNo\n' /u '\nk.bin'
scenario update-cancel "" 'Cancel\n' /u '\nk.bin'
scenario update-end-of-input "" '' /u '\nk.bin'
scenario update-restart "" 'o\ny\n' /u '\nk.bin'
cp "$tmp/lin-board/rootfs/nk.bin" "$tmp/nk.bin"
scenario update-host-path "" 'OK\nNo\n' /u ./nk.bin
scenario chooser "" 'nope.bin\nnk.bin\nOK\nNo\n' /u ''
scenario chooser-cancel "" '\n' /u ''
scenario main-dialog "" '1001\nOK\n1000\nOK\n1004\nOK\n1002\n\nupdate bootloader/image\n\\eboot.bin\nOK\nNo\nnothing\nBSP Version\nOK\n\n'
scenario main-coldboot "" '1003\n'
scenario main-warmboot "" 'Warmboot\n'
scenario main-registry-failures "hal-registry-clear=fail registry-flush=fail" '1000\nOK\n1001\nOK\n\n'
scenario save-registry "" '' /f
scenario restart-warm "" '' /r
scenario restart-cold "" '' /rc 10
scenario unknown-option "" '' /U

# interrupted NAME SETTINGS BEFORE WAIT AFTER SEEN [ARGUMENTS...]: both
# sides; answers BEFORE, then once a line matches WAIT, Ctrl-C (SIGINT to
# flashupdate, to drive.exe on Wine), then answers AFTER and the end of
# input; SEEN must then be in the transcript. Where the Ctrl-C lands in a
# run of progress differs, so progress and the flash's contents are not
# compared.
interrupted() {
  local name=$1 settings=$2 before=$3 waitfor=$4 after=$5 seen=$6
  shift 6
  local side codes=()
  for side in lin win; do
    fresh_board "$name" "$side" "$settings"
    rm -f "$tmp/in"; mkfifo "$tmp/in"
    side_run "$side" "$name.$side" flashupdate "$@" <"$tmp/in" 2>"$tmp/$name.$side.txt" >/dev/null &
    pids+=($!)
    exec 7>"$tmp/in"
    printf "$before" >&7
    wait_for "$tmp/$name.$side.txt" "$waitfor" || fail "$name ($side): no \"$waitfor\""
    kill -INT "${pids[-1]}"
    wait_for "$tmp/$name.$side.txt" "$seen" || fail "$name ($side): Ctrl-C did not give \"$seen\""
    # (the program may have ended already: a write to its closed input
    # must not end this script)
    (trap '' PIPE; printf "$after" >&7) 2>/dev/null || true
    exec 7>&-
    local code=0
    wait "${pids[-1]}" || code=$?
    codes+=("$code")
  done
  compare "$name" "${codes[0]}" "${codes[1]}" --no-progress
}

# Abort while the image is programmed, on slow flash: the update ends with
# its warning, the program with 1.
interrupted abort "timing=scaled timing-scale=0.2" 'OK\n' 'Updating IMAGE 1004: Section' '' '^\[OK\]' /u '\nk.bin'
# The Abort is echoed as it is taken, on both sides (compared above).
grep -qx -- '-> \[2\] Abort (interrupted)' "$tmp/abort.lin.txt" || fail "abort: Ctrl-C at the progress dialog is not echoed"
# Ctrl-C at the open-file dialog cancels it, and is not held for the
# progress dialog: the answers that follow find no window to take them.
interrupted chooser-interrupted "" '' '^Path (empty line: cancel):' '\\nk.bin\nOK\nNo\n' '(cancelled)' /u ''
# Ctrl-C at a box of the main dialog is its Escape; the dialog stays.
interrupted box-interrupted "" '1004\n' '^\[OK\]' '\n' 'interrupted' 

# Warmboot while another run of the same build holds the flash at its
# warning: the wait is said, Ctrl-C gives it up and closes the main dialog
# at once, the program ends, and no restart comes. The input stays open
# until the end: the dialog must not wait for it.
codes=()
for side in lin win; do
  fresh_board held "$side" ""
  rm -f "$tmp/hold" "$tmp/in"; mkfifo "$tmp/hold" "$tmp/in"
  side_run "$side" "held.$side" flashupdate /u '\nk.bin' <"$tmp/hold" 2>"$tmp/holder.$side.txt" >/dev/null &
  pids+=($!)
  side_run "$side" "held.$side" flashupdate <"$tmp/in" 2>"$tmp/held.$side.txt" >/dev/null &
  pids+=($!)
  exec 8>"$tmp/hold" 7>"$tmp/in"
  wait_for "$tmp/holder.$side.txt" '^\[OK / Cancel\]$' || fail "held ($side): the holder has no warning"
  printf 'Warmboot\n' >&7
  wait_for "$tmp/held.$side.txt" '^Waiting for the Flash: another program is using it$' ||
    fail "held ($side): the wait is not said"
  kill -INT "${pids[-1]}"
  wait_for "$tmp/held.$side.txt" '^flashupdate: ' || fail "held ($side): Ctrl-C did not give the wait up"
  exec 7>&-
  # The holder lets go only now: a wait that Ctrl-C missed would take the
  # flash here and restart, which the events then show.
  printf 'Cancel\n' >&8; exec 8>&-
  code=0; wait "${pids[-1]}" || code=$?
  wait "${pids[-2]}" || true
  codes+=("$code")
  [ "$(tail -n1 "$tmp/held.$side.txt")" = "flashupdate: nothing done, flash unchanged; stopped by a signal" ] ||
    fail "held ($side): not the closing line of a wait given up: $(tail -n1 "$tmp/held.$side.txt")"
  grep -q '^restart' "$tmp/held.$side/events" && fail "held ($side): a restart came after Ctrl-C gave the wait up"
done
compare held "${codes[0]}" "${codes[1]}" ""
[ "${codes[0]}" = 1 ] || fail "held: exit code ${codes[0]}, not 1"

# A box that reports a failed open: the system's reason (in Windows' words)
# on a line of its own between the box's text and its button, and the
# closing line last.
fresh_board reason win ""
(cd "$tmp" && side_run win reason.win flashupdate /u '\missing.bin' </dev/null 2>"$tmp/reason.txt" >/dev/null) || true
grep -A2 -x 'Cannot Open Image File \\missing.bin' "$tmp/reason.txt" | sed -n 2p | grep -q '^flashupdate: .' ||
  fail "reason: no reason line after the box's text"
grep -A2 -x 'Cannot Open Image File \\missing.bin' "$tmp/reason.txt" | sed -n 3p | grep -qx '\[OK\]' ||
  fail "reason: the box's button does not follow its reason"
[ "$(tail -n1 "$tmp/reason.txt")" = "flashupdate: flash unchanged" ] || fail "reason: the closing line is not last"
# A board that will not let the flash be mapped (its device state is a
# folder): the board's own words are the reason beside the box.
fresh_board refused win ""
rm -rf "$tmp/refused.win/flash.state"; mkdir "$tmp/refused.win/flash.state"
(cd "$tmp" && side_run win refused.win flashupdate /u '\nk.bin' </dev/null 2>"$tmp/refused.txt" >/dev/null) || true
grep -A1 -x 'Cannot access the Flash!' "$tmp/refused.txt" | sed -n 2p |
  grep -qx 'flashupdate: flash.state is a folder, not a file' || fail "refused: not the board's reason beside the box"
# Waits (at most 60 s) until a thread is held up writing into the FIFO $1:
# the program has taken its answer and writes the echo into a full pipe.
wait_writer_held() {
  local i task call fd pid
  for i in $(seq 600); do
    for task in /proc/[0-9]*/task/[0-9]*; do
      { read -r call fd _ < "$task/syscall"; } 2>/dev/null || continue
      [ "$call" = 1 ] || [ "$call" = 20 ] || continue   # write, writev
      pid=${task#/proc/}; pid=${pid%%/*}
      [ "$(readlink "/proc/$pid/fd/$((fd))" 2>/dev/null)" = "$1" ] && return 0
    done
    sleep 0.1
  done
  return 1
}

# Waits (at most 60 s) until process $1 has a thread that was not among
# $2 (its threads before) and waits in a system call: under Wine, the
# thread that runs drive's Ctrl-C handler, which has taken the interrupt
# and waits to trace it (DRIVE_TRACE) behind the held-up echo (on a lock:
# a wait on Wine's server is a read, else a futex).
wait_interrupt_taken() {
  local i task call
  for i in $(seq 600); do
    for task in /proc/"$1"/task/[0-9]*; do
      case " $2 " in *" ${task##*/} "*) continue ;; esac
      { read -r call _ < "$task/syscall"; } 2>/dev/null || continue
      [ "$call" = 0 ] || [ "$call" = 202 ] && return 0
    done
    sleep 0.1
  done
  return 1
}

# A Ctrl-C taken once the warning box has its answer, while the answer's
# echo is held up (standard error a full pipe): it is the progress
# dialog's Abort, which erases nothing, and the update ends without
# asking RESET. The echo goes on only once the interrupt is taken: at once
# by the Linux build's signal handler; under Wine by drive's handler,
# which runs in a thread of its own (seen waiting to trace it).
interrupted_after_answer() {
  local name=after-answer side
  for side in lin win; do
    fresh_board "$name" "$side" "timing=scaled timing-scale=0.2"
    rm -f "$tmp/in" "$tmp/err"; mkfifo "$tmp/in" "$tmp/err"
    # 8 keeps the pipe open while the program is started; 9 reads it.
    exec 8<>"$tmp/err" 9<"$tmp/err"
    # (DRIVE_TRACE: drive's Ctrl-C handler traces what it takes; see below)
    DRIVE_TRACE=1 side_run "$side" "$name.$side" flashupdate /u '\nk.bin' <"$tmp/in" 2>"$tmp/err" >/dev/null 8<&- 9<&- &
    pids+=($!)
    exec 7>"$tmp/in"
    local out="$tmp/$name.$side.txt" line
    : > "$out"
    while IFS= read -r -t 60 line <&9; do
      printf '%s\n' "$line" >> "$out"
      [ "$line" = "[OK / Cancel]" ] && break
    done
    # The pipe filled (writes of a page go whole or not at all), then the answer.
    dd if=/dev/zero of="$tmp/err" bs=4096 count=16 oflag=nonblock 2>/dev/null || true
    printf 'OK\n' >&7
    wait_writer_held "$(readlink -f "$tmp/err")" || fail "$name ($side): the echo was not held up"
    local before
    before=$(ls /proc/"${pids[-1]}"/task | tr '\n' ' ')
    kill -INT "${pids[-1]}"
    if [ "$side" = win ]; then
      wait_interrupt_taken "${pids[-1]}" "$before" || fail "$name ($side): the interrupt was not taken"
    fi
    # (the reader holds neither the pipe's other end nor the input's)
    tr -d '\0' <&9 >> "$out" 7>&- 8<&- 9<&- &
    local reader=$!
    exec 8<&- 9<&-
    (trap '' PIPE; printf 'No\n' >&7) 2>/dev/null || true
    exec 7>&-
    local code=0
    wait "${pids[-1]}" || code=$?
    wait "$reader" || true
    [ "$code" = 1 ] || fail "$name ($side): exit code $code, not 1"
    grep -qx -- '-> OK' "$out" || fail "$name ($side): the answer was not taken"
    grep -q '^RESET' "$out" && fail "$name ($side): the interrupt was lost: the update asked RESET"
    grep -q 'Update aborted\|^Closed: Updating IMAGE' "$out" || fail "$name ($side): no Abort"
  done
  for side in lin win; do
    cmp -s "$tmp/$side-board/flash.img" "$tmp/$name.$side/flash.img" || fail "$name ($side): the flash was changed"
  done
}
interrupted_after_answer

if [ "$failures" != 0 ]; then
  echo "e2e.sh: $failures failures" >&2
  exit 1
fi
echo "e2e.sh: drive fixture and flashupdate.exe beside the Linux build passed"
