// The open-file dialog's record as flashupdate fills it: the *.bin files
// of the device's root folder, only an existing file in an existing folder.
#pragma once
#include <cstdint>

#include "platform/ui.h"

inline OsOpenFileName BinChooserRecord(wchar_t* file, uint32_t maxFile)
{
    OsOpenFileName record{};
    record.structSize = 76;
    record.filter = L"IMAGE files\0*.bin\0";
    record.file = file;
    record.maxFile = maxFile;
    record.initialDir = L"\\";
    record.flags = OS_OFN_PATHMUSTEXIST | OS_OFN_FILEMUSTEXIST;
    return record;
}
