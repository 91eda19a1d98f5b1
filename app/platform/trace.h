// The event trace for tests and support: when OSTREL_TRACE names a file,
// one line is appended to it for each control text set, message box opened
// and beep sounded. Without the variable nothing is written.
#ifndef OSTREL_PLATFORM_TRACE_H
#define OSTREL_PLATFORM_TRACE_H

#include <string>
#include <string_view>

namespace ostrel {

// "settext ID HEX"
void trace_settext(int control_id, std::string_view text);
// "messagebox HEX_CAPTION HEX_TEXT"
void trace_messagebox(std::string_view caption, std::string_view text);
// "beep"
void trace_beep();

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_TRACE_H
