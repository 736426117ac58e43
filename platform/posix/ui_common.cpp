// What every presenter shares: the current presenter, message box buttons,
// open-file helpers, text conversion; and the module's resources.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <map>
#include <mutex>

#include "platform/entry.h"
#include "platform/files.h"
#include "platform/posix/ui_presenter.h"
#include "platform/utf16.h"

namespace {

std::mutex g_presenterLock;
std::unique_ptr<UiPresenter> g_presenter;

std::mutex g_moduleLock;
std::map<const OsResourceTable*, std::unique_ptr<OsModule>> g_modules;

}  // namespace

UiPresenter* UiCurrentPresenter()
{
    std::lock_guard<std::mutex> hold(g_presenterLock);
    if (!g_presenter)
        g_presenter = UiNewLinePresenter(0, 2);
    return g_presenter.get();
}

std::unique_ptr<UiPresenter> UiSetPresenter(std::unique_ptr<UiPresenter> presenter)
{
    std::lock_guard<std::mutex> hold(g_presenterLock);
    std::unique_ptr<UiPresenter> previous = std::move(g_presenter);
    g_presenter = std::move(presenter);
    return previous;
}

std::vector<int> UiBoxButtons(uint32_t style)
{
    switch (style & 0xF) {
    case 1: return {OS_IDOK, OS_IDCANCEL};
    case 2: return {3, 4, 5};                  // Abort, Retry, Ignore
    case 3: return {OS_IDYES, OS_IDNO, OS_IDCANCEL};
    case 4: return {OS_IDYES, OS_IDNO};
    case 5: return {4, OS_IDCANCEL};           // Retry, Cancel
    default: return {OS_IDOK};
    }
}

const char* UiButtonName(int answer)
{
    switch (answer) {
    case OS_IDOK: return "OK";
    case OS_IDCANCEL: return "Cancel";
    case 3: return "Abort";
    case 4: return "Retry";
    case 5: return "Ignore";
    case OS_IDYES: return "Yes";
    case OS_IDNO: return "No";
    default: return "?";
    }
}

int UiBoxDefault(uint32_t style)
{
    std::vector<int> buttons = UiBoxButtons(style);
    size_t index = (style >> 8) & 0xF;   // 0x100: the second, 0x200: the third
    if (index >= buttons.size())
        index = 0;
    return buttons[index];
}

int UiBoxCloseAnswer(uint32_t style)
{
    std::vector<int> buttons = UiBoxButtons(style);
    for (int b : buttons)
        if (b == OS_IDCANCEL)
            return b;
    for (int b : buttons)
        if (b == OS_IDNO)
            return b;
    return buttons.back();
}

std::wstring UiFilterText(const wchar_t* filter)
{
    std::wstring out;
    if (!filter)
        return out;
    // Pairs of texts, each terminated, the list ending in an empty text.
    for (int guard = 0; guard < 64; ++guard) {
        std::wstring part(filter);
        out += part;
        out += L'|';
        if (part.empty())
            break;
        filter += part.size() + 1;
    }
    return out;
}

namespace {

bool HostStat(const std::wstring& path, struct stat* st)
{
    char host[4096];
    if (path.empty() || !OsHostPath(path.c_str(), host, sizeof host))
        return false;
    return stat(host, st) == 0;
}

}  // namespace

bool UiFileExists(const std::wstring& path)
{
    struct stat st;
    return HostStat(path, &st) && S_ISREG(st.st_mode);
}

bool UiFolderOfExists(const std::wstring& path)
{
    size_t cut = path.find_last_of(L"\\/");
    if (cut == std::wstring::npos)
        return true;   // a bare name: the current folder
    std::wstring folder = path.substr(0, cut);
    if (folder.empty())
        folder = path.substr(0, 1);   // the root, "\" or "/"
    struct stat st;
    return HostStat(folder, &st) && S_ISDIR(st.st_mode);
}

std::wstring UiResolveChoice(const std::wstring& typed, const wchar_t* initialDir)
{
    if (typed.empty() || typed[0] == L'\\' || typed == L"." || typed == L".." ||
        typed.find(L'/') != std::wstring::npos)
        return typed;
    std::wstring dir = initialDir && *initialDir ? initialDir : L"\\";
    wchar_t sep = dir.find(L'/') != std::wstring::npos && dir[0] != L'\\' ? L'/' : L'\\';
    if (dir.back() != L'\\' && dir.back() != L'/')
        dir += sep;
    return dir + typed;
}

