#!/usr/bin/env bash
# The main job on the simulated board: an unattended image update of the
# sample OS image in the device root (\nk.bin), answering the overlap warning
# with OK and the restart question with No; then the image is read back
# from the flash and compared with the file, and the flash is shown before
# and after (text, and two SVG maps).
#   BUILD_DIR  build directory (default: build), configured as tools/test.sh
#              configures it, so that tools/test.sh afterwards only builds
#              what is still missing
#   DEMO_DIR   where the maps and texts go (default: $BUILD_DIR/demo)
#   IMAGE      the image to write (default: \nk.bin; a host path works too)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
image=${IMAGE:-'\nk.bin'}
out=${DEMO_DIR:-$build/demo}

echo "== building flashupdate, boardsim and autorun in $build/ (the first time takes a minute)"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWERROR=ON \
      -DSANITIZE="${SANITIZE:-}" >/dev/null
cmake --build "$build" -j "${JOBS:-2}" --target flashupdate boardsim autorun >/dev/null
fu="$build/flashupdate"
bs="$build/boardsim"
mkdir -p "$out"

images() { sed -n '/^Images/,/^$/p' "$1" | sed '1d;/^$/d'; }

"$bs" show >"$out/show-before.txt"   # makes the default board first when there is none
board=$(sed -n 's/^Board: //p' "$out/show-before.txt")
echo "== board: $board"
"$bs" map "$out/flash-before.svg" >/dev/null
echo "== before: the images found in flash"
images "$out/show-before.txt"

echo
echo "== $fu /u '$image'    (answers on standard input: OK, then No)"
code=0
printf 'OK\nNo\n' | "$fu" /u "$image" 2>"$out/transcript.txt" || code=$?
sed 's/^/   | /' "$out/transcript.txt"
echo "== flashupdate ended with exit code $code (it is always 1)"

"$bs" show >"$out/show-after.txt"
"$bs" map "$out/flash-after.svg" >/dev/null
echo
echo "== after: the images found in flash"
images "$out/show-after.txt"

echo
echo "== $bs verify '$image'    (the image's records read back from the flash)"
verified=0
"$bs" verify "$image" >"$out/verify.txt" || verified=$?
sed 's/^/   | /' "$out/verify.txt"

echo
offset=$(sed -n 's/^placed at flash offset \(0x[0-9a-f]*\).*/\1/p' "$out/verify.txt")
length=$(sed -n 's/.*length 0x[0-9a-f]* (\([0-9]*\) bytes).*/\1/p' "$out/verify.txt")
records=$(sed -n 's/^EQUAL: all \([0-9]*\) records.*/\1/p' "$out/verify.txt")
case "$image" in
  \\*) from="the board's file ${board}/rootfs$(printf '%s' "$image" | tr '\\' '/')" ;;
  *) from="the host file $image" ;;
esac
if [ "$verified" -eq 0 ] && grep -q '^Closed: Updating IMAGE' "$out/transcript.txt"; then
  echo "What happened: flashupdate wrote the image $image ($from, ${length:-?} bytes)"
  echo "into the flash at offset ${offset:-?}; all ${records:-?} of its records were read back from the flash"
  echo "and are equal to the file."
else
  echo "What happened: the update of $image did NOT end as expected (see the transcript above);"
  echo "the flash at ${offset:-?} does not hold the file."
fi
echo "Files: the transcript $out/transcript.txt; the flash before and after:"
echo "  $out/flash-before.svg  $out/flash-after.svg  (open them in a browser)"
echo "  $out/show-before.txt   $out/show-after.txt   (boardsim show)"
[ "$verified" -eq 0 ]
