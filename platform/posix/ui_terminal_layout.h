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
// texts, bars, buttons), then what the keys do, or with closeAsked (its
// Abort was given while it still runs) that it ends after the erase in
// progress. .first: the content joined; .second: every line. buttons: their
// ids in template order, selected: the one chosen; unit: the bars' unit.
std::pair<std::string, std::vector<std::string>> RenderDialog(const UiDialogView& view, size_t width,
                                                              const std::vector<int>& buttons,
                                                              size_t selected, const std::string& unit,
                                                              bool closeAsked = false);
// The button an arrow key leads to from button `from` (both counted in
// template order): Left/Right to the nearest in the same row, Up/Down to the
// nearest row and in it the nearest across (the left one of two as near);
// with none on that side, the previous or next in reading order, round.
size_t MoveSelection(const UiDialogView& view, size_t from, int key);

}  // namespace term
