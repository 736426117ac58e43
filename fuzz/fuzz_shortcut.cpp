// The shortcut reader and the command-line split on arbitrary bytes. The
// input is read as a shortcut file; whatever command text it yields is cut
// by SplitCommandLine, and so is the input itself taken as UTF-16 text.
// Both parts must lie inside their buffer and end within it.
#include <cstdint>
#include <cwchar>
#include <string>
#include <vector>

#include "autorun/autorun.h"
#include "fuzz/fuzz_support.h"

namespace {

// program and arguments must start inside [text, text+chars) and end there.
void CheckSplit(const wchar_t* text, size_t chars, const wchar_t* program, const wchar_t* arguments)
{
    auto inside = [&](const wchar_t* p) {
        if (p < text || p >= text + chars)
            return false;
        return std::wmemchr(p, L'\0', size_t(text + chars - p)) != nullptr;
    };
    if (program == nullptr || !inside(program))
        fuzz::Fail("the program is not a terminated string in the buffer");
    if (arguments != nullptr && (!inside(arguments) || arguments[0] == L'\0'))
        fuzz::Fail("the arguments are empty or not in the buffer");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string& dir = fuzz::Board();
    if (!fuzz::WriteHostFile(dir + "/rootfs/fuzz.lnk", data, size))
        fuzz::Fail("cannot write the shortcut");

    wchar_t path[kPathChars];
    std::wmemset(path, L'\x2222', kPathChars);   // stale bytes that are no path
    std::wcscpy(path, L"\\fuzz.lnk");
    std::wstring before(path, kPathChars);
    if (ReadShortcut(path)) {
        if (std::wmemchr(path, L'\0', kPathChars) == nullptr)
            fuzz::Fail("the command text is not terminated in the buffer");
        wchar_t* program = nullptr;
        wchar_t* arguments = nullptr;
        SplitCommandLine(path, &program, &arguments);
        CheckSplit(path, kPathChars, program, arguments);
    } else if (std::wstring(path, kPathChars) != before) {
        fuzz::Fail("a failed read changed the buffer");
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
    CheckSplit(text.data(), text.size(), program, arguments);
    return 0;
}
