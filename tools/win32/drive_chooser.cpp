// The open-file dialog as drive answers it: the line protocol's question,
// the path typed checked as the Linux dialog checks it, and the chosen
// file's host path typed into the dialog's file-name box.
#include <algorithm>

#include "platform/common/line_protocol.h"
#include "platform/common/ui_shared.h"
#include "tools/win32/drive.h"

using lineproto::Lower;
using lineproto::Trim;

namespace {

constexpr int kIdFileTypes = 0x470, kIdLookIn = 0x471;

// The host folder of the device's root "\": the board's rootfs/. Under
// Wine a Unix path in BOARDSIM_DIR is turned into its DOS name.
std::wstring RootFolder()
{
    std::wstring board = EnvOf(L"BOARDSIM_DIR");
    if (board.empty()) {
        std::wstring state = EnvOf(L"XDG_STATE_HOME");
        if (state.empty()) {
            std::wstring home = EnvOf(L"HOME");
            state = (home.empty() ? L"/tmp" : home) + L"/.local/state";   // as the board finds it
        }
        board = state + L"/boardsim/default";
    }
    board = HostOfUnix(board);
    std::replace(board.begin(), board.end(), L'/', L'\\');
    return board + L"\\rootfs";
}

// The host path of what was typed: a device path ("\nk.bin") lies under
// the board's root folder; a host path stands as it is, made absolute here
// (the dialog would take a relative one in the folder it shows).
std::wstring HostPath(const std::wstring& path)
{
    if (path.size() >= 1 && path[0] == L'\\' && !(path.size() >= 2 && path[1] == L'\\'))
        return RootFolder() + path;
    std::wstring p = HostOfUnix(path);
    wchar_t full[MAX_PATH * 4];
    DWORD n = GetFullPathNameW(p.c_str(), MAX_PATH * 4, full, nullptr);
    return n > 0 && n < MAX_PATH * 4 ? std::wstring(full, n) : p;
}

// What a typed path names, as the Linux open-file dialog takes it: a
// device path, a host path and one with a drive letter stand as they are;
// a bare name is taken in the folder shown ("\").
std::wstring Resolve(const std::wstring& typed)
{
    if (typed.empty() || typed[0] == L'\\' || typed == L"." || typed == L".." ||
        typed.find(L'/') != std::wstring::npos || (typed.size() >= 2 && typed[1] == L':'))
        return typed;
    return L"\\" + typed;
}

// Why the dialog refuses path, or "" (the program's flags: the folder and
// the file must exist).
std::string ChoiceError(const std::wstring& path)
{
    if (path.size() + 1 > 260)
        return "The path is too long (259 characters at most): ";
    std::wstring host = HostPath(path);
    size_t cut = host.find_last_of(L"\\/");
    if (cut != std::wstring::npos) {
        std::wstring folder = host.substr(0, cut == 0 || host[cut - 1] == L':' ? cut + 1 : cut);
        DWORD a = GetFileAttributesW(folder.c_str());
        if (a == INVALID_FILE_ATTRIBUTES || !(a & FILE_ATTRIBUTE_DIRECTORY))
            return "No such folder: ";
    }
    DWORD a = GetFileAttributesW(host.c_str());
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY))
        return "That is a folder, not a file: ";
    if (a == INVALID_FILE_ATTRIBUTES)
        return "No such file: ";
    return "";
}

// The pattern behind the filter shown. Wine keeps a pointer to it in the
// program's memory as the item's data; Windows' own dialog keeps none that
// another process can read, and the pattern is then left out.
std::wstring FilterPattern(HWND types)
{
    DWORD_PTR index = 0, data = 0;
    if (!SendMessageTimeoutW(types, CB_GETCURSEL, 0, 0, SMTO_ABORTIFHUNG, 1000, &index) ||
        static_cast<LRESULT>(index) < 0 ||
        !SendMessageTimeoutW(types, CB_GETITEMDATA, index, 0, SMTO_ABORTIFHUNG, 1000, &data) || data == 0 ||
        data == static_cast<DWORD_PTR>(CB_ERR))
        return std::wstring();
    wchar_t text[64] = {};
    SIZE_T got = 0;
    if (!ReadProcessMemory(g_child.hProcess, reinterpret_cast<const void*>(data), text, sizeof text - sizeof(wchar_t),
                           &got))
        return std::wstring();
    std::wstring pattern(text, wcsnlen(text, got / sizeof(wchar_t)));
    for (wchar_t c : pattern)
        if (c < 0x20 || c > 0x7E)
            return std::wstring();
    return pattern.find(L'*') != std::wstring::npos || pattern.find(L'.') != std::wstring::npos ? pattern
                                                                                               : std::wstring();
}

}  // namespace

void HandleChooser(Tracked& t)
{
    Sync(t.h);
    std::wstring caption = CaptionOf(t.h);
    // The record's title is none: the dialog then shows its own word, which
    // the Linux dialog writes as "Open file".
    const bool titled = !caption.empty() && caption != L"Open";
    std::wstring name, pattern;
    if (HWND types = Descendant(t.h, kIdFileTypes)) {
        name = TextOf(types);
        pattern = FilterPattern(types);
    }
    // The folder shown: the device's root when it is the board's root folder.
    std::wstring root = RootFolder();
    std::wstring rootName = root.substr(root.find_last_of(L'\\') + 1);
    HWND lookIn = Descendant(t.h, kIdLookIn);
    std::wstring shown = lookIn ? TextOf(lookIn) : std::wstring();
    if (shown.empty() || Lower(shown) == Lower(rootName))
        shown = L"\\";
    // The file name is typed into the combo box's edit control.
    HWND combo = Descendant(t.h, kIdFileNameCombo);
    HWND edit = FindWindowExW(combo, nullptr, L"Edit", nullptr);
    if (!edit)
        edit = combo;
    Write(lineproto::ChooserQuestion(titled ? &caption : nullptr, name, pattern, &shown));
    for (;;) {
        Line line;
        int got = WaitAnswer(t.h, &line);
        if (got == -2)
            return;
        if (got != 1 || (!line.tooLong && Trim(line.text).empty())) {
            Write(lineproto::ChooserCancelled(got == -1 ? "interrupted" : got == 0 ? "end of input" : nullptr));
            return Answer(t, IDCANCEL);
        }
        if (line.tooLong) {
            Write(lineproto::ChooserTooLong());
            continue;
        }
        std::wstring path = Resolve(UiWideFromUtf8(Trim(line.text)));
        Write(lineproto::ChooserTaken(path));
        std::string error = ChoiceError(path);
        if (!error.empty()) {
            Write(lineproto::ChooserRefused(error, path));
            continue;
        }
        std::wstring host = HostPath(path);
        DWORD_PTR r;
        SendMessageTimeoutW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(host.c_str()), SMTO_ABORTIFHUNG, 5000, &r);
        return Answer(t, IDOK);
    }
}
