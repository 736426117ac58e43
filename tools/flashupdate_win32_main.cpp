// flashupdate on Windows: the platform starts the program at its entry.
//
// Windows hands a program its command line as one wide text; it is split
// into arguments as the C runtime does and each is given to the platform in
// UTF-8, the form the Linux launcher has from its shell, so both builds join
// the same arguments into the same command line. --help and --version are
// the Linux launcher's conventions: here every argument is the program's.
#include <windows.h>

#include <shellapi.h>

#include <string>
#include <vector>

#include "platform/entry.h"
#include "resources/resources.h"
#include "shell/entry.h"

namespace {

std::string Utf8(const wchar_t* text)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

}  // namespace

int main()
{
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> args;
    for (int i = 0; wide && i < count; ++i)
        args.push_back(Utf8(wide[i]));
    if (wide)
        LocalFree(wide);
    if (args.empty())
        args.push_back("flashupdate");
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return OsRunProgram(static_cast<int>(args.size()), argv.data(), &AppResources, FlashUpdateMain);
}
