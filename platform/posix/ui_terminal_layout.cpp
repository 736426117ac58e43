// Text layout of the terminal presenter (see ui_terminal_layout.h).
#include "platform/posix/ui_terminal_layout.h"

#include <algorithm>
#include <cstdlib>
#include <map>

#include "platform/common/ui_shared.h"
#include "platform/common/utf16.h"

namespace term {

namespace {

// The columns a character takes on a terminal: 2 for wide characters (CJK,
// Hangul, full-width forms, emoji), 0 for combining marks and zero-width
// ones, else 1. Our own table: the program's locale must not matter.
int CharColumns(uint32_t c)
{
    if ((c >= 0x0300 && c <= 0x036F) || (c >= 0x1AB0 && c <= 0x1AFF) || (c >= 0x1DC0 && c <= 0x1DFF) ||
        (c >= 0x200B && c <= 0x200F) || (c >= 0x20D0 && c <= 0x20FF) || (c >= 0xFE00 && c <= 0xFE0F) ||
        (c >= 0xFE20 && c <= 0xFE2F))
        return 0;
    if ((c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0x303E) || (c >= 0x3041 && c <= 0x33FF) ||
        (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xA000 && c <= 0xA4CF) ||
        (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) ||
        (c >= 0xFF00 && c <= 0xFF60) || (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F) ||
        (c >= 0x1F900 && c <= 0x1F9FF) || (c >= 0x20000 && c <= 0x3FFFD))
        return 2;
    return 1;
}

// The character of UTF-8 text that begins at byte i: its length in bytes
// (a lead byte and the continuation bytes that follow it) and its columns.
size_t NextChar(const std::string& text, size_t i, int* columns)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text.data()) + i;
    uint32_t c = p[0];
    size_t n = 1;
    if (!utf16::DecodeUtf8(p, text.size() - i, &c, &n))
        c = p[0], n = 1;   // a byte that is not UTF-8 takes one column
    *columns = CharColumns(c);
    return n;
}

// The text of the dialog's close button (id 2), or "" when it has none.
std::string CloseText(const UiDialogView& view)
{
    for (const UiControlView& c : view.controls)
        if (c.kind == UiControlKind::Button && c.id == OS_IDCANCEL)
            return UiUtf8(c.text);
    return "";
}

// What the keys do in this dialog (buttons: the ids of its buttons).
std::string Hint(const UiDialogView& view, const std::vector<int>& buttons)
{
    if (buttons.empty())
        return "Esc or Ctrl-C: close";
    std::string cancelText = CloseText(view);
    // Enter presses that one button too: said, since it is the key
    // typed by habit while an update runs (there it is Abort).
    if (std::all_of(buttons.begin(), buttons.end(), [](int id) { return id == OS_IDCANCEL; }))
        return "Esc or Ctrl-C: " + cancelText + " (Enter too)";
    std::string numbers = buttons.size() == 1 ? "1" : "1-" + std::to_string(std::min<size_t>(buttons.size(), 9));
    return numbers + ": press; arrows + Enter: choose, press; Esc or Ctrl-C: " +
           (cancelText.empty() ? "close" : cancelText);
}

// The last line of a dialog whose close command (Abort) was given while its
// work goes on: the step in progress finishes first.
std::string PendingHint(const UiDialogView& view)
{
    std::string name = CloseText(view);
    return (name.empty() ? "Close" : name) + " pending: an erase in progress finishes first";
}

}  // namespace

size_t Columns(const std::string& text)
{
    size_t n = 0;
    for (size_t i = 0; i < text.size();) {
        int w;
        i += NextChar(text, i, &w);
        n += static_cast<size_t>(w);
    }
    return n;
}

std::string TakeColumns(std::string* text, size_t width)
{
    size_t i = 0, n = 0;
    while (i < text->size()) {
        int w;
        size_t len = NextChar(*text, i, &w);
        if (n + static_cast<size_t>(w) > width)
            break;
        n += static_cast<size_t>(w);
        i += len;
    }
    std::string head = text->substr(0, i);
    text->erase(0, i);
    return head;
}

