// The unattended line protocol's lines and answers (see line_protocol.h).
#include "platform/common/line_protocol.h"

#include <cwctype>

#include "platform/common/ui_shared.h"

namespace lineproto {

namespace {

constexpr int kClose = OS_IDCANCEL;   // the command that closes a dialog
const char* const kPathPrompt = "Path (empty line: cancel):\n";

std::string Choices(const std::vector<int>& buttons)
{
    std::string choices;
    for (int b : buttons)
        choices += std::string(choices.empty() ? "" : " / ") + UiButtonName(b);
    return choices;
}

}  // namespace

std::string Trim(const std::string& line)
{
    size_t b = 0, e = line.size();
    while (b < e && (line[b] == ' ' || line[b] == '\t' || line[b] == '\r'))
        ++b;
    while (e > b && (line[e - 1] == ' ' || line[e - 1] == '\t' || line[e - 1] == '\r'))
        --e;
    return line.substr(b, e - b);
}

std::wstring Lower(const std::wstring& text)
{
    std::wstring out;
    for (wchar_t c : text)
        out.push_back(static_cast<wchar_t>(std::towlower(c)));
    return out;
}

std::string TooLong()
{
    return "-> (a line of more than " + std::to_string(kMaxLine) + " bytes, read past)\nThat line is too long (" +
           std::to_string(kMaxLine) + " bytes at most)";
}

// ---- Message boxes -------------------------------------------------------

std::string BoxQuestion(const std::wstring& caption, const std::wstring& text, const std::vector<int>& buttons)
{
    return UiUtf8(caption) + "\n" + UiUtf8(text) + "\n[" + Choices(buttons) + "]\n";
}

int BoxAnswerOf(const std::string& line, const std::vector<int>& buttons)
{
    std::wstring word = Lower(UiWideFromUtf8(Trim(line)));
    if (word.empty())
        return 0;
    for (int b : buttons)
        if (Lower(UiWideFromUtf8(UiButtonName(b))).compare(0, word.size(), word) == 0)
            return b;
    return 0;
}

std::string BoxTaken(int answer) { return std::string("-> ") + UiButtonName(answer) + "\n"; }

std::string BoxTakenWithout(int answer, const char* why)
{
    return std::string("(") + why + ": " + UiButtonName(answer) + ")\n-> " + UiButtonName(answer) + " (" + why +
           ")\n";
}

std::string BoxNoButton(const std::string& line, const std::vector<int>& buttons)
{
    std::string word = Trim(line);
    return "-> " + word + "\n\"" + word + "\" is no button of this box; answer " + Choices(buttons) + "\n";
}

std::string BoxTooLong(const std::vector<int>& buttons) { return TooLong() + "; answer " + Choices(buttons) + "\n"; }

// ---- The open-file dialog ------------------------------------------------

std::string ChooserQuestion(const std::wstring* title, const std::wstring& filterName, const std::wstring& pattern,
                            const std::wstring* folder)
{
    std::string out = title ? UiUtf8(*title) : "Open file";
    if (!filterName.empty())
        out += ": " + UiUtf8(filterName);
    if (!pattern.empty())
        out += " (" + UiUtf8(pattern) + ")";
    if (folder)
        out += " in " + UiUtf8(*folder);
    return out + "\n" + kPathPrompt;
}

std::string ChooserCancelled(const char* why)
{
    return std::string("(cancelled)\n-> (cancel)") + (why ? std::string(" (") + why + ")" : "") + "\n";
}

std::string ChooserTaken(const std::wstring& path) { return "-> " + UiUtf8(path) + "\n"; }

std::string ChooserRefused(const std::string& error, const std::wstring& path)
{
    return error + UiUtf8(path) + "\n" + kPathPrompt;
}

std::string ChooserTooLong() { return TooLong() + "\n" + kPathPrompt; }

// ---- Dialogs ------------------------------------------------------------

std::string DialogShown(const UiDialogView& view, const std::string& unit, bool* reads, bool typed)
{
    std::string out = "Dialog: " + UiUtf8(view.caption) + "\n";
    bool pressable = false, hasClose = false;
    std::string first;
    int place = 0;
    bool numbered = false;   // places only where a line is read
    for (const UiControlView& c : view.controls)
        numbered = numbered || (typed && c.kind == UiControlKind::Button && c.id != kClose);
    for (const UiControlView& c : view.controls) {
        if (c.kind != UiControlKind::Button)
            continue;
        pressable = pressable || c.id != kClose;
        hasClose = hasClose || c.id == kClose;
        if (first.empty())
            first = UiUtf8(c.text);
        std::string number = numbered && ++place <= 9 ? std::to_string(place) + ": " : "";
        out += "  " + number + "[" + std::to_string(c.id) + "] " + UiUtf8(c.text) + "\n";
    }
    // A dialog whose only button is its close button (the progress dialog's
    // Abort) reads nothing: Ctrl-C presses it.
    if (!pressable)
        out += std::string("(Ctrl-C: ") + (hasClose ? "Abort" : "close") + ")\n";
    else if (typed)
        out += "Press: a button's number, id or text (Enter: " + first + "; Ctrl-D or Ctrl-C: close)\n";
    else
        out += "Press: a button's id or text (empty line: close)\n";
    *reads = pressable;
    return out + Changes(view, view, /*onlyFilled=*/true, unit, typed);
}

std::string Changes(const UiDialogView& written, const UiDialogView& now, bool onlyFilled, const std::string& unit,
                    bool once)
{
    std::string out;
    std::string prefix = UiUtf8(now.caption) + " ";
    if (!onlyFilled && now.caption != written.caption)
        out += "Dialog: " + UiUtf8(now.caption) + "\n";
    for (size_t i = 0; i < now.controls.size() && i < written.controls.size(); ++i) {
        const UiControlView& c = now.controls[i];
        const UiControlView& w = written.controls[i];
        std::string id = std::to_string(c.id);
        if (c.kind == UiControlKind::Progress) {
            bool differs = c.pos != w.pos || c.rangeHigh != w.rangeHigh || c.rangeLow != w.rangeLow;
            if (onlyFilled ? c.pos != 0 : differs) {
                std::string numbers = std::to_string(c.pos) + "/" + std::to_string(c.rangeHigh);
                if (!once)
                    out += prefix + id + ": " + numbers + "\n";
                out += prefix + "[" + id + " bar]: " + numbers + (unit.empty() ? "" : " " + unit) + "  " +
                       std::to_string(UiPercent(c)) + " %\n";
            }
        } else if (c.kind != UiControlKind::Button) {
            if (onlyFilled ? !c.text.empty() : c.text != w.text) {
                if (!once)
                    out += prefix + id + ": " + UiUtf8(c.text) + "\n";
                out += prefix + "[" + id + " text]: " + UiUtf8(c.text) + "\n";
            }
        }
    }
    return out;
}

int CommandOf(const UiDialogView& view, const std::string& line, std::string* complaint)
{
    if (line.empty())
        return kClose;
    if (line.size() <= 5 && line.find_first_not_of("0123456789") == std::string::npos) {
        int id = std::stoi(line);
        if (id > 0 && id <= 0xFFFF)
            return id;
    }
    std::wstring word = Lower(UiWideFromUtf8(line));
    for (const UiControlView& c : view.controls)
        if (c.kind == UiControlKind::Button && Lower(c.text) == word)
            return c.id;
    *complaint = "-> " + line + "\n\"" + line + "\" names no button of " + UiUtf8(view.caption) + "\n";
    return 0;
}

int TypedCommandOf(const UiDialogView& view, const std::string& line, std::string* complaint)
{
    std::vector<int> buttons;
    for (const UiControlView& c : view.controls)
        if (c.kind == UiControlKind::Button)
            buttons.push_back(c.id);
    if (line.empty())
        return buttons.empty() ? kClose : buttons.front();
    if (line.size() == 1 && line[0] >= '1' && line[0] <= '9' && static_cast<size_t>(line[0] - '1') < buttons.size())
        return buttons[static_cast<size_t>(line[0] - '1')];
    return CommandOf(view, line, complaint);
}

std::string Echo(const UiDialogView& view, int id)
{
    std::string out = "-> [" + std::to_string(id) + "]";
    std::string text = id == kClose ? "close" : "";
    for (const UiControlView& c : view.controls)
        if (c.kind == UiControlKind::Button && c.id == id)
            text = UiUtf8(c.text);
    return text.empty() ? out : out + " " + text;
}

std::string InterruptTaken(const UiDialogView& view) { return Echo(view, kClose) + " (interrupted)\n"; }

std::string Closed(const std::wstring& caption) { return "Closed: " + UiUtf8(caption) + "\n"; }

}  // namespace lineproto
