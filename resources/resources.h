// flashupdate's resources: the two dialog templates and the program icon.
#pragma once
#include "platform/ui.h"

// Dialog templates.
constexpr uint32_t IDD_MAIN = 101;
constexpr uint32_t IDD_PROGRESS = 102;

// Icon group of the program.
constexpr uint32_t IDI_APP = 102;

// The cancel command that the dialog manager sends when the user closes a
// dialog (caption, Escape, Ctrl-C, end of input); no control of IDD_MAIN has it.
constexpr int IDCANCEL_COMMAND = 2;

// Controls of the main dialog (IDD_MAIN).
constexpr int IDC_CLEAR_REGISTRY = 1000;
constexpr int IDC_SAVE_REGISTRY = 1001;
constexpr int IDC_UPDATE_IMAGE = 1002;
constexpr int IDC_COLDBOOT = 1003;
constexpr int IDC_BSP_VERSION = 1004;
constexpr int IDC_WARMBOOT = 1005;

// Controls of the progress dialog (IDD_PROGRESS).
constexpr int IDC_ABORT = 2;
constexpr int IDC_STEP_BAR = 1002;     // the erase, then the current record
constexpr int IDC_IMAGE_BAR = 1003;    // the whole image
constexpr int IDC_STEP_TEXT = 1004;    // above the step bar
constexpr int IDC_IMAGE_TEXT = 1005;   // above the image bar

// Resource type of one image of an icon group.
constexpr uint32_t OS_RT_ICON = 3;

// Styles of the templates.
constexpr uint32_t DIALOG_STYLE = 0x80C800C0;    // pop-up, caption, close box, modal frame, set font
constexpr uint32_t PUSH_BUTTON_STYLE = 0x50010000;  // visible child, tab stop
constexpr uint32_t PROGRESS_STYLE = 0x50800000;  // visible child with border
constexpr uint32_t TEXT_STYLE = 0x50020000;      // visible child, starts a group, left-aligned

extern const OsDialogTemplate MainDialogTemplate;
extern const OsDialogTemplate ProgressDialogTemplate;

// Icon group IDI_APP as stored in the resources (group directory) and its
// two images (ids 1: 32 x 32, 2: 16 x 16; 16 colours).
extern const unsigned char AppIconGroup[];
extern const size_t AppIconGroupSize;
extern const unsigned char AppIcon32[];
extern const size_t AppIcon32Size;
extern const unsigned char AppIcon16[];
extern const size_t AppIcon16Size;

extern const OsResourceTable AppResources;
