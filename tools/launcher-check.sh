#!/bin/sh
# The Linux launchers answer --help and --version themselves, as the only
# argument: exit code 0 and their text on standard output. Any other
# arguments, these words among them, reach the program unchanged.
#   tools/launcher-check.sh BUILD_DIR
set -u
bin=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0
bad() { echo "FAIL: $*"; fail=1; }

# A board with files missing: a program that gets to look at it says so at
# once, where --help and --version never look.
mkdir "$work/broken"
: > "$work/broken/settings"
export BOARDSIM_DIR="$work/broken"
for p in flashupdate autorun boardsim; do
  for o in --help --version; do
    "$bin/$p" "$o" </dev/null >"$work/out" 2>"$work/err"
    rc=$?
    [ "$rc" -eq 0 ] || bad "$p $o: exit code $rc"
    [ -s "$work/out" ] || bad "$p $o: printed nothing"
    [ -s "$work/err" ] && bad "$p $o: wrote to standard error: $(cat "$work/err")"
  done
  grep -q "^$p " "$work/out" || bad "$p --version: no \"$p VERSION\" line"
done

# With more words, autorun runs: it meets the broken board and says so.
for args in "--help x" "x --version"; do
  # shellcheck disable=SC2086
  "$bin/autorun" $args </dev/null >"$work/out" 2>"$work/err"
  [ -s "$work/out" ] && bad "autorun $args: answered by the launcher"
  grep -q "cannot be used" "$work/err" || bad "autorun $args: did not reach the service"
done
# boardsim takes them as a bad command line.
"$bin/boardsim" --version x >/dev/null 2>&1
rc=$?
[ "$rc" -eq 2 ] || bad "boardsim --version x: exit code $rc, not 2 (usage)"

# flashupdate gets them on its command line and shows its main dialog
# (the unattended protocol on standard error; no input ends it).
export BOARDSIM_DIR="$work/board"
"$bin/boardsim" init >/dev/null || bad "boardsim init"
for args in "--help x" "/f --version"; do
  # shellcheck disable=SC2086
  "$bin/flashupdate" $args </dev/null >"$work/out" 2>"$work/err"
  grep -q "Usage" "$work/out" && bad "flashupdate $args: answered by the launcher"
  grep -q "^Dialog: \|^Message: \|Registry" "$work/err" || bad "flashupdate $args: no dialog: $(cat "$work/err")"
done
exit $fail
