// What the user interfaces of both backends share: a module's resources,
// the open-file filter as text, the program's command line (the pure
// helpers are in ui_text.cpp).
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
