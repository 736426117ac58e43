// What every fuzz target shares: one board of its own, erased, in a
// temporary directory that lives as long as the process.
#pragma once
#include <string>

namespace fuzz {

// Creates the board on first call (BOARDSIM_DIR points at it from then
// on), makes the working directory an empty folder inside it so that a
// relative host path reaches nothing outside, and returns the board's
// directory.
const std::string& Board();

// Stops the fuzzer with a message: an invariant of the code under test
// does not hold for this input.
[[noreturn]] void Fail(const char* what);

}  // namespace fuzz
