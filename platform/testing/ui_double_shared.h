// Between the two halves of the test double of the user interface: the
// scripts and records, what the double reads of a dialog, and installing it
// are the same for both backends (ui_double.cpp); the backend's half
// (posix/ or win32/ ui_double.cpp) hooks them into its dialog manager
// (uidouble::backend below) and defines NewDialog.
#pragma once
#include <deque>
#include <mutex>
#include <string>

#include "platform/testing/ui_double.h"

namespace uidouble::shared {

// Guards the scripts and records.
std::mutex& Lock();
// The commands PressNext queued, in order. Requires Lock.
std::deque<int>& PressesLocked();

// What the double does for the dialog manager's calls, on their threads,
// without Lock held: a message box (runs OnNextBox's callback first, then
// answers from the script), the open-file dialog, and a control's new text
// (recorded, then to OnControlText's callback).
int AnswerBox(Window owner, const std::wstring& text, const std::wstring& caption, uint32_t style);
int AnswerOpenFile(OsOpenFileName* record);
void TextSet(Window control, int id, const std::wstring& text);
// Records a modal dialog's creation (caption: Caption(dialog), read before
// Lock is taken). Requires Lock.
void DialogCreatedLocked(Window dialog, Window owner, const std::wstring& caption);

// The double's answers to a backend's dialog manager, whose interface
// (Interface: the POSIX presenter, the Win32 observer) names them alike; the
// backend's half adds how the double presses a dialog's buttons.
template <class Interface>
class Answers : public Interface {
public:
    int AnswerBox(Window owner, const std::wstring& text, const std::wstring& caption,
                  uint32_t style) override
    {
        return shared::AnswerBox(owner, text, caption, style);
    }

    int OpenFile(OsOpenFileName* record) override { return AnswerOpenFile(record); }

    void TextSet(Window control, int id, const std::wstring& text) override
    {
        shared::TextSet(control, id, text);
    }

    void DialogCreated(Window dialog, Window owner) override
    {
        std::wstring caption = Caption(dialog);
        std::lock_guard<std::mutex> hold(Lock());
        DialogCreatedLocked(dialog, owner, caption);
        OpenedLocked(dialog);
    }

protected:
    // A modal dialog opened (after it was recorded). Requires Lock.
    virtual void OpenedLocked(Window /*dialog*/) {}
};

}  // namespace uidouble::shared

// The backend's half.
namespace uidouble::backend {

// Clears the backend's own records (Install). Requires shared::Lock.
void ResetLocked();
// Routes the dialog manager's calls through the double (Install), and back
// (Uninstall).
void Attach();
void Detach();
// A press was queued (PressNext): on its way as soon as the innermost
// dialog waits for one. Requires shared::Lock.
void PressQueuedLocked();

}  // namespace uidouble::backend
