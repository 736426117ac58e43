// Host-side half of the message-queue role: a queue's writer (the board's
// watcher and the tests).
#pragma once
#include "platform/queue.h"

// Puts one message (size bytes, at most the queue's largest message) at the
// end of the queue with its flags. 1 = queued; 0 = too large, the queue is
// closed, or not a queue. Never blocks (timeoutMs is accepted for the
// device's signature).
int OsWriteMsgQueue(Handle queue, const void* buf, uint32_t size, uint32_t timeoutMs,
                    uint32_t flags);
