#!/usr/bin/env bash
# Runs the README's examples as written: every fenced block marked `sh`, in
# order, as one script, from a scratch folder that holds `build` (a link to
# the build directory) and a board of its own. Blocks marked `shell` (the
# set-up and install commands) and `text` are not run.
#   readme-check.sh README.md BUILD_DIR
# Fails when a command is not found or cannot run (126/127), when boardsim
# reports a usage error (2), when a wait times out (124), or when the output shows that an example named
# something that does not exist; and when a manual page in doc/man shows a
# doubled backslash or boardsim(1) lacks a command of `boardsim help`.
set -uo pipefail
readme=$(realpath "${1:-README.md}")
build=$(realpath "${2:-build}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ln -s "$build" "$work/build"
export BOARDSIM_DIR="$work/board"
cd "$work"

# The blocks, each command line followed by a check of its exit status.
awk '
  /^[ ]*```sh[ ]*$/ { inside = 1; next }
  /^[ ]*```/        { inside = 0; next }
  inside && /^[ ]*(#.*)?$/ { print; next }
  inside { print; printf "__check $? %d\n", NR }
' "$readme" >examples.sh
if ! grep -q __check examples.sh; then
  echo "readme-check: no sh examples found in $readme"
  exit 1
fi

cat >run.sh <<'RUN'
__failed=0
__check() {
  case "$1" in
    2|124|126|127) echo "readme-check: README line $2 ended with status $1"; __failed=1 ;;
  esac
}
RUN
cat examples.sh >>run.sh
# Whatever an example left running in the background ends with the check.
echo 'kill $(jobs -p) 2>/dev/null; wait; exit $__failed' >>run.sh

status=0
bash run.sh </dev/null >output.txt 2>&1 || status=$?
cat output.txt
for bad in "Cannot Open Image File" "No such file" "No such folder" "unknown command" \
           "command not found" "cannot read" "is not a directory"; do
  if grep -q "$bad" output.txt; then
    echo "readme-check: the output says \"$bad\""
    status=1
  fi
done

# The manual pages beside the README: a backslash is "\e" in roff, so a
# device path written "\e\e" shows two of them; and every command that
# `boardsim help` lists has its entry in boardsim(1).
mandir="$(dirname "$readme")/doc/man"
if command -v groff >/dev/null 2>&1; then
  for page in "$mandir"/*.[0-9]; do
    if groff -man -Tascii -P-cbou "$page" 2>/dev/null | grep -q '\\\\'; then
      echo "readme-check: $(basename "$page") shows a doubled backslash"
      status=1
    fi
  done
fi
commands=$(sed -n '/^\.SH COMMANDS/,/^\.SH [^C]/p' "$mandir/boardsim.1" | sed 's/\\f[BIRP]/ /g')
for command in $("$build/boardsim" help | sed -n '/^Commands:/,/^$/s/^  \([a-z][a-z-]*\) .*/\1/p'); do
  if ! grep -qw -- "$command" <<<"$commands"; then
    echo "readme-check: boardsim(1) has no entry for the command \"$command\" of boardsim help"
    status=1
  fi
done

[ "$status" -eq 0 ] && echo "readme-check: all examples of $readme ran as written"
exit "$status"
