// The window system on wxWidgets. When OSTREL_TRACE names a file, one line
// is appended to it for each control text set ("settext ID HEX"), message box
// opened ("messagebox HEX_CAPTION HEX_TEXT") and beep ("beep"), for the tests
// and for support.
#include "platform/wx_window_system.h"

#include <wx/app.h>
#include <wx/dcclient.h>
#include <wx/dialog.h>
#include <wx/generic/msgdlgg.h>
#include <wx/image.h>
#include <wx/listbox.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/utils.h>
#include <wx/weakref.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

#include "json_text.h"
#include "platform/text_codec.h"

namespace ostrel {

namespace {

void trace_line(const std::string& line) {
    static std::mutex trace_mutex;
    const char* path = std::getenv("OSTREL_TRACE");
    if (path == nullptr || path[0] == '\0') return;
    std::lock_guard lock(trace_mutex);
    // Opened for each line, so that a reader sees every line at once and a
    // crash loses nothing.
    if (FILE* file = std::fopen(path, "a")) {
        std::fprintf(file, "%s\n", line.c_str());
        std::fclose(file);
    }
}

wxString to_wx(std::string_view text) {
    return wxString::FromUTF8(window_text_to_utf8(text));
}

// The capture window on screen: the newest picture scaled to fit, its
// aspect kept, on black. The picture arrives on the capture thread.
class PreviewPanel final : public wxWindow {
  public:
    PreviewPanel(wxWindow* parent, const wxPoint& position, const wxSize& size)
        : wxWindow(parent, wxID_ANY, position, size, wxBORDER_NONE) {
        SetBackgroundStyle(wxBG_STYLE_PAINT);
        Bind(wxEVT_PAINT, &PreviewPanel::on_paint, this);
    }
    void show(std::shared_ptr<const PreviewPicture> picture) {
        std::lock_guard lock(mutex_);
        picture_ = std::move(picture);
    }

  private:
    void on_paint(wxPaintEvent&) {
        wxPaintDC dc(this);
        dc.SetBackground(*wxBLACK_BRUSH);
        dc.Clear();
        std::unique_lock lock(mutex_);
        const std::shared_ptr<const PreviewPicture> shown = picture_;
        lock.unlock();
        if (shown == nullptr) return;
        const wxSize area = GetClientSize();
        const double scale =
            std::min(static_cast<double>(area.x) / shown->width, static_cast<double>(area.y) / shown->height);
        const int width = std::max(1, static_cast<int>(shown->width * scale));
        const int height = std::max(1, static_cast<int>(shown->height * scale));
        wxImage image(shown->width, shown->height, const_cast<unsigned char*>(shown->rgb.data()), true);
        dc.DrawBitmap(wxBitmap(image.Scale(width, height, wxIMAGE_QUALITY_BILINEAR)), (area.x - width) / 2,
                      (area.y - height) / 2);
    }

