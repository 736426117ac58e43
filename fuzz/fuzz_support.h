// What every fuzz target shares: one board of its own, erased, in a
// temporary directory that lives as long as the process.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

// Creates the board on first call (BOARDSIM_DIR points at it from then
// on), makes the working directory an empty folder inside it so that a
// relative host path reaches nothing outside, and returns the board's
// directory.
const std::string& Board();

// Writes bytes to a host file, replacing it. false on error.
bool WriteHostFile(const std::string& path, const uint8_t* data, size_t size);

// Stops the fuzzer with a message: an invariant of the code under test
// does not hold for this input.
[[noreturn]] void Fail(const char* what);

}  // namespace fuzz