std::vector<std::string> Wrap(const std::string& text, size_t width, const std::string& indent)
{
    std::vector<std::string> out;
    std::string rest = text;
    size_t room = width > indent.size() + 4 ? width - indent.size() : 4;
    do {
        if (Columns(rest) <= room) {
            out.push_back(indent + rest);
            break;
        }
        std::string probe = rest;
        std::string head = TakeColumns(&probe, room);
        size_t blank = head.rfind(' ');
        // The word the cut falls in: a number in it ("00010000(65536)") is
        // never broken across lines, so the line breaks before the word,
        // however early, unless the word alone is wider than a line.
        bool inWord = !probe.empty() && probe[0] != ' ' && head.back() != ' ';
        size_t wordEnd = probe.find(' ');
        std::string word = (blank == std::string::npos ? head : head.substr(blank + 1)) +
                           probe.substr(0, wordEnd);
        bool number = inWord && word.find_first_of("0123456789") != std::string::npos;
        if (blank != std::string::npos && blank > 0 && (blank > room / 2 || number)) {
            out.push_back(indent + rest.substr(0, blank));
            rest.erase(0, blank + 1);
        } else {
            out.push_back(indent + head);
            rest = probe;
        }
    } while (!rest.empty());
    return out;
}

std::string Bar(int32_t low, int32_t high, int32_t pos, int width, bool set)
{
    int filled = 0;
    if (set && high > low)
        filled = std::clamp(static_cast<int>(static_cast<int64_t>(pos - low) * width / (high - low)), 0, width);
    return "[" + std::string(static_cast<size_t>(filled), '#') +
           std::string(static_cast<size_t>(width - filled), '.') + "]";
}

bool Blank(const UiDialogView& view)
{
    for (const UiControlView& c : view.controls)
        if ((c.kind == UiControlKind::Static && !c.text.empty()) ||
            (c.kind == UiControlKind::Progress && c.rangeSet) ||
            (c.kind == UiControlKind::Button && c.id != OS_IDCANCEL))
            return false;
    return true;
}

std::pair<std::string, std::vector<std::string>> RenderDialog(const UiDialogView& view, size_t width,
                                                              const std::vector<int>& buttons,
                                                              size_t selected, const std::string& unit,
                                                              bool closeAsked)
{
    std::vector<std::string> lines;
    lines.push_back("\x1b[1m" + Clip("== " + UiUtf8(view.caption) + " ==", width) + "\x1b[0m");
    std::vector<UiControlView> shown;   // texts and bars, top to bottom
    for (const UiControlView& c : view.controls)
        if (c.kind != UiControlKind::Button)
            shown.push_back(c);
    std::stable_sort(shown.begin(), shown.end(), [](const UiControlView& a, const UiControlView& b) {
        return a.y != b.y ? a.y < b.y : a.x < b.x;
    });
    const std::string unitText = unit.empty() ? "" : " " + unit;
    // Every bar of the dialog as wide as the one with the widest numbers,
    // so that they line up and do not jump as they fill.
    size_t widestAll = 0;
    for (const UiControlView& c : shown)
        if (c.kind == UiControlKind::Progress && c.rangeSet)
            widestAll = std::max(widestAll, (std::to_string(c.rangeHigh) + "/" + std::to_string(c.rangeHigh) +
                                             unitText + "  100 %").size());
    for (const UiControlView& c : shown) {
        if (c.kind == UiControlKind::Static) {
            for (const std::string& l : Wrap(UiUtf8(c.text), width, "  "))
                lines.push_back(l);
        } else if (c.kind == UiControlKind::Progress) {
            // "[#####.....] 768/2048 KB  37 %"
            const std::string fraction = std::to_string(c.pos) + "/" + std::to_string(c.rangeHigh) + unitText;
            const std::string percent = std::to_string(UiPercent(c)) + " %";
            std::string numbers = c.rangeSet ? fraction + "  " + percent : "";
            int room = static_cast<int>(width) - 4;
            int widest = static_cast<int>(widestAll);
            bool below = widest > 0 && room - 1 - widest < 10;
            int barWidth = below || widest == 0 ? room : room - 1 - widest;
            barWidth = std::max(barWidth, 1);
            std::string bar = "  " + Bar(c.rangeLow, c.rangeHigh, c.pos, barWidth, c.rangeSet);
            if (below) {
                lines.push_back(bar);
                // On a line of their own, with single blanks, so that they
                // fit down to 20 columns.
                if (!numbers.empty())
                    lines.push_back(Clip(" " + fraction + " " + percent, width));
            } else {
                lines.push_back(numbers.empty() ? bar : bar + " " + numbers);
            }
        }
    }
    // Buttons in rows as the template places them, numbered in template
    // order; a row too wide for the terminal goes on over more lines.
    std::map<short, std::map<short, std::pair<std::string, bool>>> rows;
    size_t index = 0;
    for (const UiControlView& c : view.controls) {
        if (c.kind != UiControlKind::Button)
            continue;
        std::string label = Clip("[" + std::to_string(index + 1) + " " + UiUtf8(c.text), width - 3) + "]";
        rows[c.y][c.x] = {label, index == selected};
        ++index;
    }
    for (auto& [y, row] : rows) {
        std::string line = " ";
        size_t used = 1;
        for (auto& [x, button] : row) {
            size_t w = Columns(button.first) + 1;
            if (used > 1 && used + w > width) {
                lines.push_back(line);
                line = " ";
                used = 1;
            }
            line += button.second ? " \x1b[7m" + button.first + "\x1b[0m" : " " + button.first;
            used += w;
        }
        lines.push_back(line);
    }
    std::string content;
    for (const std::string& l : lines)
        content += l + "\n";
    if (!view.ended)
        for (const std::string& l : Wrap(closeAsked ? PendingHint(view) : Hint(view, buttons), width, "  "))
            lines.push_back(l);
    return {content, lines};
}

