#!/usr/bin/env bash
# The board's flash devices held against an independent model of the same
# command set: QEMU's CFI flash (pflash_cfi01) in the ARM "virt" machine,
# whose second bank is two 16-bit devices on a 32-bit bus with 256 KB
# blocks and the ids 0x89/0x18, as this module's flash.
#
#  1. Bus cycles: the sequences of tools/flashcheck/sequences.cpp run on the
#     board (host) and in an ARM guest on QEMU's flash; every value read and
#     the final contents are compared. Differences must be listed, with
#     their reasons, in tools/flashcheck/known-differences.txt.
#  2. The driver: flash/flash_access.cpp, unchanged, built for the guest,
#     erases and programs QEMU's flash with real volatile loads and stores;
#     the same calls run on the board; results and the two final flash
#     images are compared byte for byte.
#  3. Controls: deliberately wrong variants, built in a temporary folder,
#     must be caught.
#
#   tools/flash-model-check.sh            (uses and builds build/)
#   BUILD_DIR=...                         the host build to use
# Installs what it lacks from Debian's packages (as root).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${BUILD_DIR:-build}
start=$(date +%s)

packages=(qemu-system-arm gcc-arm-none-eabi cmake ninja-build g++)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "flash-model-check: missing packages: ${missing[*]} (install them as root)" >&2
    exit 1
  fi
  echo "== installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWERROR=ON >/dev/null
fi
cmake --build "$build" -j "${JOBS:-2}" --target flashcheck boardsim >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0

# The guest: freestanding, no C library, loaded by QEMU as an ELF kernel.
guest_cxx=(arm-none-eabi-g++ -std=c++20 -mcpu=cortex-a15 -marm -O2 -ffreestanding -fno-exceptions -fno-rtti
           -fno-threadsafe-statics -mno-unaligned-access -nostdlib -Wall -Wextra -Werror -I "$root")
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
new_board() {   # a blank board with no flash time, in $work/board-$1
  export BOARDSIM_DIR="$work/board-$1"
  "$build/boardsim" init --blank >/dev/null
  "$build/boardsim" set timing none >/dev/null
}

echo "== bus cycles: the board against QEMU's pflash_cfi01"
build_guest "$work/cycles.elf" tools/flashcheck/guest_cycles.cpp tools/flashcheck/sequences.cpp
run_qemu "$work/cycles.elf" "$work/qemu-cycles.img" "$work/cycles.out"
new_board cycles
"$build/flashcheck" cycles "$work/cycles.out" "$work/qemu-cycles.img" tools/flashcheck/known-differences.txt \
  >"$work/cycles.report" || status=1
grep -v '^  listed' "$work/cycles.report"

echo
if [ "$status" -eq 0 ]; then
  echo "flash-model-check: passed in $(( $(date +%s) - start )) s"
else
  echo "flash-model-check: FAILED"
fi
exit "$status"
