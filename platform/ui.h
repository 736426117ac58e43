// User-interface role: message boxes, modal dialogs from templates, the
// open-file dialog, resources. Every call that touches a dialog may come
// from any thread. In a terminal the dialogs are drawn and answered by keys;
// without one they speak the unattended line protocol on standard
// error/input; tests install the test double (tests/support/ui_double.h).
#pragma once
#include "platform/types.h"

// Message box styles and answers.
constexpr uint32_t OS_MB_OK = 0x0;
constexpr uint32_t OS_MB_OKCANCEL = 0x1;
constexpr uint32_t OS_MB_YESNO = 0x4;
constexpr uint32_t OS_MB_ICONEXCLAMATION = 0x30;
constexpr uint32_t OS_MB_DEFBUTTON2 = 0x100;
constexpr int OS_IDOK = 1;
constexpr int OS_IDCANCEL = 2;
constexpr int OS_IDYES = 6;
constexpr int OS_IDNO = 7;

// Messages.
constexpr uint32_t OS_WM_INITDIALOG = 0x110;
constexpr uint32_t OS_WM_COMMAND = 0x111;
constexpr uint32_t OS_PBM_SETPOS = 0x402;
constexpr uint32_t OS_PBM_SETRANGE32 = 0x406;

// Resource type of a dialog template.
constexpr uint32_t OS_RT_DIALOG = 5;
constexpr uint32_t OS_RT_GROUP_ICON = 14;

typedef intptr_t (*OsDialogProc)(Window dialog, uint32_t message, uintptr_t wParam, intptr_t lParam);

// Shows a message box owned by owner (or none) and blocks until answered.
// style: OS_MB_OK (0), OS_MB_YESNO (4), or 0x131 (OK/Cancel, exclamation,
// Cancel the default). Returns OS_IDOK, OS_IDCANCEL, OS_IDYES or OS_IDNO;
// closing a box without choosing answers Cancel where the box has one, No
// for Yes/No, else its only button. May be called from any thread.
int OsMessageBox(Window owner, const wchar_t* text, const wchar_t* caption, uint32_t style);

// Makes the common controls (progress bars) available. Does not block.
void OsInitCommonControls();

// ---- Templates and resources -------------------------------------------

// A control of a dialog template; units are dialog units.
struct OsDialogItem {
    int id;
    const wchar_t* className;   // "BUTTON", "STATIC", "msctls_progress32"
    const wchar_t* text;
    short x, y, cx, cy;
    uint32_t style;
};

struct OsDialogTemplate {
    const wchar_t* caption;
    uint32_t style;
    short x, y, cx, cy;
    const wchar_t* fontName;
    int fontPoints;
    int itemCount;
    const OsDialogItem* items;
};

// One resource of a module.
struct OsResourceEntry {
    uint32_t id;
    uint32_t type;              // OS_RT_DIALOG, OS_RT_GROUP_ICON...
    const void* data;           // OsDialogTemplate for OS_RT_DIALOG
    size_t size;
};

struct OsResourceTable {
    int count;
    const OsResourceEntry* entries;
};

struct OsResourceObject;
typedef OsResourceObject* Resource;

// Looks up resource (id, type) of a module: nullptr when absent.
Resource OsFindResource(Instance module, uint32_t id, uint32_t type);
// Its data (an OsDialogTemplate* for a dialog), or nullptr.
const void* OsLoadResource(Instance module, Resource res);

// ---- Modal dialogs -----------------------------------------------------

// Runs a modal dialog from a template on the calling thread, owned by
// owner (or none). proc receives OS_WM_INITDIALOG (wParam 0, lParam =
// param) before the dialog is first shown, then OS_WM_COMMAND with the
// control id in the low 16 bits of wParam for each button press; the
// presenter sends id 2 when the user closes the dialog (caption, Escape,
// SIGINT or end of input when unattended). Blocks until OsEndDialog; returns
// its result (-1 on a bad template).
intptr_t OsDialogBoxIndirectParam(Instance module, const OsDialogTemplate* tmpl, Window owner,
                                  OsDialogProc proc, intptr_t param);

// Ends a modal dialog with result; may be called from any thread, also
// from within proc. The modal call returns on its own thread. 1/0.
int OsEndDialog(Window dialog, intptr_t result);

// A control of a dialog by id, or nullptr.
Window OsGetDlgItem(Window dialog, int id);

// Sets a control's text. 1/0.
int OsSetDlgItemText(Window dialog, int id, const wchar_t* text);

// Sends a message to a window: for progress bars OS_PBM_SETRANGE32 (wParam
// low bound, lParam high bound) and OS_PBM_SETPOS (wParam position; returns
// the previous position). Returns the message's result (0 when unhandled).
intptr_t OsSendMessage(Window window, uint32_t message, uintptr_t wParam, intptr_t lParam);

// Sets a window's caption. 1/0.
int OsSetWindowText(Window window, const wchar_t* text);

// ---- The open-file dialog ----------------------------------------------

// The open-file dialog's parameter record, field for field as on the
// device (76 bytes there, where pointers have 32 bits).
struct OsOpenFileName {
    uint32_t structSize;
    Window owner;
    Instance instance;
    const wchar_t* filter;        // pairs of texts, each terminated, ending in an empty text
    wchar_t* customFilter;
    uint32_t maxCustomFilter;
    uint32_t filterIndex;         // counted from 1
    wchar_t* file;                // initial name in, full chosen path out
    uint32_t maxFile;             // characters of file
    wchar_t* fileTitle;
    uint32_t maxFileTitle;
    const wchar_t* initialDir;
    const wchar_t* title;
    uint32_t flags;
    uint16_t fileOffset;
    uint16_t fileExtension;
    const wchar_t* defaultExt;
    intptr_t customData;
    void* hook;
    const wchar_t* templateName;
};
constexpr uint32_t OS_OFN_PATHMUSTEXIST = 0x800;
constexpr uint32_t OS_OFN_FILEMUSTEXIST = 0x1000;

// Runs the open-file dialog, modal to the owner. Nonzero = a file was
// chosen and its full path stored in file; 0 = cancelled or failed (file
// unchanged). With OS_OFN_FILEMUSTEXIST / OS_OFN_PATHMUSTEXIST only an
// existing file in an existing folder is accepted (asked again otherwise).
int OsGetOpenFileName(OsOpenFileName* record);
