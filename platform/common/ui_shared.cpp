// A module's resources and the program's command line (see ui_shared.h).
#include "platform/common/ui_shared.h"

#include <map>
#include <mutex>

#include "platform/host/entry.h"

struct OsResourceObject {
    const OsResourceEntry* entry;
};

struct OsModule {
    std::vector<OsResourceObject> resources;
};

namespace {

std::mutex g_moduleLock;
std::map<const OsResourceTable*, OsModule> g_modules;   // a module's handle is its node's address

// The module a handle names, or nullptr when no module has that handle.
// Requires g_moduleLock.
OsModule* KnownModule(Instance module)
{
    for (auto& entry : g_modules)
        if (&entry.second == module)
            return &entry.second;
    return nullptr;
}

}  // namespace

// ---- Resources of a module ----------------------------------------------

Instance OsModuleFor(const OsResourceTable* resources)
{
    std::lock_guard<std::mutex> hold(g_moduleLock);
    auto [slot, made] = g_modules.try_emplace(resources);
    if (made && resources && resources->entries)
        for (int i = 0; i < resources->count; ++i)
            slot->second.resources.push_back({&resources->entries[i]});
    return &slot->second;
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
