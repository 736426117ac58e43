// Text layout of the terminal presenter: how wide UTF-8 text is on a
// terminal, wrapping and clipping it, a progress bar as characters, a
// dialog's lines at a given width, and the button an arrow key leads to.
// Pure functions: no terminal is touched.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/common/ui_view.h"

namespace term {

// Keys as the terminal presenter reads them: a character, or one of these.
// kIgnored: a key that means nothing here (a function key, Home...).
enum Key { kNone = 0, kEnter = -1, kEscape = -2, kLeft = -3, kRight = -4, kUp = -5, kDown = -6,
           kEnd = -7, kIgnored = -8 };

// Columns that UTF-8 text takes on a terminal.
size_t Columns(const std::string& text);
// As much of the beginning of UTF-8 text as fits in `width` columns (never
// half a character), and the rest.
std::string TakeColumns(std::string* text, size_t width);
// The beginning of text that fits in `width` columns.
inline std::string Clip(std::string text, size_t width) { return TakeColumns(&text, width); }
// Plain text wrapped into lines of at most width characters, at blanks
// where it can; the continuation lines indented like the first.
std::vector<std::string> Wrap(const std::string& text, size_t width, const std::string& indent);
// A bar "[####......]" of width characters between the brackets (empty when
// its range was never set).
std::string Bar(int32_t low, int32_t high, int32_t pos, int width, bool set);

// No text, no bar with a range, no button but id 2.
bool Blank(const UiDialogView& view);
// The dialog's lines as they fit `width` columns: the content (caption,
// texts, bars, buttons) and the line that says what the keys do; .first is
// the content joined, .second every line with its attributes. buttons: the
// ids of its buttons in template order, selected: the one chosen; unit:
// the bars' unit. closeAsked: its close command (Abort) was given and the
// dialog still runs: the last line says that it ends once the step in
// progress (an erase) has finished, in place of what the keys do.
std::pair<std::string, std::vector<std::string>> RenderDialog(const UiDialogView& view, size_t width,
                                                              const std::vector<int>& buttons,
                                                              size_t selected, const std::string& unit,
                                                              bool closeAsked = false);
// The button an arrow key leads to from button `from` (both counted in
// template order), by the template's layout: Left/Right to the nearest
// button of the same row on that side, Up/Down to the nearest row above
// or below and in it to the button nearest across (the left one of
// two as near). Where there is none on that side, the previous or next
// button in reading order (rows top to bottom, left to right), round.
size_t MoveSelection(const UiDialogView& view, size_t from, int key);

}  // namespace term