size_t MoveSelection(const UiDialogView& view, size_t from, int key)
{
    struct Box {
        size_t index;
        int left, top, right, bottom;
        int midX() const { return (left + right) / 2; }
        int midY() const { return (top + bottom) / 2; }
    };
    std::vector<Box> boxes;
    for (const UiControlView& c : view.controls)
        if (c.kind == UiControlKind::Button)
            boxes.push_back({boxes.size(), c.x, c.y, c.x + std::max<int>(c.cx, 1),
                             c.y + std::max<int>(c.cy, 1)});
    if (from >= boxes.size())
        return 0;
    const Box cur = boxes[from];
    auto sameRow = [&](const Box& b) { return b.top < cur.bottom && cur.top < b.bottom; };
    const Box* best = nullptr;
    long long bestScore = 0;
    auto better = [&](const Box& b, long long score) {
        if (!best || score < bestScore || (score == bestScore && b.left < best->left)) {
            best = &b;
            bestScore = score;
        }
    };
    for (const Box& b : boxes) {
        if (b.index == from)
            continue;
        if ((key == kLeft || key == kRight) && sameRow(b)) {
            int d = key == kRight ? b.midX() - cur.midX() : cur.midX() - b.midX();
            if (d > 0)
                better(b, d);
        } else if ((key == kUp || key == kDown) && !sameRow(b)) {
            int dy = key == kDown ? b.midY() - cur.midY() : cur.midY() - b.midY();
            if (dy > 0)
                better(b, static_cast<long long>(dy) * 100000 + std::abs(b.midX() - cur.midX()));
        }
    }
    if (best)
        return best->index;
    std::vector<Box> reading = boxes;
    std::stable_sort(reading.begin(), reading.end(), [](const Box& a, const Box& b) {
        return a.midY() != b.midY() ? a.midY() < b.midY() : a.left < b.left;
    });
    size_t at = 0;
    for (size_t i = 0; i < reading.size(); ++i)
        if (reading[i].index == from)
            at = i;
    bool forward = key == kRight || key == kDown;
    at = forward ? (at + 1) % reading.size() : (at + reading.size() - 1) % reading.size();
    return reading[at].index;
}

}  // namespace term
