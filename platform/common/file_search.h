// The device's file searches, the same for both backends: its wildcards
// and the listing a search handle walks (OsFindFirstFile is the backend's).
#pragma once
#include <cwchar>
#include <string>
#include <vector>

#include "platform/common/object.h"
#include "platform/files.h"

// Letter case as the device ignores it in names and wildcards.
wchar_t OsFoldName(wchar_t c);
// Wildcard match as on the device: '*' any run of characters, '?' exactly
// one, letter case ignored; "*.*" matches every name.
bool OsWildcardMatch(const wchar_t* pattern, const wchar_t* name);

// A search handle: the listing, taken at once by OsFindFirstFile, so that
// the caller may create files in the folder while it walks the entries.
struct OsSearchObject : OsObject {
    struct Entry {
        uint32_t attributes;
        std::wstring name;
    };
    std::vector<Entry> entries;
    size_t next = 0;

    bool Fill(OsFindData* data)
    {
        if (next >= entries.size())
            return false;
        const Entry& e = entries[next++];
        data->attributes = e.attributes;
        wcscpy(data->name, e.name.c_str());   // names longer than 259 were skipped
        return true;
    }
};
