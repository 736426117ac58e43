#!/usr/bin/env bash
# The board's flash devices held against an independent model of the same
# command set: QEMU's CFI flash (pflash_cfi01) in the ARM "virt" machine,
# whose second bank is two 16-bit devices on a 32-bit bus with 256 KB
# blocks and the ids 0x89/0x18, as this module's flash. Three parts:
#  1. the bus-cycle sequences of tools/flashcheck/sequences.cpp on the board
#     and in an ARM guest on QEMU's flash: every difference in a value read
#     or the final contents listed, with its reason, in
#     tools/flashcheck/known-differences.txt;
#  2. the driver flash/flash_access.cpp, unchanged, on both: results and the
#     final flash images equal byte for byte;
#  3. controls: deliberately wrong variants that must be caught.
#
#   tools/flash-model-check.sh            (uses and builds build/)
#   BUILD_DIR=...                         the host build to use
# Installs what it lacks from Debian's packages (as root).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${BUILD_DIR:-build}
start=$(date +%s)

. tools/ensure-packages.sh
ensure_packages flash-model-check qemu-system-arm gcc-arm-none-eabi cmake ninja-build g++ python3

if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWERROR=ON >/dev/null
fi
cmake --build "$build" -j "${JOBS:-2}" --target flashcheck boardsim >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0

# The guest: freestanding, no C library, loaded by QEMU as an ELF kernel.
guest_cxx=(arm-none-eabi-g++ -std=c++20 -mcpu=cortex-a15 -marm -O2 -ffreestanding -fno-exceptions -fno-rtti
           -fno-threadsafe-statics -mno-unaligned-access -nostdlib -Wall -Wextra -Werror
           -I "$root/tools/flashcheck/guest_include" -I "$root")
driver_guest=(tools/flashcheck/guest_driver.cpp tools/flashcheck/driver_ops.cpp tools/flashcheck/guest_platform.cpp
              tools/flashcheck/sequences.cpp)
build_guest() {   # OUTPUT SOURCES...
  local out=$1
  shift
  "${guest_cxx[@]}" -T tools/flashcheck/guest.ld -o "$out" tools/flashcheck/guest_runtime.cpp "$@" -lgcc
}
run_qemu() {   # ELF FLASH OUTPUT: the guest on a blank 64 MB bank; FLASH keeps what it left
  head -c $((64 << 20)) /dev/zero | tr '\0' '\377' >"$2"
  timeout 60 qemu-system-arm -M virt -cpu cortex-a15 -m 128 -nographic -monitor none -net none \
    -serial stdio -semihosting-config enable=on,target=native \
    -drive if=pflash,unit=1,format=raw,file="$2" -kernel "$1" >"$3" 2>"$3.err" || {
    echo "flash-model-check: QEMU failed:" >&2
    cat "$3.err" >&2
    return 1
  }
}
new_board() {   # NAME TIMING: a blank board in $work/board-NAME
  export BOARDSIM_DIR="$work/board-$1"
  "$build/boardsim" init --blank >/dev/null
  "$build/boardsim" set timing "$2" >/dev/null
}
# A variant of FILE changed by the sed expression EXPR, in DIR; fails when
# the expression no longer changes anything (the code it aimed at moved).
variant() {   # FILE EXPR DIR
  mkdir -p "$3"
  sed "$2" "$1" >"$3/$(basename "$1")"
  if cmp -s "$1" "$3/$(basename "$1")"; then
    echo "flash-model-check: a control could not be made: \"$2\" changes nothing in $1" >&2
    return 1
  fi
}
# The host's flashcheck with one board source replaced by its variant: the
# variant compiled as the build compiles the original, linked before the
# board's library so that it takes the original's place.
host_variant() {   # SOURCE VARIANT OUTPUT
  python3 - "$build" "$root/$1" "$2" "$3" <<'PY'
import json, shlex, subprocess, sys
build, source, variant, output = sys.argv[1:]
for entry in json.load(open(f"{build}/compile_commands.json")):
    if entry["file"] == source:
        args = shlex.split(entry["command"])
        break
else:
    sys.exit(f"flash-model-check: {source} is not in {build}/compile_commands.json")
args = [variant if a == source else a for a in args]
args[args.index("-o") + 1] = output + ".o"
subprocess.run(args, cwd=entry["directory"], check=True)
link = subprocess.run(["ninja", "-C", build, "-t", "commands", "flashcheck"], check=True,
                      capture_output=True, text=True).stdout.strip().splitlines()[-1]
link = shlex.split(link.replace(": && ", "").replace(" && :", ""))
link[link.index("-o") + 1] = output
first = next(i for i, a in enumerate(link) if a.endswith(".a"))
link.insert(first, output + ".o")
subprocess.run(link, cwd=build, check=True)
PY
}

