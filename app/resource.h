// Identifiers of the dialog resources and their controls.
#ifndef OSTREL_RESOURCE_H
#define OSTREL_RESOURCE_H

#include "ostrel_core.h"  // the controls the worker writes to

namespace ostrel {

constexpr int IDD_ABOUTBOX = 100;       // the About box's template
constexpr int IDS_ABOUTBOX = 101;       // the About entry of the system menu
constexpr int IDD_OSTREL_DIALOG = 102;  // the main dialog's template
constexpr int IDR_MAINFRAME = 128;      // the application icon

constexpr int IDC_STATIC = -1;  // a control nobody addresses
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDM_ABOUTBOX = 0x0010;  // the system command that opens the About box

constexpr int IDC_PREVIEW_FRAME = 1001;    // parent of the capture window
constexpr int IDC_LIBRARY_VERSION = 1004;  // the About box's decoder version
constexpr int IDC_SETTINGS = 1006;         // the video-format settings button

}  // namespace ostrel

#endif  // OSTREL_RESOURCE_H
