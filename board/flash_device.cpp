// The flash devices as files and as the board's API: flash.img and
// flash.state mapped into this process, its owner slot and the device
// lock, the settings the devices read, and the controls of flash_device.h.
#include "board/flash_device.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "board/board.h"
#include "board/default_board.h"
#include "board/file_id.h"
#include "board/file_lock.h"
#include "board/flash_state.h"
#include "platform/clock.h"

namespace board {
namespace flash {

std::atomic<bool> g_open{false};
Context g_ctx;
std::atomic<uint32_t> g_owner{0};

bool LockByte(int fd, off_t at, short type, int cmd, struct flock* out)
{
    struct flock fl = {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = at;
    fl.l_len = 1;
    int rc;
    do {
        rc = fcntl(fd, cmd, &fl);
    } while (rc != 0 && errno == EINTR);
    if (out)
        *out = fl;
    return rc == 0;
}

namespace {

std::mutex g_openMutex;  // opening and closing the mappings
std::mutex g_claimMutex;  // claiming this process's owner slot

// A forked child is another program: it claims a slot of its own, and
// drops its copy of the parent's slot descriptor, so that the parent's
// slot ends with the parent.
void ForgetOwnerInChild()
{
    g_owner.store(0, std::memory_order_relaxed);
    if (g_ctx.stateFd >= 0)
        close(g_ctx.stateFd);
    g_ctx.stateFd = -1;
}

// The last slot is never claimed: a token with it carries the pid instead
// of a serial, for a process that found no slot (every slot taken, or a
// file system without such locks).
constexpr uint32_t kNoSlot = kOwnerSlots - 1;

// Claims a free owner slot for this process: the first slot byte that no
// other process holds.
uint32_t ClaimOwner(Context& c)
{
    std::lock_guard<std::mutex> guard(g_claimMutex);
    uint32_t me = g_owner.load(std::memory_order_relaxed);
    if (me != 0)
        return me;
    if (c.stateFd < 0)
        c.stateFd = OpenBoardFile("flash.state", O_RDWR);
    for (uint32_t slot = 0; c.stateFd >= 0 && slot < kNoSlot; ++slot) {
        if (!LockByte(c.stateFd, kSlotLockBase + off_t(slot), F_WRLCK, F_OFD_SETLK))
            continue;
        std::atomic_ref<uint32_t> serial(c.state->slotSerial[slot]);
        uint32_t next = (serial.fetch_add(1) + 1) & kOwnerSerialMask;
        if (next == 0)
            next = (serial.fetch_add(1) + 1) & kOwnerSerialMask;  // 0 is no token
        me = next << kOwnerSlotBits | slot;
        break;
    }
    if (me == 0)
        me = uint32_t(getpid()) << kOwnerSlotBits | kNoSlot;
    g_owner.store(me, std::memory_order_relaxed);
    return me;
}

}  // namespace

bool OwnerAlive(const Context& c, uint32_t token)
{
    const uint32_t slot = token & (kOwnerSlots - 1);
    const uint32_t serial = token >> kOwnerSlotBits;
    if (slot == kNoSlot)
        return serial != 0 && (kill(pid_t(serial), 0) == 0 || errno != ESRCH);
    const uint32_t now = std::atomic_ref<uint32_t>(c.state->slotSerial[slot]).load() & kOwnerSerialMask;
    if (serial == 0 || now != serial)
        return false;  // never a token, or the slot was claimed again since
    if (c.stateFd < 0)
        return true;
    struct flock fl;
    if (!LockByte(c.stateFd, kSlotLockBase + off_t(slot), F_WRLCK, F_OFD_GETLK, &fl))
        return true;
    return fl.l_type != F_UNLCK;
}

// The device lock when its first try failed: spins (yielding), and takes
// the lock over from a process that ended holding it (killed in the middle
// of a bus cycle), so the board never hangs.
void LockDevicesSlow(SharedState* st)
{
    std::atomic_ref<uint32_t> word(st->lock);
    uint32_t me = g_owner.load(std::memory_order_relaxed);
    if (me == 0)
        me = ClaimOwner(g_ctx);  // st is always this process's mapping
    uint32_t expected = 0;
    if (word.compare_exchange_strong(expected, me, std::memory_order_acquire, std::memory_order_relaxed))
        return;
    for (uint32_t spins = 1;; ++spins) {
        expected = 0;
        if (word.load(std::memory_order_relaxed) == 0 &&
            word.compare_exchange_weak(expected, me, std::memory_order_acquire, std::memory_order_relaxed))
            return;
        if (spins % 64 != 0)
            continue;
        if (spins % 16384 == 0) {
            uint32_t owner = word.load(std::memory_order_relaxed);
            if (owner != 0 && owner != me && !OwnerAlive(g_ctx, owner) &&
                word.compare_exchange_strong(owner, me, std::memory_order_acquire, std::memory_order_relaxed))
                return;
        }
        sched_yield();
    }
}

void ResetDeviceState(DeviceState& s)
{
    s.mode = uint32_t(FlashMode::ReadArray);
    s.status = 0;
    s.busyStart = s.busyUntil = 0;
    s.pendingKind = kPendingNone;
    s.pendingBlock = 0;
    s.bufBlock = s.bufCount = s.bufFilled = s.bufLine = s.bufMask = 0;
    std::memset(s.bufData, 0xFF, sizeof s.bufData);
    s.bufStart = s.pendingWord = s.busyReads = s.suspended = 0;
    s.eraseBlock = s.programKind = s.programBlock = s.programWord = 0;
    s.eraseLeft = s.programLeft = 0;
}

namespace {

// A fresh board's devices: idle, nothing locked, no faults.
void InitState(SharedState* st, uint64_t imageDev, uint64_t imageIno)
{
    std::memset(static_cast<void*>(st), 0, sizeof *st);
    st->magic = kStateMagic;
    st->version = kStateVersion;
    st->size = sizeof *st;
    st->imageDev = imageDev;
    st->imageIno = imageIno;
    for (DeviceState& s : st->dev)
        ResetDeviceState(s);
}

// Why the flash could not be opened: names the file and the cause; and
// the same in short, without the board folder (FlashOpenProblem).
std::string g_openError;
std::mutex g_problemMutex;
std::string g_openProblem;

bool Fail(const std::string& why, const std::string& inShort = "")
{
    g_openError = why;
    const std::string folder = Dir() + "/";
    std::lock_guard<std::mutex> guard(g_problemMutex);
    g_openProblem = !inShort.empty() ? inShort
                    : why.compare(0, folder.size(), folder) == 0 ? why.substr(folder.size())
                                                                 : why;
    return false;
}

// Gives fd (the board file `name`) its full size of bytes, completing a
// shorter file with `fill` bytes. The blocks are allocated first, so that
// a full disk fails here, with a message, rather than as a fault on a
// store through the mapping later.
bool SizeFile(int fd, const std::string& name, off_t size, uint8_t fill)
{
    struct stat fs;
    if (fstat(fd, &fs) != 0)
        return Fail(Dir() + "/" + name + ": " + std::strerror(errno));
    if (fs.st_size >= size)
        return true;
    int rc = posix_fallocate(fd, 0, size);
    if (rc != 0 && rc != EOPNOTSUPP && rc != EINVAL)
        return Fail(Dir() + "/" + name + ": " + std::strerror(rc));
    if (fill == 0)
        return ftruncate(fd, size) == 0 || Fail(Dir() + "/" + name + ": " + std::strerror(errno));
    std::vector<uint8_t> bytes(64 << 10, fill);
    for (off_t at = fs.st_size; at < size;) {
        size_t n = size_t(std::min<off_t>(off_t(bytes.size()), size - at));
        ssize_t w = pwrite(fd, bytes.data(), n, at);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return Fail(Dir() + "/" + name + ": " + std::strerror(w < 0 ? errno : ENOSPC));
        at += w;
    }
    return true;
}

// Maps flash.state, creating it (or starting it afresh when it is not ours
// or belongs to an earlier flash.img) as needed. *fd keeps the file open
// for this process's owner slot.
SharedState* MapState(int* keepFd)
{
    std::string why;
    int fd = OpenBoardFile("flash.state", O_RDWR | O_CREAT, &why);
    if (fd < 0) {
        Fail(why);
        return nullptr;
    }
    // The creation is serialised on a lock file of its own: a lock on the
    // mapped file would stay with the mapping (and the slot locks live in
    // flash.state).
    FileLock lock(Dir() + "/.state.lock");
    SharedState* st = nullptr;
    struct stat fs;
    bool sized = fstat(fd, &fs) == 0 && fs.st_size == off_t(sizeof(SharedState));
    if (!sized) {
        if (ftruncate(fd, 0) != 0)
            Fail(Dir() + "/flash.state: " + std::strerror(errno));
        else
            sized = SizeFile(fd, "flash.state", off_t(sizeof(SharedState)), 0);
    }
    if (sized) {
        void* p = mmap(nullptr, sizeof(SharedState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p != MAP_FAILED)
            st = static_cast<SharedState*>(p);
        else
            Fail(Dir() + "/flash.state: " + std::strerror(errno));
    }
    if (st) {
        // The state of another flash.img (replaced by boardsim init) starts afresh.
        struct stat image;
        const bool haveImage = stat(FlashImagePath().c_str(), &image) == 0;
        const uint64_t dev = haveImage ? uint64_t(image.st_dev) : 0;
        const uint64_t ino = haveImage ? uint64_t(image.st_ino) : 0;
        if (st->magic != kStateMagic || st->version != kStateVersion || st->size != sizeof *st ||
            (haveImage && (st->imageDev != dev || st->imageIno != ino)))
            InitState(st, dev, ino);
    }
    if (st && keepFd)
        *keepFd = fd;
    else
        close(fd);
    return st;
}

// Maps flash.img, completing a short file with erased bytes.
uint8_t* MapImage()
{
    std::string why;
    int fd = OpenBoardFile("flash.img", O_RDWR, &why);
    if (fd < 0) {
        Fail(why);
        return nullptr;
    }
    uint8_t* image = nullptr;
    bool ok;
    {
        FileLock lock(Dir() + "/.state.lock");
        ok = SizeFile(fd, "flash.img", off_t(kFlashSize), 0xFF);
    }
    if (ok) {
        void* p = mmap(nullptr, kFlashSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p != MAP_FAILED)
            image = static_cast<uint8_t*>(p);
        else
            Fail(Dir() + "/flash.img: " + std::strerror(errno));
    }
    close(fd);
    return image;
}

}  // namespace

void LoadSettings(Context& c)
{
    c.settingsGeneration = SettingsGeneration();
    auto get = [](const char* key) { return GetSetting(key, DefaultSetting(key)); };
    c.bus32 = get("bus") != "16";
    std::string timing = get("timing");
    const uint32_t oldTiming = c.timing;
    const uint64_t oldSeed = c.timingSeed;
    c.timeScale = 1;
    if (timing == "datasheet" || timing == "typical") {
        c.timing = kTimingTypical;
    } else if (timing == "max") {
        c.timing = kTimingMax;
    } else if (timing == "random") {
        c.timing = kTimingRandom;
    } else if (timing == "scaled") {
        c.timing = kTimingScaled;
        // A value that passed the setting's check: finite, > 0, at most 1e6.
        c.timeScale = std::strtod(get("timing-scale").c_str(), nullptr);
    } else {
        c.timing = kTimingNone;
    }
    uint32_t seed = 0;
    c.timingSeed = ParseU32(get("timing-seed"), &seed) ? seed : 0;
    // The same seed draws the same times from the start again.
    if (c.timing != oldTiming || c.timingSeed != oldSeed)
        c.timingDraws = 0;
    uint32_t after = 0;
    c.cutAfter = ParseU32(get("power-cut-after"), &after) ? after : 0;
    // Which power-cut-after setting this is: the settings file it was read from.
    FileId id = IdOf(Dir() + "/settings");
    c.cutToken = (uint64_t(id.ino) * 0x9E3779B97F4A7C15ull) ^ uint64_t(id.mtimeNs) ^ (uint64_t(id.dev) << 48);
    std::memset(c.settingFaults, 0, sizeof c.settingFaults);
    static const struct {
        const char* key;
        uint8_t fault;
    } kFaultKeys[] = {{"fault-locked", kFaultLocked},
                      {"fault-erase", kFaultErase},
                      {"fault-busy", kFaultBusy},
                      {"fault-program", kFaultProgram},
                      {"fault-vpp", kFaultVpp},
                      {"fault-stuck", kFaultStuck}};
    for (const auto& fk : kFaultKeys) {
        std::vector<uint32_t> offsets;
        if (!ParseOffsetList(get(fk.key), &offsets))
            continue;
        for (uint32_t off : offsets) {
            if (off >= kFlashSize)
                continue;
            if (c.bus32) {
                uint32_t b = off / (2 * kFlashDeviceBlockBytes);
                for (int d = 0; d < kFlashDevices; ++d)
                    c.settingFaults[d][b] |= fk.fault;
            } else {
                uint32_t d = off / kFlashDeviceBytes;
                uint32_t b = (off % kFlashDeviceBytes) / kFlashDeviceBlockBytes;
                c.settingFaults[d][b] |= fk.fault;
            }
        }
    }
}

namespace {

void ReportOpenFailure()
{
    // Once for each cause: every bus cycle of a program tries again.
    static std::mutex m;
    static std::string told;
    std::lock_guard<std::mutex> guard(m);
    if (told != g_openError)
        std::fprintf(stderr, "board: cannot open the flash: %s\n", g_openError.c_str());
    told = g_openError;
}

}  // namespace

bool Open()
{
    static std::once_flag once;
    std::call_once(once, [] { pthread_atfork(nullptr, nullptr, ForgetOwnerInChild); });
    // A board that does not exist yet is created first (which resets the
    // devices, so no lock of ours may be held here).
    if (!g_open.load(std::memory_order_acquire) && !Ensure()) {
        Fail(BoardProblem(), "the board cannot be used");
        ReportOpenFailure();
        return false;
    }
    std::lock_guard<std::mutex> guard(g_openMutex);
    if (g_open.load(std::memory_order_relaxed))
        return true;
    int stateFd = -1;
    uint8_t* image = MapImage();
    SharedState* state = image ? MapState(&stateFd) : nullptr;
    std::string otherSide;
    if (image && state && !ClaimSide(stateFd, &otherSide)) {
        Fail(otherSide, std::string("the board is in use by the ") +
                            (std::strcmp(ThisSide(), "Linux") == 0 ? "Windows" : "Linux") + " build");
        munmap(state, sizeof(SharedState));
        close(stateFd);
        state = nullptr;
    }
    if (!image || !state) {
        ReportOpenFailure();
        if (image)
            munmap(image, kFlashSize);
        return false;
    }
    g_ctx = Context{};
    g_ctx.image = image;
    g_ctx.state = state;
    g_ctx.stateFd = stateFd;
    g_owner.store(0, std::memory_order_relaxed);
    ClaimOwner(g_ctx);
    LoadSettings(g_ctx);
    LockDevices(state);
    g_ctx.powerCuts = state->powerCuts;  // a cut before this program is none of its business
    ApplySettings(g_ctx);
    UnlockDevices(state);
    g_open.store(true, std::memory_order_release);
    return true;
}

}  // namespace flash

using namespace flash;

std::string FlashOpenProblem()
{
    if (g_open.load(std::memory_order_acquire))
        return "";
    std::lock_guard<std::mutex> guard(g_problemMutex);
    return g_openProblem;
}

void FlashClose()
{
    std::lock_guard<std::mutex> guard(g_openMutex);
    if (!g_open.load(std::memory_order_relaxed))
        return;
    munmap(g_ctx.image, kFlashSize);
    munmap(g_ctx.state, sizeof(SharedState));
    if (g_ctx.stateFd >= 0)
        close(g_ctx.stateFd);  // ends this process's owner slot
    g_ctx = Context{};
    g_owner.store(0, std::memory_order_relaxed);
    g_open.store(false, std::memory_order_release);
}

void FlashResetDevices()
{
    // An operation cut short by the restart leaves its area as the chips
    // do.
    Guard g;
    if (Context* c = g.get())
        InterruptDevices(*c);
}

int FlashUsers()
{
    std::string why;
    int fd = OpenBoardFile("flash.state", O_RDONLY, &why);
    if (fd < 0)
        return 0;
    int users = 0;
    for (uint32_t slot = 0; slot < kNoSlot; ++slot) {
        struct flock fl;
        // Read-locks test as well as write locks; this process's own slot
        // (another open file description) would count, so it is left out.
        if (LockByte(fd, kSlotLockBase + off_t(slot), F_RDLCK, F_OFD_GETLK, &fl) && fl.l_type != F_UNLCK) {
            uint32_t mine = g_owner.load(std::memory_order_relaxed);
            if (!(g_open.load() && mine != 0 && (mine & (kOwnerSlots - 1)) == slot))
                ++users;
        }
    }
    close(fd);
    return users;
}

FlashCounters FlashGetCounters()
{
    Guard g;
    return g.get() ? g.get()->counters : FlashCounters{};
}

void FlashResetCounters()
{
    Guard g;
    if (g.get())
        g.get()->counters = FlashCounters{};
}

uint32_t FlashBusWidth()
{
    Guard g;
    if (g.get())
        return g.get()->bus32 ? 4 : 2;
    return GetSetting("bus", DefaultSetting("bus")) == "16" ? 2 : 4;
}

uint32_t FlashBusBlockBytes()
{
    return FlashBusWidth() * 65536;
}

FlashDeviceInfo FlashGetDeviceInfo(int device)
{
    FlashDeviceInfo info{FlashMode::ReadArray, kStatusReady, false, false};
    Guard g;
    if (!g.get() || device < 0 || device >= kFlashDevices)
        return info;
    DeviceState& s = g.get()->state->dev[device];
    info.busy = Busy(*g.get(), device, s);
    info.stuck = info.busy && s.busyUntil == kStuck;
    info.mode = ModeOf(s);
    info.status = info.busy ? kStatusUndefined : StatusWord(s);
    return info;
}

bool FlashPeek(void* dst, uint32_t off, size_t n)
{
    Guard g;
    if (!g.get())
        return false;
    size_t avail = off < kFlashSize ? kFlashSize - off : 0;
    size_t m = std::min(n, avail);
    if (m)
        std::memcpy(dst, g.get()->image + off, m);
    if (m < n)
        std::memset(static_cast<uint8_t*>(dst) + m, 0xFF, n - m);
    return true;
}

void FlashRefreshSettings()
{
    Guard g;
    if (g.get()) {
        LoadSettings(*g.get());
        ApplySettings(*g.get());
    }
}

bool FlashPowerCut()
{
    {
        Guard g;
        if (!g.get())
            return false;
        Context& c = *g.get();
        InterruptDevices(c);
        c.powerCuts = ++c.state->powerCuts;
    }
    RecordEvent("power-cut");
    return true;
}

std::string FlashDescribe()
{
    static const char* const kModes[] = {"read-array",   "read-status", "read-identifier", "cfi-query",
                                         "erase-setup",  "program-setup", "buffer-count",  "buffer-data",
                                         "buffer-confirm", "lock-setup"};
    Guard g;
    if (!g.get())
        return "  devices: not available\n";
    Context& c = *g.get();
    char line[160];
    std::string out;
    for (int d = 0; d < kFlashDevices; ++d) {
        DeviceState& s = c.state->dev[d];
        bool busy = Busy(c, d, s);
        std::snprintf(line, sizeof line, "  device %d: %s, status 0x%02X%s%s%s\n", d,
                      kModes[uint32_t(ModeOf(s))], unsigned(busy ? kStatusUndefined : StatusWord(s)),
                      busy ? (s.busyUntil == kStuck ? ", hanging" : ", busy") : "",
                      (s.suspended & kSuspendErase) ? ", erase suspended" : "",
                      (s.suspended & kSuspendProgram) ? ", program suspended" : "");
        out += line;
        for (uint32_t b = 0; b < kFlashDeviceBlocks; ++b) {
            uint8_t f = Faults(c, d, b);
            if (!f && !s.locked[b])
                continue;
            std::snprintf(line, sizeof line, "    block %u:%s%s%s%s%s%s%s\n", b, s.locked[b] ? " lock-bit" : "",
                          (f & kFaultLocked) ? " fault-locked" : "", (f & kFaultErase) ? " fault-erase" : "",
                          (f & kFaultBusy) ? " fault-busy" : "", (f & kFaultProgram) ? " fault-program" : "",
                          (f & kFaultVpp) ? " fault-vpp" : "", (f & kFaultStuck) ? " fault-stuck" : "");
            out += line;
        }
    }
    return out;
}

}  // namespace board
