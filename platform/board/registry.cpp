// Registry role on the board: the board's registry store, seen through
// key handles and the program's wide text.
#include "platform/registry.h"

#include <cstring>
#include <mutex>
#include <set>
#include <string>

#include "board/board.h"
#include "board/registry_store.h"
#include "platform/common/run_report.h"
#include "platform/common/utf16.h"

struct OsRegKeyObject {
    std::string path;  // canonical, relative to the local-machine root
};

namespace {

std::mutex g_keysMutex;
std::set<OsRegKeyObject*> g_keys;  // live handles, to refuse foreign pointers

// The key path behind a handle (the root pseudo-handle is ""). false for a
// handle that is no open key.
bool PathOf(RegKey key, std::string* path)
{
    if (key == OS_HKEY_LOCAL_MACHINE) {
        path->clear();
        return true;
    }
    std::lock_guard<std::mutex> guard(g_keysMutex);
    if (!g_keys.count(key))
        return false;
    *path = key->path;
    return true;
}

// The registry store's UTF-8 of a wide name or text; a character UTF-8
// cannot carry (a lone surrogate included) becomes U+FFFD.
std::string ToUtf8(const wchar_t* w)
{
    return w ? utf16::Narrow(w, wcslen(w), false) : std::string();
}

bool Join(const std::string& base, const wchar_t* sub, std::string* out)
{
    std::string joined = base;
    std::string s = ToUtf8(sub);
    if (!s.empty())
        joined += (joined.empty() ? "" : "\\") + s;
    return board::RegNormalizePath(joined, out);
}

RegKey NewKey(const std::string& path)
{
    auto* k = new OsRegKeyObject{path};
    std::lock_guard<std::mutex> guard(g_keysMutex);
    g_keys.insert(k);
    return k;
}

}  // namespace

long OsRegOpenKeyEx(RegKey root, const wchar_t* subKey, uint32_t, uint32_t, RegKey* out)
{
    std::string base, path;
    if (!out || !PathOf(root, &base))
        return OS_ERROR_INVALID_HANDLE;
    *out = nullptr;
    if (!board::Ensure() || !Join(base, subKey, &path) || !board::RegKeyExists(path))
        return OS_ERROR_FILE_NOT_FOUND;
    *out = NewKey(path);
    return OS_ERROR_SUCCESS;
}

long OsRegCreateKeyEx(RegKey root, const wchar_t* subKey, RegKey* out, uint32_t* disposition)
{
    std::string base, path;
    if (!out || !PathOf(root, &base))
        return OS_ERROR_INVALID_HANDLE;
    *out = nullptr;
    if (!board::Ensure() || !Join(base, subKey, &path))
        return OS_ERROR_FILE_NOT_FOUND;
    bool created = false;
    if (!board::RegCreateKey(path, &created))
        return OS_ERROR_WRITE_FAULT;
    if (disposition)
        *disposition = created ? 1 : 2;
    *out = NewKey(path);
    return OS_ERROR_SUCCESS;
}

long OsRegQueryValueEx(RegKey key, const wchar_t* name, uint32_t* type, void* data, uint32_t* size)
{
    std::string path;
    if (!PathOf(key, &path))
        return OS_ERROR_INVALID_HANDLE;
    if (data && !size)
        return OS_ERROR_INVALID_HANDLE;
    board::RegValue v;
    if (!board::RegGetValue(path, ToUtf8(name), &v))
        return OS_ERROR_FILE_NOT_FOUND;
    // The value as the program sees it.
    std::string bytes;
    uint32_t t = v.type;
    if (v.type == board::kRegSz) {
        // A byte that does not decode stands for the character of its value.
        std::wstring w = utf16::Widen<wchar_t>(v.text.data(), v.text.size(), false);
        bytes.assign(reinterpret_cast<const char*>(w.c_str()), (w.size() + 1) * sizeof(wchar_t));
    } else if (v.type == board::kRegDword) {
        unsigned char le[4] = {uint8_t(v.dword), uint8_t(v.dword >> 8), uint8_t(v.dword >> 16),
                               uint8_t(v.dword >> 24)};
        bytes.assign(reinterpret_cast<const char*>(le), 4);
    } else {
        t = OS_REG_BINARY;
        bytes.assign(v.bytes.begin(), v.bytes.end());
    }
    if (type)
        *type = t;
    if (!size)
        return OS_ERROR_SUCCESS;
    uint32_t need = uint32_t(bytes.size());
    if (data && *size < need) {
        *size = need;
        return OS_ERROR_MORE_DATA;
    }
    if (data && need)
        std::memcpy(data, bytes.data(), need);
    *size = need;
    return OS_ERROR_SUCCESS;
}

long OsRegCloseKey(RegKey key)
{
    if (key == OS_HKEY_LOCAL_MACHINE)
        return OS_ERROR_SUCCESS;
    {
        std::lock_guard<std::mutex> guard(g_keysMutex);
        if (!g_keys.erase(key))
            return OS_ERROR_INVALID_HANDLE;
    }
    delete key;
    return OS_ERROR_SUCCESS;
}

long OsRegFlushKey(RegKey root)
{
    std::string path;
    if (!PathOf(root, &path))
        return OS_ERROR_INVALID_HANDLE;
    bool saved = board::Ensure() && board::RegFlushToFlash();
    RunNoteRegistrySave(saved);
    return saved ? OS_ERROR_SUCCESS : OS_ERROR_WRITE_FAULT;
}
