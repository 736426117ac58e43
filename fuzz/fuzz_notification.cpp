// The notification handler on arbitrary messages of up to 96 bytes: each
// input is put into a message queue as one message and DrainNotifications
// reads and handles it. The board has no volumes, and the working folder is
// an empty one inside the board, so a path read from a message reaches
// nothing to copy or start; what is tested is that no message is read past
// its end, no path buffer overflows and the handler returns.
#include <algorithm>
#include <cstdint>

#include "autorun/autorun.h"
#include "fuzz/fuzz_support.h"
#include "platform/queue.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Board();
    static Handle queue = OsCreateMsgQueue(nullptr, &QueueOptions);
    if (queue == nullptr)
        fuzz::Fail("no message queue");
    size = std::min(size, sizeof(MountNotification));
    if (OsWriteMsgQueue(queue, data, uint32_t(size), 0, 0) != 1)
        fuzz::Fail("the queue refused a message of at most 96 bytes");
    DrainNotifications(queue);
    uint32_t read = 0, flags = 0;
    MountNotification rest;
    if (OsReadMsgQueue(queue, &rest, sizeof rest, &read, 0, &flags) == 1)
        fuzz::Fail("a message was left in the queue");
    return 0;
}
