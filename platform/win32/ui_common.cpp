// What the Win32 user interface builds on: the in-memory dialog template
// (a module's resources and message box buttons are shared with the Linux
// build, in platform/common/ui_shared.cpp).
#include <cwchar>

#include "platform/win32/window.h"

namespace {

// Appends 16-bit words to a DWORD buffer; pads to DWORD boundaries.
class TemplateWriter {
public:
    explicit TemplateWriter(std::vector<DWORD>* out) : out_(out) { out_->clear(); }
    void Word(uint16_t w)
    {
        if (half_)
            out_->back() |= static_cast<DWORD>(w) << 16;
        else
            out_->push_back(w);
        half_ = !half_;
    }
    void Dword(uint32_t d)
    {
        Word(static_cast<uint16_t>(d & 0xFFFF));
        Word(static_cast<uint16_t>(d >> 16));
    }
    void Text(const wchar_t* s)
    {
        for (; s && *s; ++s)
            Word(static_cast<uint16_t>(*s));
        Word(0);
    }
    void Align() { half_ = false; }

private:
    std::vector<DWORD>* out_;
    bool half_ = false;
};

// The predefined ordinal of a window class, or 0 for one named in full.
uint16_t ClassOrdinal(const wchar_t* className)
{
    static const struct {
        const wchar_t* name;
        uint16_t ordinal;
    } kClasses[] = {{L"BUTTON", 0x80}, {L"EDIT", 0x81},      {L"STATIC", 0x82},
                    {L"LISTBOX", 0x83}, {L"SCROLLBAR", 0x84}, {L"COMBOBOX", 0x85}};
    for (const auto& c : kClasses)
        if (_wcsicmp(className, c.name) == 0)
            return c.ordinal;
    return 0;
}

}  // namespace

// ---- The dialog template in memory --------------------------------------

bool UiBuildDialogTemplate(const OsDialogTemplate* tmpl, std::vector<DWORD>* out)
{
    for (int i = 0; i < tmpl->itemCount; ++i) {
        const OsDialogItem& item = tmpl->items[i];
        if (!item.className || !item.className[0] || item.id < 0 || item.id > 0xFFFF)
            return false;
    }
    TemplateWriter w(out);
    // DLGTEMPLATE: style, extended style, item count, x, y, cx, cy.
    w.Dword(tmpl->style);
    w.Dword(0);
    w.Word(static_cast<uint16_t>(tmpl->itemCount));
    w.Word(static_cast<uint16_t>(tmpl->x));
    w.Word(static_cast<uint16_t>(tmpl->y));
    w.Word(static_cast<uint16_t>(tmpl->cx));
    w.Word(static_cast<uint16_t>(tmpl->cy));
    w.Word(0);   // no menu
    w.Word(0);   // the dialog manager's own class
    w.Text(tmpl->caption);
    if (tmpl->style & DS_SETFONT) {
        w.Word(static_cast<uint16_t>(tmpl->fontPoints));
        w.Text(tmpl->fontName);
    }
    for (int i = 0; i < tmpl->itemCount; ++i) {
        const OsDialogItem& item = tmpl->items[i];
        w.Align();
        // DLGITEMTEMPLATE: style, extended style, x, y, cx, cy, id.
        w.Dword(item.style);
        w.Dword(0);
        w.Word(static_cast<uint16_t>(item.x));
        w.Word(static_cast<uint16_t>(item.y));
        w.Word(static_cast<uint16_t>(item.cx));
        w.Word(static_cast<uint16_t>(item.cy));
        w.Word(static_cast<uint16_t>(item.id));
        if (uint16_t ordinal = ClassOrdinal(item.className)) {
            w.Word(0xFFFF);
            w.Word(ordinal);
        } else {
            w.Text(item.className);
        }
        w.Text(item.text);
        w.Word(0);   // no creation data
    }
    return true;
}
