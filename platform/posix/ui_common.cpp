// What every presenter shares: the current presenter, message box buttons,
// open-file helpers, text conversion; and the module's resources.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <map>
#include <mutex>

#include "platform/entry.h"
#include "platform/files.h"
#include "platform/posix/ui_presenter.h"

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

std::string UiUtf8(const std::wstring& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = static_cast<uint32_t>(text[i]);
        // A UTF-16 surrogate pair (as the platform's file names carry on
        // either width of wchar_t) is one character.
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size()) {
            uint32_t low = static_cast<uint32_t>(text[i + 1]);
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x110000) {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back('?');
        }
    }
    return out;
}

std::wstring UiWideFromUtf8(const std::string& text)
{
    std::wstring out;
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    size_t n = text.size();
    for (size_t i = 0; i < n;) {
        unsigned char b = s[i];
        int extra = (b >= 0xC2 && b < 0xE0) ? 1 : (b >= 0xE0 && b < 0xF0) ? 2 : (b >= 0xF0 && b < 0xF5) ? 3 : 0;
        uint32_t c = b & (0x3F >> extra);
        bool ok = extra > 0 && i + static_cast<size_t>(extra) < n;
        for (int k = 1; ok && k <= extra; ++k) {
            if ((s[i + k] & 0xC0) != 0x80)
                ok = false;
            else
                c = (c << 6) | (s[i + k] & 0x3F);
        }
        if (!ok || (extra == 2 && c < 0x800) || (extra == 3 && (c < 0x10000 || c > 0x10FFFF))) {
            out.push_back(static_cast<wchar_t>(b));   // not UTF-8: the byte as its own code point
            ++i;
            continue;
        }
        out.push_back(static_cast<wchar_t>(c));
        i += static_cast<size_t>(extra) + 1;
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
