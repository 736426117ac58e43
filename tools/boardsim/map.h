// boardsim map FILE.svg: a picture of the board's flash.
#pragma once
#include <string>
#include <vector>

// Writes the map of the board's flash to args[0] (an SVG file). Exit code:
// 0 done, 1 the flash or the file could not be read or written, 2 usage.
int MapCommand(const std::vector<std::string>& args);

// boardsim verify FILE.bin: reads an image file's records back from the
// flash, where flashupdate places them, and says whether they are equal.
// Exit code: 0 equal, 1 different or unreadable, 2 usage.
int VerifyCommand(const std::vector<std::string>& args);
