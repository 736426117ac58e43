// Message queues and device notifications role.
#pragma once
#include "platform/types.h"

struct OsMsgQueueOptions {
    uint32_t size;          // of this record in bytes (20 on the device)
    uint32_t flags;
    uint32_t maxMessages;   // ignored: the board's queues take any number
    uint32_t maxMessage;    // largest message in bytes
    int32_t readAccess;     // 1 = the handle reads from the queue
};

struct OsGuid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
};

// Creates a message queue (name nullptr: unnamed). Returns a handle (close
// with OsCloseMsgQueue) or nullptr. Waiting on the handle
// (OsWaitForSingleObject) returns OS_WAIT_OBJECT_0 while it holds a message.
Handle OsCreateMsgQueue(const wchar_t* name, const OsMsgQueueOptions* options);

// Reads the oldest message into buf (size bytes), waiting up to timeoutMs.
// 1 = read (*read = its length, *flags = its flags); 0 = none arrived in
// time, or the buffer is too small, or the queue is closed.
int OsReadMsgQueue(Handle queue, void* buf, uint32_t size, uint32_t* read, uint32_t timeoutMs,
                   uint32_t* flags);

// Closes a queue. 1/0.
int OsCloseMsgQueue(Handle queue);

// Asks for notifications of devices of deviceClass into queue, delivered by
// the platform's own context (a watcher thread). all = 1 also announces the
// devices present now. Each notification is one message:
//   +0  16 bytes  device class id
//   +16  4 bytes  reserved
//   +20  4 bytes  attached flag (1 mounted, 0 removed)
//   +24  4 bytes  length of the name in bytes
//   +28  name: UTF-16, zero-terminated, at most 68 bytes
// Returns a notification handle (stop with OsStopDeviceNotifications) or
// nullptr.
Handle OsRequestDeviceNotifications(const OsGuid* deviceClass, Handle queue, int all);

// Stops notifications; no message is put into the queue afterwards. 1/0.
int OsStopDeviceNotifications(Handle notifications);
