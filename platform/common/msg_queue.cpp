// Message queues and mount notifications, the parts both backends share
// (see msg_queue.h).
#include "platform/common/msg_queue.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "board/board.h"
#include "board/volumes.h"
#include "platform/host/queue.h"
#include "platform/sync.h"

void OsQueueCore::UpdateReady()
{
    const bool ready = closed_ || !messages_.empty();
    if (ready != ready_) {
        ready_ = ready;
        SetReady(ready);
    }
}

int OsQueueCore::Put(const void* buf, uint32_t size, uint32_t flags)
{
    std::lock_guard<std::mutex> hold(lock_);
    if (closed_ || size > maxMessage)
        return 0;
    const uint8_t* p = static_cast<const uint8_t*>(buf);
    messages_.push_back(Message{std::vector<uint8_t>(p, p + size), flags});
    UpdateReady();
    return 1;
}

int OsQueueCore::Take(void* buf, uint32_t size, uint32_t* got, uint32_t* flags)
{
    std::lock_guard<std::mutex> hold(lock_);
    if (messages_.empty())
        return 0;
    Message m = std::move(messages_.front());
    messages_.pop_front();
    UpdateReady();
    if (m.bytes.size() > size)
        return -1;
    if (!m.bytes.empty())
        std::memcpy(buf, m.bytes.data(), m.bytes.size());
    if (got != nullptr)
        *got = static_cast<uint32_t>(m.bytes.size());
    if (flags != nullptr)
        *flags = m.flags;
    return 1;
}

void OsQueueCore::Close()
{
    std::lock_guard<std::mutex> hold(lock_);
    closed_ = true;
    messages_.clear();
    UpdateReady();
}

bool OsQueueCore::IsClosed()
{
    std::lock_guard<std::mutex> hold(lock_);
    return closed_;
}

bool OsQueueCore::HasMessage()
{
    std::lock_guard<std::mutex> hold(lock_);
    return !messages_.empty();
}

uint32_t OsQueueObject::Wait(uint32_t timeoutMs)
{
    if (OsTerminationRequested() || core->IsClosed())
        return OS_WAIT_FAILED;
    const std::shared_ptr<OsQueueCore> c = core;
    const uint32_t r = OsWaitUntil(
        timeoutMs, [c] { return c->IsClosed() || c->HasMessage(); }, c->Signal());
    return c->IsClosed() ? OS_WAIT_FAILED : r;
}

void OsMountNotifications::Announce(const std::string& name, bool attached)
{
    // "\NAME" in UTF-16 with its terminator; names are plain ASCII.
    if (!board::ValidVolumeName(name))
        return;
    uint8_t message[96] = {};
    std::memcpy(message, &deviceClass, 16);
    const uint32_t flag = attached ? 1 : 0;
    std::memcpy(message + 20, &flag, 4);
    const uint32_t nameBytes = static_cast<uint32_t>((name.size() + 2) * sizeof(char16_t));
    if (28 + nameBytes > sizeof message)
        return;
    std::memcpy(message + 24, &nameBytes, 4);
    char16_t* text = reinterpret_cast<char16_t*>(message + 28);
    text[0] = u'\\';
    for (size_t i = 0; i < name.size(); ++i)
        text[i + 1] = static_cast<char16_t>(name[i]);
    text[name.size() + 1] = u'\0';
    queue->Put(message, 28 + nameBytes, 0);
}

namespace {

// Whether a failed listing means that the folder is gone; if not, *why
// says why it failed. The error is read by value: with no descriptor left,
// nothing is done that could need one.
bool FolderGone(const std::error_code& ec, std::string* why)
{
#ifdef _WIN32
    if (ec == std::errc::no_such_file_or_directory)
        return true;
    *why = ec.message();
#else
    if (ec.value() == ENOENT)
        return true;
    *why = std::strerror(ec.value());
#endif
    return false;
}

// Whether deviceClass is the class of FAT volume mounts, the only class the
// board announces.
bool IsFatMountClass(const OsGuid* deviceClass)
{
    static constexpr OsGuid kFatMounts = {0x169E1941, 0x04CE, 0x4690,
                                          {0x97, 0xAC, 0x77, 0x61, 0x87, 0xEB, 0x67, 0xCC}};
    return deviceClass != nullptr && std::memcmp(deviceClass, &kFatMounts, sizeof kFatMounts) == 0;
}

}  // namespace

