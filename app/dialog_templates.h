// The dialog resources kept as data: templates with their controls in
// dialog units, the string table and the icon. Built into wxWidgets dialogs
// by create_from_template.
#ifndef OSTREL_DIALOG_TEMPLATES_H
#define OSTREL_DIALOG_TEMPLATES_H

#include <wx/dialog.h>
#include <wx/icon.h>

#include <vector>

namespace ostrel {

enum class ControlKind {
    black_frame,           // static, black rectangle
    result_edit,           // multi-line, read-only edit with both scroll bars
    static_text,           // static text
    static_text_noprefix,  // static text, "&" not a mnemonic
    icon,                  // static icon showing icon resource 128
    push_button,
    default_push_button,
};

struct ControlTemplate {
    int id;
    ControlKind kind;
    const char* text;  // UTF-8
    int x, y, cx, cy;  // dialog units
};

struct DialogTemplate {
    int id;
    const char* title;  // UTF-8
    int cx, cy;         // client area, dialog units
    const char* font_face;
    int point_size;
    bool app_window;  // an entry of its own in the taskbar
    std::vector<ControlTemplate> controls;
};

const DialogTemplate& dialog_template(int id);
// The string resource, UTF-8; empty for an unknown id.
const char* load_string(int id);
// Icon resource 128 at 32 x 32 (big) or 16 x 16 pixels (small).
wxIcon load_icon(int id, bool small = false);

// Creates `dialog` from the template as a child of `parent` (null for an
// application window): the font first, then the size and every control
// converted from dialog units with that font.
void create_from_template(wxDialog* dialog, wxWindow* parent, const DialogTemplate& resource);

}  // namespace ostrel

#endif  // OSTREL_DIALOG_TEMPLATES_H
