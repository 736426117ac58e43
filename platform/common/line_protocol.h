// The unattended line protocol: the lines that show message boxes, dialogs
// and the open-file dialog on standard error, and how a line of standard
// input answers them. Pure functions, written through by the Linux line
// presenter and by drive.exe (for the Win32 build's real windows), so that
// a transcript is the same byte for byte on either side. Each returns whole
// lines ('\n' ended) unless it says otherwise; wide texts go out as UTF-8.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/common/ui_view.h"

namespace lineproto {

// The longest line of input taken, in bytes without its newline; a longer
// one is read past and answered with TooLong().
constexpr size_t kMaxLine = 64 * 1024;
// Progress is written at most this often (the state just before a box and
// the last one before a dialog ends are always written).
constexpr uint32_t kProgressIntervalMs = 250;

// A line without the blanks, tabs and carriage returns around it.
std::string Trim(const std::string& line);
// Lower case, character by character.
std::wstring Lower(const std::wstring& text);

// "-> (a line of more than 65536 bytes, read past)" and the complaint
// after it, without its final newline (what follows depends on who asked).
std::string TooLong();

// ---- Message boxes -------------------------------------------------------
// (A box's buttons, its default and its close answer, and the buttons'
// names are in platform/common/ui_shared.h.)

// The box asked: its caption, its text verbatim and its buttons,
// "[OK / Cancel]".
std::string BoxQuestion(const std::wstring& caption, const std::wstring& text,
                        const std::vector<int>& buttons);
// The button a line names: the first letters of its name, any letter case,
// blanks around ignored. 0 when it names none.
int BoxAnswerOf(const std::string& line, const std::vector<int>& buttons);
// "-> Yes": the button a line named.
std::string BoxTaken(int answer);
// An answer the box took without a line: why is "end of input",
// "interrupted" or "terminated". "(end of input: Cancel)", "-> Cancel (end of input)".
std::string BoxTakenWithout(int answer, const char* why);
// A line that names no button: its echo and the question again.
std::string BoxNoButton(const std::string& line, const std::vector<int>& buttons);
// A line too long to take: the complaint and the question again.
std::string BoxTooLong(const std::vector<int>& buttons);

// ---- The open-file dialog ------------------------------------------------

// "Open file: IMAGE files (*.bin) in \" and the prompt. title: the record's
// title (nullptr: "Open file"); filterName and pattern: the filter shown
// (each left out when empty); folder: the folder shown (nullptr: none).
std::string ChooserQuestion(const std::wstring* title, const std::wstring& filterName,
                            const std::wstring& pattern, const std::wstring* folder);
// The dialog cancelled: by an empty line (why nullptr), or "end of input",
// "interrupted", "terminated".
std::string ChooserCancelled(const char* why);
// "-> \nk.bin": the path a line named, before it is checked.
std::string ChooserTaken(const std::wstring& path);
// The path refused (error: "No such file: " and the like) and the prompt again.
std::string ChooserRefused(const std::string& error, const std::wstring& path);
// A line too long to take, and the prompt again.
std::string ChooserTooLong();

// ---- Dialogs ------------------------------------------------------------

// A dialog shown: "Dialog: <caption>", its buttons, how it is answered, and
// its texts and bars that are filled already. *reads: whether the dialog
// reads lines (it has a button other than id 2). unit: the bars' unit ("KB",
// or "" for none).
// typed: for a person at a terminal without cursor control (see TypedCommandOf):
// each button listed with its place, and each text and bar written once.
std::string DialogShown(const UiDialogView& view, const std::string& unit, bool* reads, bool typed = false);
// What changed from written to now: a new caption, then each text and bar
// that differs, twice (the short line scripts match, then the same naming
// its control: "[1003 bar]: 128/2048 KB  6 %"). onlyFilled: instead of
// what differs, every text that is not empty and every bar not at 0.
// once: only the line naming its control, for a person reading along.
std::string Changes(const UiDialogView& written, const UiDialogView& now, bool onlyFilled,
                    const std::string& unit, bool once = false);
// The command a line names (already trimmed): an empty line is 2, a number
// of up to five digits (1..65535) is itself, else a button's text in any
// letter case. 0 when it names none; *complaint then holds its echo and why.
int CommandOf(const UiDialogView& view, const std::string& line, std::string* complaint);
// As CommandOf, for a person typing at a terminal without cursor control: a
// number from 1 up to the count of buttons (at most 9) presses the button in
// that place, as the keys of the full terminal do, and an empty line presses
// the first button (the one Enter presses there). A dialog without buttons
// closes on an empty line.
int TypedCommandOf(const UiDialogView& view, const std::string& line, std::string* complaint);
// "-> [1004] BSP Version": the command taken, with its button's text
// ("close" for command 2 when no button has that id). Without a newline.
std::string Echo(const UiDialogView& view, int id);
// "-> [2] Abort (interrupted)": Ctrl-C taken as the dialog's command 2, as
// its answer is echoed.
std::string InterruptTaken(const UiDialogView& view);
// "Closed: <caption>".
std::string Closed(const std::wstring& caption);

}  // namespace lineproto
