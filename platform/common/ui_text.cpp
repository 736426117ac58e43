// What the user interfaces share that touches no state: a message box's
// buttons and their names, and UTF-8 of wide text. Also built into
// drive.exe, which speaks the line protocol for the Win32 build.
#include "platform/common/ui_shared.h"
#include "platform/common/utf16.h"

// ---- Message boxes ------------------------------------------------------

std::vector<int> UiBoxButtons(uint32_t style)
{
    switch (style & 0xF) {
    case OS_MB_OKCANCEL: return {OS_IDOK, OS_IDCANCEL};
    case OS_MB_YESNO: return {OS_IDYES, OS_IDNO};
    default: return {OS_IDOK};
    }
}

int UiBoxDefault(uint32_t style)
{
    std::vector<int> buttons = UiBoxButtons(style);
    size_t index = (style >> 8) & 0xF;   // 0x100: the second, 0x200: the third
    if (index >= buttons.size())
        index = 0;
    return buttons[index];
}

// The last button of every style: Cancel, No, or the only one.
int UiBoxCloseAnswer(uint32_t style) { return UiBoxButtons(style).back(); }

int UiBoxAnswer(uint32_t style, int raw)
{
    for (int b : UiBoxButtons(style))
        if (b == raw)
            return raw;
    return UiBoxCloseAnswer(style);
}

const char* UiButtonName(int answer)
{
    switch (answer) {
    case OS_IDOK: return "OK";
    case OS_IDCANCEL: return "Cancel";
    case OS_IDYES: return "Yes";
    case OS_IDNO: return "No";
    default: return "?";
    }
}

// ---- Text ---------------------------------------------------------------

// Wide text is UTF-16 on either width of wchar_t: a pair is one character,
// also where wchar_t could hold it whole. A byte that is not UTF-8 (a host
// file name in another encoding) is kept as U+DC80..U+DCFF, which the file
// calls and UiUtf8 turn back into the same byte.
std::string UiUtf8(const std::wstring& text)
{
    return utf16::Narrow(text.data(), text.size());
}

std::wstring UiWideFromUtf8(const std::string& text)
{
    return utf16::Widen<wchar_t>(text.data(), text.size());
}
