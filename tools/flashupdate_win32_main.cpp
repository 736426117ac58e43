// flashupdate on Windows: the platform starts the program at its entry.
//
// Windows hands a program its command line as one text, as the device does:
// the program's own name, then what its caller wrote. The program's command
// line is that text after the name and one separating blank, unchanged
// (quotation marks and further blanks included, as on the device, so that
// " /u" opens the main dialog); it goes to the platform as the one argument
// in UTF-8, the form the Linux launcher's arguments have. --help and
// --version are the Linux launcher's conventions: here every text is the
// program's.
#include <windows.h>

#include <cwchar>
#include <string>

#include "platform/common/run_report.h"
#include "platform/host/entry.h"
#include "platform/host/text.h"
#include "resources/resources.h"
#include "shell/entry.h"

int main()
{
    const wchar_t* line = GetCommandLineW();
    // The program's name: quoted, or up to the first blank or tab.
    if (*line == L'"') {
        ++line;
        while (*line && *line != L'"')
            ++line;
        if (*line == L'"')
            ++line;
    } else {
        while (*line && *line != L' ' && *line != L'\t')
            ++line;
    }
    if (*line == L' ' || *line == L'\t')
        ++line;
    char name[] = "flashupdate";
    std::string utf8(std::wcslen(line) * 4 + 1, '\0');
    utf8.resize(OsNarrowUtf8(line, utf8.data(), utf8.size()));
    char* argv[] = {name, *line ? utf8.data() : nullptr, nullptr};
    RunReportEnable("flashupdate");   // every run ends with its closing line
    return OsRunProgram(*line ? 2 : 1, argv, &AppResources, FlashUpdateMain);
}
