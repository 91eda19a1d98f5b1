// The dialog resources.
#include "dialog_templates.h"

#include <wx/button.h>
#include <wx/image.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <stdexcept>

#include "platform/wx_window_system.h"
#include "resource.h"
#include "resources/ostrel_icon.xpm"

namespace ostrel {

namespace {

// "MS UI Gothic" 9 pt does not exist on Linux; IPAGothic (fonts-ipafont-gothic)
// is the Japanese Gothic face put in its place.
constexpr const char* MAIN_FONT = "MS UI Gothic";

const DialogTemplate about_box = {
    IDD_ABOUTBOX,
    "バージョン情報 Ostrel",
    235,
    78,
    MAIN_FONT,
    9,
    false,
    {
        {IDC_STATIC, ControlKind::icon, "", 11, 17, 20, 20},
        {IDC_STATIC, ControlKind::static_text_noprefix, "Ostrel Version 1.2.0", 40, 10, 119, 8},
        {IDC_LIBRARY_VERSION, ControlKind::static_text, "libvorden　Version.", 38, 21, 126, 8},
        {IDOK, ControlKind::default_push_button, "OK", 178, 7, 50, 16},
    },
};

const DialogTemplate main_dialog = {
    IDD_OSTREL_DIALOG,
    "Ostrel",
    215,
    182,
    MAIN_FONT,
    9,
    true,
    {
        {IDC_PREVIEW_FRAME, ControlKind::black_frame, "", 7, 7, 141, 109},
        {IDC_RESULT_BOX, ControlKind::result_edit, "", 7, 126, 201, 49},
        {IDC_STATUS_INDICATOR, ControlKind::static_text, "×", 157, 87, 10, 10},
        {IDC_SETTINGS, ControlKind::push_button, "設定", 158, 7, 50, 14},
        {IDM_ABOUTBOX, ControlKind::default_push_button, "About", 158, 32, 50, 16},
        {IDCANCEL, ControlKind::push_button, "終了", 158, 56, 50, 16},
    },
};

wxString utf8(const char* text) {
    return wxString::FromUTF8(text);
}

}  // namespace

const DialogTemplate& dialog_template(int id) {
    if (id == IDD_ABOUTBOX) return about_box;
    if (id == IDD_OSTREL_DIALOG) return main_dialog;
    throw std::invalid_argument("no such dialog template");
}

const char* load_string(int id) {
    return id == IDS_ABOUTBOX ? "バージョン情報 Ostrel(&A)..." : "";
}

wxIcon load_icon(int id, bool small) {
    if (id != IDR_MAINFRAME) return wxNullIcon;
    wxImage image(ostrel_icon_xpm);
    if (small) image = image.Scale(16, 16, wxIMAGE_QUALITY_HIGH);
    wxIcon icon;
    icon.CopyFromBitmap(wxBitmap(image));
    return icon;
}

void create_from_template(wxDialog* dialog, wxWindow* parent, const DialogTemplate& resource) {
    long style = wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX;
    if (resource.app_window) style |= wxDIALOG_NO_PARENT;
    dialog->Create(parent, wxID_ANY, utf8(resource.title), wxDefaultPosition, wxDefaultSize, style);
    // Dialog units are measured in the dialog's font, so it comes first.
    dialog->SetFont(wxFont(wxFontInfo(resource.point_size).FaceName(DIALOG_FONT_FACE)));
    dialog->SetClientSize(dialog->ConvertDialogToPixels(wxSize(resource.cx, resource.cy)));

    for (const ControlTemplate& control : resource.controls) {
        const wxPoint position = dialog->ConvertDialogToPixels(wxPoint(control.x, control.y));
        const wxSize size = dialog->ConvertDialogToPixels(wxSize(control.cx, control.cy));
        const int id = control.id == IDC_STATIC ? wxID_ANY : control.id;
        const wxString text = utf8(control.text);
        switch (control.kind) {
            case ControlKind::black_frame: {
                auto* frame = new wxWindow(dialog, id, position, size, wxBORDER_NONE);
                frame->SetBackgroundColour(*wxBLACK);
                break;
            }
            case ControlKind::result_edit:
                new wxTextCtrl(
                    dialog, id, text, position, size,
                    wxTE_MULTILINE | wxTE_READONLY | wxHSCROLL | wxVSCROLL | wxTE_DONTWRAP | wxBORDER_SUNKEN);
                break;
            case ControlKind::static_text:
            case ControlKind::static_text_noprefix: {
                auto* label = new wxStaticText(dialog, id, wxEmptyString, position, size, wxST_NO_AUTORESIZE);
                label->SetLabelText(text);
                break;
            }
            case ControlKind::icon:
                new wxStaticBitmap(dialog, id, wxBitmap(load_icon(IDR_MAINFRAME)), position, wxDefaultSize);
                break;
            case ControlKind::push_button:
            case ControlKind::default_push_button: {
                auto* button = new wxButton(dialog, id, text, position, size);
                if (control.kind == ControlKind::default_push_button) button->SetDefault();
                break;
            }
        }
    }
}

}  // namespace ostrel
