#!/usr/bin/env bash
# Builds the project and runs its test suite.
#   BUILD_DIR   build directory (default: build)
#   SANITIZE    "", "address,undefined" or "thread"
#   TEST_REGEX  run only the tests whose names match (ctest -R)
#   BOARDSIM_TIMING, BOARDSIM_TIMING_SEED
#               flash timing of the tests' boards (none, typical, max,
#               random with a seed, scaled); tests of the devices' own rules
#               choose theirs
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
jobs=${JOBS:-2}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWERROR=ON \
      -DSANITIZE="${SANITIZE:-}" >/dev/null
cmake --build "$build" -j "$jobs"

# Tests get a board of their own; never the user's default board.
export BOARDSIM_DIR_ROOT="$(mktemp -d)"
trap 'rm -rf "$BOARDSIM_DIR_ROOT"' EXIT
export BOARDSIM_DIR="$BOARDSIM_DIR_ROOT/default"

if [ ! -d "$build/tests" ]; then
  echo "tools/test.sh: GoogleTest was not found, so no tests were built (Debian/Ubuntu: libgtest-dev)" >&2
  exit 1
fi
args=(--test-dir "$build" --output-on-failure -j "$jobs" --timeout 300 --no-tests=error)
if [ -n "${TEST_REGEX:-}" ]; then
  args+=(-R "$TEST_REGEX")
fi
ctest "${args[@]}"
