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

#include <memory>
#include <mutex>
#include <string>

#include "dialog_templates.h"
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
    std::shared_ptr<const PreviewImage> image;
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
        std::shared_ptr<const PreviewImage> image;
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

class WxPreviewSurface final : public PreviewSurface {
  public:
    explicit WxPreviewSurface(std::shared_ptr<PreviewState> state) : state_(std::move(state)) {}
    ~WxPreviewSurface() override {
        // The capture window is destroyed on the dialog's thread; its
        // picture goes with it.
        if (!wxThread::IsMain()) return;
        PreviewPanel* panel;
        {
            std::lock_guard lock(state_->mutex);
            panel = state_->panel;
        }
        if (panel != nullptr) panel->Destroy();
    }

    void present(std::shared_ptr<const PreviewImage> image) override {
        {
            std::lock_guard lock(state_->mutex);
            state_->image = std::move(image);
            if (state_->refresh_pending || wxTheApp == nullptr) return;
            state_->refresh_pending = true;
        }
        // One repaint pending at a time, whatever the frame rate.
        std::weak_ptr<PreviewState> weak = state_;
        wxTheApp->CallAfter([weak] {
            auto state = weak.lock();
            if (state == nullptr) return;
            std::lock_guard lock(state->mutex);
            state->refresh_pending = false;
            if (state->panel != nullptr) state->panel->Refresh(false);
        });
    }

  private:
    std::shared_ptr<PreviewState> state_;
};

std::unique_ptr<PreviewSurface> create_preview_surface(void* parent, int x, int y, int width, int height) {
    auto state = std::make_shared<PreviewState>();
    new PreviewPanel(static_cast<wxWindow*>(parent), wxPoint(x, y), wxSize(width, height), state);
    return std::make_unique<WxPreviewSurface>(state);
}

wxString size_label(const FrameSize& size) {
    return wxString::Format("%ld x %ld", static_cast<long>(size.width), static_cast<long>(size.height));
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

int message_box(wxWindow* owner, const char* text, const char* caption) {
    trace_messagebox(caption, text);
    wxGenericMessageDialog box(owner, to_wx(text), to_wx(caption), wxOK);
    box.SetFont(wxFont(wxFontInfo(9).FaceName(dialog_font_face())));
    box.ShowModal();
    return wxID_OK;
}

void message_beep() {
    trace_beep();
    wxBell();
}

std::optional<FormatChoice> show_format_dialog(wxWindow* parent, const std::vector<FormatOption>& options,
                                               const FormatChoice& current) {
    if (options.empty()) return std::nullopt;
    wxDialog dialog(parent, wxID_ANY, wxString::FromUTF8("ビデオ形式"), wxDefaultPosition, wxDefaultSize,
                    wxDEFAULT_DIALOG_STYLE, FORMAT_DIALOG_NAME);
    dialog.SetFont(wxFont(wxFontInfo(9).FaceName(dialog_font_face())));
    auto* formats = new wxListBox(&dialog, wxID_ANY, wxDefaultPosition, wxSize(220, 120));
    auto* sizes = new wxListBox(&dialog, wxID_ANY, wxDefaultPosition, wxSize(140, 120));
    for (const FormatOption& option : options) formats->Append(wxString::FromUTF8(option.name));

    auto fill_sizes = [&](size_t option, const FrameSize* wanted) {
        sizes->Clear();
        int selected = 0;
        for (size_t k = 0; k < options[option].sizes.size(); ++k) {
            sizes->Append(size_label(options[option].sizes[k]));
            if (wanted != nullptr && options[option].sizes[k] == *wanted) selected = static_cast<int>(k);
        }
        if (!options[option].sizes.empty()) sizes->SetSelection(selected);
    };
    size_t shown = current.option < options.size() ? current.option : 0;
    formats->SetSelection(static_cast<int>(shown));
    fill_sizes(shown, &current.size);
    // Another format keeps the size chosen so far where it offers it.
    formats->Bind(wxEVT_LISTBOX, [&](wxCommandEvent& event) {
        FrameSize keep = current.size;
        const int size = sizes->GetSelection();
        if (size != wxNOT_FOUND) keep = options[shown].sizes[static_cast<size_t>(size)];
        shown = static_cast<size_t>(event.GetSelection());
        fill_sizes(shown, &keep);
    });

    auto* lists = new wxBoxSizer(wxHORIZONTAL);
    auto* left = new wxBoxSizer(wxVERTICAL);
    left->Add(new wxStaticText(&dialog, wxID_ANY, wxString::FromUTF8("形式")), 0, wxBOTTOM, 4);
    left->Add(formats, 1, wxEXPAND);
    auto* right = new wxBoxSizer(wxVERTICAL);
    right->Add(new wxStaticText(&dialog, wxID_ANY, wxString::FromUTF8("サイズ")), 0, wxBOTTOM, 4);
    right->Add(sizes, 1, wxEXPAND);
    lists->Add(left, 1, wxEXPAND | wxRIGHT, 8);
    lists->Add(right, 1, wxEXPAND);
    auto* top = new wxBoxSizer(wxVERTICAL);
    top->Add(lists, 1, wxEXPAND | wxALL, 8);
    top->Add(dialog.CreateSeparatedButtonSizer(wxOK | wxCANCEL), 0, wxEXPAND | wxALL, 8);
    dialog.SetSizerAndFit(top);

    if (dialog.ShowModal() != wxID_OK) return std::nullopt;
    const int option = formats->GetSelection();
    const int size = sizes->GetSelection();
    if (option == wxNOT_FOUND || size == wxNOT_FOUND) return std::nullopt;
    return FormatChoice{static_cast<size_t>(option),
                        options[static_cast<size_t>(option)].sizes[static_cast<size_t>(size)]};
}

void install_window_system_hooks() {
    set_preview_surface_factory(create_preview_surface);
    set_format_dialog(
        [](void* parent, const std::vector<FormatOption>& options, const FormatChoice& current) {
            return show_format_dialog(static_cast<wxWindow*>(parent), options, current);
        });
}

}  // namespace ostrel
