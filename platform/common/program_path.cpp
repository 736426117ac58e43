#include "platform/common/program_path.h"

std::vector<std::wstring> OsProgramPaths(const wchar_t* text)
{
    std::wstring name = text;
    if (name.find_first_of(L"\\/") != std::wstring::npos) {
        if (name[0] != L'\\')
            name.insert(0, 1, L'\\');
        return {name};
    }
    if (name.find(L'.') == std::wstring::npos)
        name += L".exe";
    return {L"\\Windows\\" + name, L"\\" + name};
}