bool OsMountNotifications::Resync()
{
    // A folder that is gone holds no volumes; one that cannot be listed
    // (no descriptor left, say) says nothing, so nothing changes.
    std::set<std::string> now;
    std::error_code ec;
    const std::filesystem::directory_iterator end;
    std::filesystem::directory_iterator it(board::VolumesDir(), ec);
    for (; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (board::ValidVolumeName(name))
            now.insert(name);
    }
    if (ec && !FolderGone(ec, &resyncError))
        return false;
    for (auto it = present.begin(); it != present.end();) {
        if (now.count(*it) == 0) {
            Announce(*it, false);
            it = present.erase(it);
        } else {
            ++it;
        }
    }
    for (const std::string& name : now)
        if (present.insert(name).second)
            Announce(name, true);
    return true;
}

int OsWriteMsgQueue(Handle queue, const void* buf, uint32_t size, uint32_t, uint32_t flags)
{
    const OsObjectRef ref = OsObjectFromHandle(queue);
    const OsQueueObject* q = ref.as<OsQueueObject>();
    if (q == nullptr || (buf == nullptr && size != 0))
        return 0;
    return q->core->Put(buf, size, flags);
}

Handle OsCreateMsgQueue(const wchar_t* name, const OsMsgQueueOptions* options)
{
    // Only unnamed queues exist on the board.
    if (name != nullptr || options == nullptr || options->maxMessage == 0)
        return nullptr;
    std::shared_ptr<OsQueueCore> core = OsNewQueueCore();
    if (!core)
        return nullptr;
    core->maxMessage = options->maxMessage;
    auto* object = new OsQueueObject;
    object->core = std::move(core);
    return OsHandleFor(object);
}

int OsReadMsgQueue(Handle queue, void* buf, uint32_t size, uint32_t* read, uint32_t timeoutMs,
                   uint32_t* flags)
{
    const OsObjectRef ref = OsObjectFromHandle(queue);
    OsQueueObject* q = ref.as<OsQueueObject>();
    if (q == nullptr || buf == nullptr)
        return 0;
    const std::shared_ptr<OsQueueCore> core = q->core;
    const int r = core->Take(buf, size, read, flags);
    if (r != 0)
        return r > 0 ? 1 : 0;
    if (core->IsClosed())
        return 0;
    // One wait of the whole time-out, then one more look: a message another
    // reader took meanwhile is gone for us.
    q->Wait(timeoutMs);
    return core->Take(buf, size, read, flags) > 0 ? 1 : 0;
}

Handle OsRequestDeviceNotifications(const OsGuid* deviceClass, Handle queue, int all)
{
    const OsObjectRef ref = OsObjectFromHandle(queue);
    const OsQueueObject* q = ref.as<OsQueueObject>();
    if (q == nullptr || !IsFatMountClass(deviceClass))
        return nullptr;
    std::unique_ptr<OsMountNotifications> n(OsNewMountNotifications());
    n->queue = q->core;
    n->deviceClass = *deviceClass;
    if (!n->Open())
        return nullptr;
    // The volumes present now are known either way, so that their removal
    // is announced; their mounts only with all.
    for (const std::string& name : board::Volumes()) {
        n->present.insert(name);
        if (all != 0)
            n->Announce(name, true);
    }
    OsMountNotifications* raw = n.get();
    try {
        n->watcher = std::thread([raw] { raw->Run(); });
    } catch (...) {
        return nullptr;
    }
    return OsHandleFor(n.release());
}

int OsCloseMsgQueue(Handle queue)
{
    if (OsObjectFromHandle(queue).as<OsQueueObject>() == nullptr)
        return 0;
    return OsCloseHandle(queue);
}

int OsStopDeviceNotifications(Handle notifications)
{
    if (OsObjectFromHandle(notifications).as<OsMountNotifications>() == nullptr)
        return 0;
    // Closing stops and joins the watcher.
    return OsCloseHandle(notifications);
}
