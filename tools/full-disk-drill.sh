#!/bin/sh
# Drill: the board on a full file system, where flash.state cannot be
# created. flashupdate must say why ("No space left on device") and show
# "Cannot access the Flash!", and end as usual (exit code 1), never by
# SIGBUS; boardsim show must still report the board; boardsim insert of a
# card larger than the space left must say why and leave nothing.
#   tools/full-disk-drill.sh BUILD_DIR
# Needs a small tmpfs of its own (root, in a private mount namespace);
# ends with 77 (skipped) where that cannot be had.
set -u
if [ "${1:-}" != --inside ]; then
  bin=$(cd "$1" && pwd)
  mnt=$(mktemp -d)
  log=$(mktemp)   # outside the full file system
  trap 'rmdir "$mnt"; rm -f "$log"' EXIT
  command -v unshare >/dev/null 2>&1 || { echo "skipped: no unshare"; exit 77; }
  unshare -m sh -c "mount --make-rprivate / && mount -t tmpfs -o size=40m tmpfs '$mnt'" 2>/dev/null ||
    { echo "skipped: no tmpfs of our own here (needs root)"; exit 77; }
  unshare -m "$0" --inside "$bin" "$mnt" "$log"
  exit $?
fi
bin=$2
mnt=$3
log=$4
mount --make-rprivate / && mount -t tmpfs -o size=40m tmpfs "$mnt" || exit 77
fail=0
bad() { echo "FAIL: $*"; fail=1; }
export BOARDSIM_DIR="$mnt/board"
"$bin/boardsim" init >/dev/null || { echo "FAIL: boardsim init on the small file system"; exit 1; }
rm -f "$BOARDSIM_DIR/flash.state"
dd if=/dev/zero of="$mnt/fill" bs=4k 2>/dev/null
before=$(cksum < "$BOARDSIM_DIR/flash.img")

printf 'OK\nOK\nOK\nOK\n' | "$bin/flashupdate" /u '\nk.bin' >/dev/null 2>"$log"
rc=$?
cat "$log"
[ "$rc" -eq 1 ] || bad "flashupdate /u ended with $rc, not 1 (135 is SIGBUS)"
grep -q "flash.state: No space left on device" "$log" || bad "no \"flash.state: No space left on device\""
grep -q "^Cannot access the Flash!" "$log" || bad "no \"Cannot access the Flash!\""
[ "$(cksum < "$BOARDSIM_DIR/flash.img")" = "$before" ] || bad "the flash changed"

"$bin/boardsim" show >/dev/null 2>"$log"
rc=$?
[ "$rc" -eq 0 ] || bad "boardsim show ended with $rc: $(cat "$log")"
grep -q "No space left on device" "$log" || bad "boardsim show did not say why the flash cannot be opened"

# A card larger than the space left: boardsim insert says why, and leaves
# no volume and nothing in its staging folder.
card="$log.card"
mkdir -p "$card/AutoCopy"
head -c 4194304 /dev/zero > "$card/AutoCopy/big.bin"
rm -f "$mnt/fill"
dd if=/dev/zero of="$mnt/fill" bs=64k count=$(( $(df -k --output=avail "$mnt" | tail -1) / 64 - 16 )) 2>/dev/null
"$bin/boardsim" insert CARD "$card" 2>"$log"
rc=$?
cat "$log"
rm -rf "$card"
[ "$rc" -ne 0 ] || bad "boardsim insert of a card larger than the free space succeeded"
grep -q "No space left on device" "$log" || bad "boardsim insert did not say \"No space left on device\""
[ ! -e "$BOARDSIM_DIR/rootfs/CARD" ] && [ ! -e "$BOARDSIM_DIR/volumes/CARD" ] || bad "a half volume stayed"
[ -z "$(ls -A "$BOARDSIM_DIR/staging" 2>/dev/null)" ] || bad "the staging folder kept $(ls -A "$BOARDSIM_DIR/staging")"
exit $fail