echo "== bus cycles: the board against QEMU's pflash_cfi01"
build_guest "$work/cycles.elf" tools/flashcheck/guest_cycles.cpp tools/flashcheck/sequences.cpp tools/flashcheck/guest_platform.cpp
run_qemu "$work/cycles.elf" "$work/qemu-cycles.img" "$work/cycles.out"
new_board cycles none
"$build/flashcheck" cycles "$work/cycles.out" "$work/qemu-cycles.img" tools/flashcheck/known-differences.txt \
  >"$work/cycles.report" || status=1
grep -v '^  listed' "$work/cycles.report"

echo
echo "== the driver: flash/flash_access.cpp, unchanged, on QEMU's flash and on the board (datasheet timing)"
build_guest "$work/driver.elf" "${driver_guest[@]}" flash/flash_access.cpp
run_qemu "$work/driver.elf" "$work/qemu-driver.img" "$work/driver.out"
new_board driver typical
"$build/flashcheck" driver "$work/driver.out" "$work/qemu-driver.img" || status=1

# Controls: each a deliberate fault that the check must catch.
echo
echo "== controls"
control_result() {   # NAME EXIT-STATUS-OF-THE-CHECK
  if [ "$2" -eq 1 ]; then
    echo "control $1: caught"
  else
    echo "control $1: NOT caught (the check exited with $2)"
    status=1
  fi
}
board_control() {   # NAME EXPR: the chips' state machines changed so
  local dir="$work/control-$1" rc=0
  variant board/flash_chip.cpp "$2" "$dir" || { status=1; return; }
  host_variant board/flash_chip.cpp "$dir/flash_chip.cpp" "$dir/flashcheck" || { status=1; return; }
  new_board "control-$1" none
  "$dir/flashcheck" cycles "$work/cycles.out" "$work/qemu-cycles.img" tools/flashcheck/known-differences.txt \
    >"$dir/report" || rc=$?
  control_result "$1" "$rc"
}
driver_control() {   # NAME EXPR: the driver changed so, run on QEMU against the sound driver on the board
  local dir="$work/control-$1" rc=0
  variant flash/flash_access.cpp "$2" "$dir" || { status=1; return; }
  build_guest "$dir/driver.elf" "${driver_guest[@]}" "$dir/flash_access.cpp"
  run_qemu "$dir/driver.elf" "$dir/qemu.img" "$dir/driver.out"
  new_board "control-$1" none
  "$build/flashcheck" driver "$dir/driver.out" "$dir/qemu.img" >"$dir/report" || rc=$?
  control_result "$1" "$rc"
}
board_control "a board whose clear status leaves the error bits set" \
  '/case kCmdClearStatus:/{n;s/s\.status = 0;/s.status \&= 0x3A;/}'
board_control "a board that takes a buffer's word count as the number of words" \
  's/s\.bufCount = value + 1u;/s.bufCount = value;/'
driver_control "a driver that sends N instead of N-1 as the word count" \
  's/(words - 1) \* countUnit/words * countUnit/'

echo
if [ "$status" -eq 0 ]; then
  echo "flash-model-check: passed in $(( $(date +%s) - start )) s"
else
  echo "flash-model-check: FAILED"
fi
exit "$status"
