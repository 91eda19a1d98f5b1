// The window system on wxWidgets.
#include "platform/wx_window_system.h"

#include <wx/app.h>
#include <wx/button.h>
#include <wx/dcclient.h>
#include <wx/dialog.h>
#include <wx/generic/msgdlgg.h>
#include <wx/image.h>
#include <wx/listbox.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/thread.h>
#include <wx/utils.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>

#include "platform/text_codec.h"
#include "platform/trace.h"

namespace ostrel {

namespace {

wxString to_wx(std::string_view text) {
    return wxString::FromUTF8(window_text_to_utf8(text));
}

class PreviewPanel;

// Shared by a panel and its surface, so that a picture arriving on the
// capture thread never reaches a panel that is gone.
struct PreviewState {
    std::mutex mutex;
    std::shared_ptr<const PreviewPicture> image;
    bool refresh_pending = false;
    PreviewPanel* panel = nullptr;  // set and cleared on the dialog's thread
};

// The capture window on screen: the newest picture scaled to fit, its
// aspect kept, on black.
class PreviewPanel final : public wxWindow {
  public:
    PreviewPanel(wxWindow* parent, const wxPoint& position, const wxSize& size,
                 std::shared_ptr<PreviewState> state)
        : wxWindow(parent, wxID_ANY, position, size, wxBORDER_NONE), state_(std::move(state)) {
        SetBackgroundStyle(wxBG_STYLE_PAINT);
        Bind(wxEVT_PAINT, &PreviewPanel::on_paint, this);
        std::lock_guard lock(state_->mutex);
        state_->panel = this;
    }
    ~PreviewPanel() override {
        std::lock_guard lock(state_->mutex);
        state_->panel = nullptr;
    }

  private:
    void on_paint(wxPaintEvent&) {
        wxPaintDC dc(this);
        dc.SetBackground(*wxBLACK_BRUSH);
        dc.Clear();
        std::shared_ptr<const PreviewPicture> image;
        {
            std::lock_guard lock(state_->mutex);
            image = state_->image;
        }
        if (image == nullptr || image->width <= 0 || image->height <= 0) return;
        const wxSize area = GetClientSize();
        const double scale =
            std::min(static_cast<double>(area.x) / image->width, static_cast<double>(area.y) / image->height);
        const int width = std::max(1, static_cast<int>(image->width * scale));
        const int height = std::max(1, static_cast<int>(image->height * scale));
        wxImage picture(image->width, image->height, const_cast<unsigned char*>(image->rgb.data()), true);
        dc.DrawBitmap(wxBitmap(picture.Scale(width, height, wxIMAGE_QUALITY_BILINEAR)), (area.x - width) / 2,
                      (area.y - height) / 2);
    }

    std::shared_ptr<PreviewState> state_;
};

// The surface the capture window paints on: keeps the newest picture and
// asks for one repaint at a time, whatever the frame rate.
PreviewSurface create_preview_surface(void* parent, int x, int y, int width, int height) {
    auto state = std::make_shared<PreviewState>();
    new PreviewPanel(static_cast<wxWindow*>(parent), wxPoint(x, y), wxSize(width, height), state);
    return [state](std::shared_ptr<const PreviewPicture> image) {
        {
            std::lock_guard lock(state->mutex);
            state->image = std::move(image);
            if (state->refresh_pending || wxTheApp == nullptr) return;
            state->refresh_pending = true;
        }
        std::weak_ptr<PreviewState> weak = state;
        wxTheApp->CallAfter([weak] {
            auto alive = weak.lock();
            if (alive == nullptr) return;
            std::lock_guard lock(alive->mutex);
            alive->refresh_pending = false;
            if (alive->panel != nullptr) alive->panel->Refresh(false);
        });
    };
}

wxString mode_label(const VideoMode& mode) {
    return wxString::Format("%s %ld x %ld", mode.compression == FOURCC_YUY2 ? "YUY2" : "RGB24",
                            static_cast<long>(mode.width), static_cast<long>(mode.height));
}

}  // namespace

void set_window_text(wxWindow* control, std::string_view text) {
    if (control == nullptr) return;
    // The bytes up to the first NUL, as SetWindowTextA reads them.
    text = text.substr(0, text.find('\0'));
    trace_settext(control->GetId(), text);
    const wxString value = to_wx(text);
    if (auto* edit = dynamic_cast<wxTextCtrl*>(control)) {
        edit->ChangeValue(value);
    } else if (auto* label = dynamic_cast<wxStaticText*>(control)) {
        label->SetLabelText(value);
    } else {
        control->SetLabel(value);
    }
}

void message_box(wxWindow* owner, const char* text, const char* caption) {
    trace_messagebox(caption, text);
    wxGenericMessageDialog box(owner, to_wx(text), to_wx(caption), wxOK);
    box.SetFont(wxFont(wxFontInfo(9).FaceName(DIALOG_FONT_FACE)));
    box.ShowModal();
}

void message_beep() {
    trace_beep();
    wxBell();
}

std::optional<VideoMode> show_format_dialog(wxWindow* parent, const std::vector<VideoMode>& modes,
                                            const VideoMode& current) {
    if (modes.empty()) return std::nullopt;
    wxDialog dialog(parent, wxID_ANY, wxString::FromUTF8("ビデオ形式"), wxDefaultPosition, wxDefaultSize,
                    wxDEFAULT_DIALOG_STYLE, FORMAT_DIALOG_NAME);
    dialog.SetFont(wxFont(wxFontInfo(9).FaceName(DIALOG_FONT_FACE)));
    auto* list = new wxListBox(&dialog, wxID_ANY, wxDefaultPosition, wxSize(220, 200));
    for (const VideoMode& mode : modes) list->Append(mode_label(mode));
    const auto selected = std::find(modes.begin(), modes.end(), current);
    list->SetSelection(selected == modes.end() ? 0 : static_cast<int>(selected - modes.begin()));
    auto* top = new wxBoxSizer(wxVERTICAL);
    top->Add(list, 1, wxEXPAND | wxALL, 8);
    top->Add(dialog.CreateSeparatedButtonSizer(wxOK | wxCANCEL), 0, wxEXPAND | wxALL, 8);
    dialog.SetSizerAndFit(top);
    if (dialog.ShowModal() != wxID_OK || list->GetSelection() == wxNOT_FOUND) return std::nullopt;
    return modes[static_cast<size_t>(list->GetSelection())];
}

void install_window_system() {
    set_window_system(create_preview_surface,
                      [](void* parent, const std::vector<VideoMode>& modes, const VideoMode& current) {
                          return show_format_dialog(static_cast<wxWindow*>(parent), modes, current);
                      });
}

}  // namespace ostrel
