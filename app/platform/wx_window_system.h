// The window system's side of the platform layer on wxWidgets: control
// texts, message boxes and the beep (all traced), the surface a
// capture window paints its preview on, and the video-format dialog.
// Everything here runs on the dialog's thread, except the preview surface.
#ifndef OSTREL_PLATFORM_WX_WINDOW_SYSTEM_H
#define OSTREL_PLATFORM_WX_WINDOW_SYSTEM_H

#include <wx/window.h>

#include <optional>
#include <string_view>
#include <vector>

#include "platform/camera.h"

namespace ostrel {

// "MS UI Gothic" does not exist on Linux: IPAGothic (fonts-ipafont-gothic)
// is the Japanese Gothic face in its place.
constexpr const char* DIALOG_FONT_FACE = "IPAGothic";

// Sets the text of `control` from narrow bytes: UTF-8 when they are valid
// UTF-8, else code page 932.
void set_window_text(wxWindow* control, std::string_view text);
// A message box with an OK button only, owned by `owner`.
void message_box(wxWindow* owner, const char* text, const char* caption);
void message_beep();

// Gives the capture service its preview surface and format dialog.
void install_window_system();

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_WX_WINDOW_SYSTEM_H
