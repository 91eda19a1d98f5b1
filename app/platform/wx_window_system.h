// The window system's side of the platform layer on wxWidgets: control
// texts, message boxes and the beep (all traced, see trace.h), the surface
// a capture window paints its preview on, and the drivers' video-format
// dialog. Everything here runs on the dialog's thread, except
// PreviewSurface::present.
#ifndef OSTREL_PLATFORM_WX_WINDOW_SYSTEM_H
#define OSTREL_PLATFORM_WX_WINDOW_SYSTEM_H

#include <wx/window.h>

#include <optional>
#include <string_view>
#include <vector>

#include "platform/capture_service.h"
#include "platform/win_types.h"

namespace ostrel {

// Sets the text of `control` (its id is the control id) from narrow bytes:
// UTF-8 when they are valid UTF-8, else code page 932.
void set_window_text(wxWindow* control, std::string_view text);
// A message box with an OK button only, owned by `owner`; returns IDOK.
int message_box(wxWindow* owner, const char* text, const char* caption);
void message_beep();

// Installs the preview surface and the format dialog into the capture
// service.
void install_window_system_hooks();

// The format dialog as a function of its own, for the capture service.
std::optional<FormatChoice> show_format_dialog(wxWindow* parent, const std::vector<FormatOption>& options,
                                               const FormatChoice& current);

// The format dialog's window name, by which it can be found.
constexpr const char* FORMAT_DIALOG_NAME = "ostrel-video-format";

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_WX_WINDOW_SYSTEM_H
