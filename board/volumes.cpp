// Placeholder until volumes are built: refuses clearly.
#include "board/volumes.h"

#include <cstdio>

namespace board {
int VolumeInsert(const std::string&, const std::string&)
{
    std::fprintf(stderr, "boardsim: volumes are not available yet\n");
    return 2;
}
int VolumeRemove(const std::string&)
{
    std::fprintf(stderr, "boardsim: volumes are not available yet\n");
    return 2;
}
}  // namespace board
