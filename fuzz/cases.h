// The fuzz cases: each runs one input through the code under test and
// checks what must hold for every input. They return "" when all held,
// else what broke. The fuzz targets stop on a non-empty answer; the
// regression tests (tests/fuzz_regressions/) replay the corpus through the
// same cases. Each expects a board in $BOARDSIM_DIR (erased flash).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

// The update worker on a .bin file of these bytes.
std::string UpdateWorkerCase(const uint8_t* data, size_t size);

// The running-image search and the version report with these bytes in the
// flash (at 0, 0x40000 and 0x1FC0000; at most 256 KB of them).
std::string FlashScanCase(const uint8_t* data, size_t size);

// The shortcut reader on a file of these bytes, and SplitCommandLine on its
// command text and on the bytes taken as UTF-16 text.
std::string ShortcutCase(const uint8_t* data, size_t size);

// DrainNotifications on one queued message of these bytes (at most 96).
std::string NotificationCase(const uint8_t* data, size_t size);

// The registry file's parser on these bytes: a refusal names its line,
// and a text it takes comes back the same from its own serialized form.
std::string RegistryTextCase(const uint8_t* data, size_t size);

}  // namespace fuzz