    std::mutex mutex_;
    std::shared_ptr<const PreviewPicture> picture_;
};

// The panel is a child of the preview frame and goes with the dialog; the
// capture thread reaches it only through the dialog's thread, and only
// while it exists.
PreviewSurface create_preview_surface(void* parent, int x, int y, int width, int height) {
    auto* panel = new PreviewPanel(static_cast<wxWindow*>(parent), wxPoint(x, y), wxSize(width, height));
    auto alive = std::make_shared<wxWeakRef<PreviewPanel>>(panel);
    return [alive](std::shared_ptr<const PreviewPicture> picture) {
        if (wxTheApp == nullptr) return;
        wxTheApp->CallAfter([alive, picture] {
            if (PreviewPanel* shown = alive->get()) {
                shown->show(picture);
                shown->Refresh(false);
            }
        });
    };
}

// A list of the formats, and one of the chosen format's sizes.
std::optional<VideoMode> show_format_dialog(wxWindow* parent, const std::vector<VideoMode>& modes,
                                            const VideoMode& current) {
    if (modes.empty()) return std::nullopt;
    wxDialog dialog(parent, wxID_ANY, wxString::FromUTF8("ビデオ形式"));
    dialog.SetFont(wxFont(wxFontInfo(9).FaceName(DIALOG_FONT_FACE)));
    auto* formats = new wxListBox(&dialog, wxID_ANY, wxDefaultPosition, wxSize(120, 120));
    auto* sizes = new wxListBox(&dialog, wxID_ANY, wxDefaultPosition, wxSize(140, 120));
    std::vector<DWORD> compressions;
    for (const VideoMode& mode : modes) {
        if (std::find(compressions.begin(), compressions.end(), mode.compression) != compressions.end())
            continue;
        compressions.push_back(mode.compression);
        formats->Append(mode.compression == FOURCC_YUY2 ? "YUY2" : "RGB24");
    }
    std::vector<VideoMode> listed;  // the sizes shown, of the format chosen
    // Another format keeps the size chosen so far where it offers it.
    auto show_sizes = [&](DWORD compression, const VideoMode& wanted) {
        sizes->Clear();
        listed.clear();
        for (const VideoMode& mode : modes) {
            if (mode.compression != compression) continue;
            sizes->Append(
                wxString::Format("%ld x %ld", static_cast<long>(mode.width), static_cast<long>(mode.height)));
            if (mode.width == wanted.width && mode.height == wanted.height)
                sizes->SetSelection(listed.size());
            listed.push_back(mode);
        }
        if (sizes->GetSelection() == wxNOT_FOUND) sizes->SetSelection(0);
    };
    const auto shown = std::find(compressions.begin(), compressions.end(), current.compression);
    formats->SetSelection(shown == compressions.end() ? 0 : static_cast<int>(shown - compressions.begin()));
    show_sizes(compressions[formats->GetSelection()], current);
    auto chosen = [&] {
        return sizes->GetSelection() == wxNOT_FOUND ? current : listed[sizes->GetSelection()];
    };
    formats->Bind(wxEVT_LISTBOX,
                  [&](wxCommandEvent& event) { show_sizes(compressions[event.GetSelection()], chosen()); });
    auto* lists = new wxBoxSizer(wxHORIZONTAL);
    for (auto [label, list] : {std::pair{"形式", formats}, std::pair{"サイズ", sizes}}) {
        auto* column = new wxBoxSizer(wxVERTICAL);
        column->Add(new wxStaticText(&dialog, wxID_ANY, wxString::FromUTF8(label)), 0, wxBOTTOM, 4);
        column->Add(list, 1, wxEXPAND);
        lists->Add(column, 1, wxEXPAND | wxRIGHT, 8);
    }
    auto* top = new wxBoxSizer(wxVERTICAL);
    top->Add(lists, 1, wxEXPAND | wxALL, 8);
    top->Add(dialog.CreateSeparatedButtonSizer(wxOK | wxCANCEL), 0, wxEXPAND | wxALL, 8);
    dialog.SetSizerAndFit(top);
    if (dialog.ShowModal() != wxID_OK || sizes->GetSelection() == wxNOT_FOUND) return std::nullopt;
    return chosen();
}

}  // namespace

void set_window_text(wxWindow* control, std::string_view text) {
    if (control == nullptr) return;
    // The bytes up to the first NUL, as SetWindowTextA reads them.
    text = text.substr(0, text.find('\0'));
    trace_line("settext " + std::to_string(control->GetId()) + " " + vorden::tools::hex_bytes(text));
    if (auto* edit = dynamic_cast<wxTextCtrl*>(control)) {
        edit->ChangeValue(to_wx(text));
    } else if (auto* label = dynamic_cast<wxStaticText*>(control)) {
        label->SetLabelText(to_wx(text));
    } else {
        control->SetLabel(to_wx(text));
    }
}

void message_box(wxWindow* owner, const char* text, const char* caption) {
    trace_line("messagebox " + vorden::tools::hex_bytes(caption) + " " + vorden::tools::hex_bytes(text));
    wxGenericMessageDialog box(owner, to_wx(text), to_wx(caption), wxOK);
    box.SetFont(wxFont(wxFontInfo(9).FaceName(DIALOG_FONT_FACE)));
    box.ShowModal();
}

void message_beep() {
    trace_line("beep");
    wxBell();
}

void install_window_system() {
    set_window_system(create_preview_surface,
                      [](void* parent, const std::vector<VideoMode>& modes, const VideoMode& current) {
                          return show_format_dialog(static_cast<wxWindow*>(parent), modes, current);
                      });
}

}  // namespace ostrel