std::string UiChoiceError(const std::wstring& path, const OsOpenFileName* record)
{
    if (path.size() + 1 > record->maxFile)
        return "The path is too long (" + std::to_string(record->maxFile - 1) + " characters at most): ";
    if ((record->flags & OS_OFN_PATHMUSTEXIST) && !UiFolderOfExists(path))
        return "No such folder: ";
    struct stat st;
    if (HostStat(path, &st) && S_ISDIR(st.st_mode))
        return "That is a folder, not a file: ";
    if ((record->flags & OS_OFN_FILEMUSTEXIST) && !UiFileExists(path))
        return "No such file: ";
    return "";
}

namespace {
std::mutex g_unitLock;
std::string g_barUnit;
}  // namespace

void UiSetBarUnit(const char* unit)
{
    std::lock_guard<std::mutex> hold(g_unitLock);
    g_barUnit = unit ? unit : "";
}

std::string UiBarUnit()
{
    std::lock_guard<std::mutex> hold(g_unitLock);
    return g_barUnit;
}

int UiPercent(const UiControlView& bar)
{
    if (bar.rangeHigh <= bar.rangeLow)
        return 0;
    int64_t p = (static_cast<int64_t>(bar.pos) - bar.rangeLow) * 100 /
                (static_cast<int64_t>(bar.rangeHigh) - bar.rangeLow);
    return static_cast<int>(p < 0 ? 0 : p > 100 ? 100 : p);
}

// Wide text is UTF-16 on either width of wchar_t: a pair is one character.
// The lone surrogates U+DC80..U+DCFF stand for bytes that were not UTF-8
// and go back to them.
std::string UiUtf8(const std::wstring& text)
{
    std::string out;
    for (size_t at = 0; at <= text.size(); ++at) {   // NULs inside are kept
        const size_t end = std::min(text.find(L'\0', at), text.size());
        std::string part((end - at) * 4 + 1, '\0');
        part.resize(utf16::ToUtf8(text.substr(at, end - at).c_str(), part.data(), part.size()));
        out += part;
        if (end < text.size())
            out.push_back('\0');
        at = end;
    }
    return out;
}

// A character beyond U+FFFF becomes a surrogate pair, also where wchar_t
// would hold it whole. A byte that is not UTF-8 (a host file name in
// another encoding) is kept as U+DC80..U+DCFF, which the file calls and
// UiUtf8 turn back into the same byte.
std::wstring UiWideFromUtf8(const std::string& text)
{
    std::wstring out;
    for (size_t at = 0; at <= text.size(); ++at) {   // NULs inside are kept
        const size_t end = std::min(text.find('\0', at), text.size());
        std::wstring part(end - at + 1, L'\0');
        part.resize(utf16::FromUtf8(text.substr(at, end - at).c_str(), part.data(), part.size()));
        out += part;
        if (end < text.size())
            out.push_back(L'\0');
        at = end;
    }
    return out;
}

// ---- Resources of a module ----------------------------------------------

Instance OsModuleFor(const OsResourceTable* resources)
{
    std::lock_guard<std::mutex> hold(g_moduleLock);
    auto& slot = g_modules[resources];
    if (!slot) {
        slot = std::make_unique<OsModule>();
        slot->table = resources;
        if (resources && resources->entries && resources->count > 0) {
            slot->resources.reserve(static_cast<size_t>(resources->count));
            for (int i = 0; i < resources->count; ++i)
                slot->resources.push_back({&resources->entries[i]});
        }
    }
    return slot.get();
}

namespace {

// The module a handle names, or nullptr when no module has that handle.
// Requires g_moduleLock.
OsModule* KnownModule(Instance module)
{
    for (auto& entry : g_modules)
        if (entry.second.get() == module)
            return entry.second.get();
    return nullptr;
}

}  // namespace

Resource OsFindResource(Instance module, uint32_t id, uint32_t type)
{
    if (!module)
        return nullptr;
    std::lock_guard<std::mutex> hold(g_moduleLock);
    if (OsModule* m = KnownModule(module))
        for (OsResourceObject& r : m->resources)
            if (r.entry->id == id && r.entry->type == type)
                return &r;
    return nullptr;
}

const void* OsLoadResource(Instance module, Resource res)
{
    if (!module || !res)
        return nullptr;
    std::lock_guard<std::mutex> hold(g_moduleLock);
    if (OsModule* m = KnownModule(module))
        for (OsResourceObject& r : m->resources)
            if (&r == res)
                return r.entry->data;
    return nullptr;
}

void UiWriteAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}
