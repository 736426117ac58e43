// What the user interfaces of both backends share: a module's resources,
// message box buttons, the open-file filter as text, text conversion.
#include "platform/common/ui_shared.h"

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>

#include "platform/common/utf16.h"
#include "platform/host/entry.h"

struct OsResourceObject {
    const OsResourceEntry* entry;
};

struct OsModule {
    const OsResourceTable* table = nullptr;
    std::vector<OsResourceObject> resources;
};

namespace {

std::mutex g_moduleLock;
std::map<const OsResourceTable*, std::unique_ptr<OsModule>> g_modules;

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

// ---- Message boxes ------------------------------------------------------

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

int UiBoxAnswer(uint32_t style, int raw)
{
    for (int b : UiBoxButtons(style))
        if (b == raw)
            return raw;
    return UiBoxCloseAnswer(style);
}

// ---- The open-file dialog -----------------------------------------------

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

// ---- Text ---------------------------------------------------------------

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

std::vector<wchar_t> UiCommandLine(int argc, char** argv)
{
    std::string joined;
    for (int i = 1; i < argc; ++i) {
        if (i > 1)
            joined += ' ';
        joined += argv[i];
    }
    std::wstring wide = UiWideFromUtf8(joined);
    std::vector<wchar_t> commandLine(wide.begin(), wide.end());
    commandLine.push_back(0);
    return commandLine;
}
