#include "fuzz/cases.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <cwchar>
#include <vector>

#include "autorun/autorun.h"
#include "board/board.h"
#include "board/flash_device.h"
#include "board/hal.h"
#include "board/imagekit.h"
#include "board/registry_store.h"
#include "flash/flash_access.h"
#include "flash/flash_layout.h"
#include "platform/clock.h"
#include "platform/host/clock.h"
#include "platform/host/queue.h"
#include "platform/queue.h"
#include "platform/sync.h"
#include "tests/support/temp_board.h"
#include "tests/support/ui_double.h"
#include "resources/resources.h"
#include "update/globals.h"
#include "update/image_update.h"
#include "version/bsp_version.h"

namespace fuzz {

namespace {

// The region table as the program starts with it, saved before anything
// changes it.
const std::array<FlashRegion, FLASH_REGION_COUNT> kStartLayout = std::to_array(FlashLayout);

// --- update worker ----------------------------------------------------------

std::string CheckUpdateEnding(uint32_t result, Window dialog)
{
    if (result > 1)
        return "the worker returned neither 1 nor 0";
    if (!uidouble::Ended(dialog) || uidouble::EndResult(dialog) != 0)
        return "the progress dialog was not ended with 0";
    if (ImagePath[0] != L'\0')
        return "ImagePath was not emptied";
    for (int d = 0; d < board::kFlashDevices; ++d)
        if (board::FlashGetDeviceInfo(d).mode != board::FlashMode::ReadArray)
            return "a device was left out of read-array mode";
    if (!FlashLockIsFree())
        return "the flash lock is still held";
    int reports = 0;
    uidouble::Box last{};
    for (const uidouble::Box& b : uidouble::Boxes()) {
        if (b.owner != dialog)
            return "a box not owned by the progress dialog";
        if (b.caption == L"WARNING")
            continue;
        ++reports;
        last = b;
    }
    if (reports != 1)
        return "not exactly one report (" + std::to_string(reports) + ")";
    if (result == 1 && (last.caption != L"RESET" || last.style != 4))
        return "a completed run without the restart question";
    if (result == 0 && ((last.caption != L"ERROR" && last.caption != L"ERRER") || last.style != 0))
        return "a failed run without its error box";
    return "";
}

// --- flash scan -------------------------------------------------------------

const uint32_t kPlaces[] = {0, 0x40000, 0x1FC0000};
constexpr size_t kMaxPlaced = 0x40000;   // one search step

bool WriteFlash(uint32_t offset, const uint8_t* data, size_t size)
{
    int fd = open(board::FlashImagePath().c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = pwrite(fd, data, size, off_t(offset)) == ssize_t(size);
    close(fd);
    return ok;
}

// --- shortcut ---------------------------------------------------------------

// program and arguments must start inside [text, text+chars) and end there.
std::string CheckSplit(const wchar_t* text, size_t chars, const wchar_t* program, const wchar_t* arguments)
{
    auto inside = [&](const wchar_t* p) {
        if (p < text || p >= text + chars)
            return false;
        return std::wmemchr(p, L'\0', size_t(text + chars - p)) != nullptr;
    };
    if (program == nullptr || !inside(program))
        return "the program is not a terminated string in the buffer";
    if (arguments != nullptr && (!inside(arguments) || arguments[0] == L'\0'))
        return "the arguments are empty or not in the buffer";
    return "";
}

}  // namespace

std::string UpdateWorkerCase(const uint8_t* data, size_t size)
{
    if (!imagekit::WriteFile(board::RootFs() + "/fuzz.bin", imagekit::Bytes(data, data + size)))
        return "cannot write the image file";
    uidouble::Install();
    board::SetRestartHook([](bool) {});   // a restart ends nothing
    // Time-outs cost no real time; a hang shows as the fuzzer's time-out.
    OsUseVirtualClock(0, 1);
    std::copy(kStartLayout.begin(), kStartLayout.end(), FlashLayout);
    Window dialog = uidouble::NewDialog(&ProgressDialogTemplate);
    std::string why = "no dialog";
    if (dialog != nullptr) {
        uidouble::AnswerNext(OS_IDOK);   // go on past an overlap warning
        uidouble::AnswerNext(OS_IDNO);   // and do not restart
        std::wcscpy(ImagePath, L"\\fuzz.bin");
        AbortRequested = 0;
        uint32_t result = ImageUpdateWorker(dialog);
        why = CheckUpdateEnding(result, dialog);
    }
    OsUseRealClock();
    board::SetRestartHook(nullptr);
    uidouble::Uninstall();
    return why;
}

std::string FlashScanCase(const uint8_t* data, size_t size)
{
    static size_t lastSize = 0;
    size = std::min(size, kMaxPlaced);
    std::vector<uint8_t> erased(lastSize, 0xFF);
    for (uint32_t place : kPlaces) {
        if ((!erased.empty() && !WriteFlash(place, erased.data(), erased.size())) ||
            !WriteFlash(place, data, size))
            return "cannot write flash.img";
    }
    lastSize = size;

    uint8_t* window = MapFlashWindow(FLASH_WINDOW_FULL);
    if (window == nullptr)
        return "no flash window";
    uint32_t start = 0, length = 0;
    int found = FindRunningImage(window, FLASH_WINDOW_FULL, &start, &length);
    UnmapFlashWindow(window);
    if (found && (start == 0 || start % IMAGE_SEARCH_STEP != 0 || start >= FLASH_WINDOW_FULL))
        return "the image search found a position it never looks at";

    std::copy(kStartLayout.begin(), kStartLayout.end(), FlashLayout);
    if (RefreshFlashLayout() != 1)
        return "RefreshFlashLayout failed";
    if (FlashLayout[REGION_IMAGE].start != (found ? start : 0))
        return "the IMAGE region does not start where the search found the image";

    uidouble::Install();
    ShowBspVersion(nullptr);
    std::vector<uidouble::Box> boxes = uidouble::Boxes();
    uidouble::Uninstall();
    if (boxes.size() != 1 || boxes[0].caption != L"BSP Verison")
        return "the version report did not show exactly its one box";
    if (boxes[0].text.size() >= REPORT_CHARS || boxes[0].text.find(L"Bootloader") == std::wstring::npos)
        return "the version report's text is cut or too long";
    return "";
}

std::string ShortcutCase(const uint8_t* data, size_t size)
{
    if (!imagekit::WriteFile(board::RootFs() + "/fuzz.lnk", imagekit::Bytes(data, data + size)))
        return "cannot write the shortcut";
    wchar_t path[kPathChars];
    std::wmemset(path, L'\x2222', kPathChars);   // stale characters, no path
    std::wcscpy(path, L"\\fuzz.lnk");
    std::wstring before(path, kPathChars);
    if (ReadShortcut(path)) {
        if (std::wmemchr(path, L'\0', kPathChars) == nullptr)
            return "the command text is not terminated in the buffer";
        wchar_t* program = nullptr;
        wchar_t* arguments = nullptr;
        SplitCommandLine(path, &program, &arguments);
        std::string why = CheckSplit(path, kPathChars, program, arguments);
        if (!why.empty())
            return why;
    } else if (std::wstring(path, kPathChars) != before) {
        return "a failed read changed the buffer";
    }

    // The bytes as UTF-16 text, terminated, in a buffer of exactly that size.
    std::vector<wchar_t> text;
    for (size_t i = 0; i + 1 < size; i += 2) {
        wchar_t c = wchar_t(data[i] | (data[i + 1] << 8));
        if (c == 0)
            break;
        text.push_back(c);
    }
    text.push_back(L'\0');
    wchar_t* program = nullptr;
    wchar_t* arguments = nullptr;
    SplitCommandLine(text.data(), &program, &arguments);
    return CheckSplit(text.data(), text.size(), program, arguments);
}

std::string NotificationCase(const uint8_t* data, size_t size)
{
    Handle queue = OsCreateMsgQueue(nullptr, &QueueOptions);
    if (queue == nullptr)
        return "no message queue";
    size = std::min(size, sizeof(MountNotification));
    std::string why;
    if (OsWriteMsgQueue(queue, data, uint32_t(size), 0, 0) != 1)
        why = "the queue refused a message of at most 96 bytes";
    if (why.empty()) {
        DrainNotifications(queue);
        uint32_t read = 0, flags = 0;
        MountNotification rest;
        if (OsReadMsgQueue(queue, &rest, sizeof rest, &read, 0, &flags) == 1)
            why = "a message was left in the queue";
    }
    OsCloseMsgQueue(queue);
    return why;
}

std::string RegistryTextCase(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    board::RegHive hive;
    std::string error;
    if (!board::RegParseText(text, &hive, &error))
        return error.rfind("line ", 0) == 0 ? "" : "a refusal that names no line";
    for (const auto& [lower, node] : hive.keys) {
        std::string path;
        if (!board::RegNormalizePath(node.path, &path) || path != node.path)
            return "a key path that is not in its canonical form";
        for (const auto& [lname, entry] : node.values)
            if (!board::RegValueFits(entry.first, entry.second, &error))
                return "a value beyond the bounds: " + error;
    }
    const std::string once = board::RegSerialize(hive);
    board::RegHive again;
    if (!board::RegParseText(once, &again, &error))
        return "the store's own text is refused: " + error;
    if (board::RegSerialize(again) != once)
        return "the text changed on its second round";
    return "";
}

}  // namespace fuzz
