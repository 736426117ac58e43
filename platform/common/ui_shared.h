// What the user interfaces of both backends share: message box buttons and
// answers, UTF-8 of wide text (pure, ui_text.cpp), the program's command line
// and a module's resources (ui_shared.cpp).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/host/entry.h"
#include "platform/ui.h"

// The buttons of a message box style, in order.
std::vector<int> UiBoxButtons(uint32_t style);
// The default button (the second with OS_MB_DEFBUTTON2, else the first).
int UiBoxDefault(uint32_t style);
// The answer when the box is closed without a choice (Cancel where the box
// has one, No for Yes/No, else its only button).
int UiBoxCloseAnswer(uint32_t style);
// What a box answers for a raw result: the result when it is one of the
// box's buttons, else its close answer.
int UiBoxAnswer(uint32_t style, int raw);
// A button's name: "OK", "Cancel", "Yes", "No"... ("?" for none).
const char* UiButtonName(int answer);

// UTF-8 of a wide text and back (bytes that are no UTF-8 are kept as their
// own code points).
std::string UiUtf8(const std::wstring& text);
std::wstring UiWideFromUtf8(const std::string& text);

// The command line a program's entry gets: the arguments (UTF-8) after the
// program's name, one blank between each two, terminated.
std::vector<wchar_t> UiCommandLine(int argc, char** argv);
