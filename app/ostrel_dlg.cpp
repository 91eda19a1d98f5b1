// The main dialog: the camera connection, the preview, the settings button,
// the About box and the orderly shutdown of the frame hand-off.
#include <wx/dcclient.h>
#include <wx/menu.h>
#include <wx/settings.h>

#include <cstdio>

#include "dialog_templates.h"
#include "ostrel_app.h"
#include "platform/wx_window_system.h"
#include "resource.h"

namespace ostrel {

namespace {

constexpr int CONNECT_TRIES = 10;
constexpr DWORD CONNECT_RETRY_MS = 1000;
constexpr int DESCRIPTION_SIZE = 1024;

}  // namespace

COstrelDlg::COstrelDlg(wxWindow* parent) : m_hIcon(load_icon(IDR_MAINFRAME)) {
    create_from_template(this, parent, dialog_template(IDD_OSTREL_DIALOG));
    SetEscapeId(IDCANCEL);
    Bind(wxEVT_INIT_DIALOG, &COstrelDlg::on_init_dialog, this);
    Bind(wxEVT_PAINT, &COstrelDlg::on_paint, this);
    Bind(wxEVT_BUTTON, &COstrelDlg::on_settings, this, IDC_SETTINGS);
    Bind(wxEVT_BUTTON, &COstrelDlg::on_about, this, IDM_ABOUTBOX);
    Bind(wxEVT_CONTEXT_MENU, &COstrelDlg::on_context_menu, this);
    Bind(wxEVT_MENU, &COstrelDlg::on_menu, this);
}

int COstrelDlg::DoModal() {
    const int result = ShowModal();
    DestroyWindow();
    return result;
}

void COstrelDlg::on_init_dialog(wxInitDialogEvent& event) {
    event.Skip();
    // The framework sends this each time the dialog is shown; the camera is
    // set up once.
    if (initialised_) return;
    initialised_ = true;
    OnInitDialog();
}

bool COstrelDlg::OnInitDialog() {
    // GTK offers applications no system menu: the About entry (string 101,
    // command 16) is the dialog's context menu instead, built when asked for.

    SetIcons([this] {
        wxIconBundle icons(m_hIcon);
        icons.AddIcon(load_icon(IDR_MAINFRAME, true));
        return icons;
    }());

    wxWindow* frame = FindWindow(IDC_PREVIEW_FRAME);
    const wxSize area = frame != nullptr ? frame->GetScreenRect().GetSize() : wxSize();
    capture_window = capCreateCaptureWindowA("Camera", WS_CHILD | WS_VISIBLE, 0, 0, area.x, area.y,
                                             reinterpret_cast<HWND>(frame), 0);
    if (capture_window == nullptr) {
        MessageBox("capCreateCaptureWindow() failed.", "initialize failed");
        return false;
    }
    capSetCallbackOnFrame(capture_window, on_video_frame);

    int driver = -1;
    for (int index = 0; index < DRIVER_INDEXES; ++index) {
        char name[DESCRIPTION_SIZE];
        char version[DESCRIPTION_SIZE];
        if (capGetDriverDescriptionA(index, name, sizeof name, version, sizeof version)) {
            driver = index;
            break;
        }
    }
    if (driver < 0) {
        MessageBox("カメラが見つかりません。", "camera not found");
        return false;
    }

    // A camera that is still waking up may refuse the first tries; after the
    // last one the format request below reports the failure.
    for (int attempt = 0; attempt < CONNECT_TRIES; ++attempt) {
        if (capDriverConnect(capture_window, driver)) break;
        Sleep(CONNECT_RETRY_MS);
    }

    const DWORD format_size = capGetVideoFormatSize(capture_window);
    if (format_size == 0) {
        MessageBox("カメラの情報が取得できません。", "could not get camera info");
        return false;
    }
    auto* format = static_cast<BITMAPINFO*>(HeapAlloc(format_size));
    if (format == nullptr) return false;
    if (capGetVideoFormat(capture_window, format, format_size) == 0) {
        HeapFree(format);
        return false;
    }
    const bool supported = check_format(format->bmiHeader);
    HeapFree(format);
    if (!supported) return false;
    start_preview();
    return true;
}

bool COstrelDlg::check_format(const BITMAPINFOHEADER& format) {
    if ((format.biCompression == BI_RGB && format.biBitCount == 24) ||
        (format.biCompression == FOURCC_YUY2 && format.biBitCount == 16)) {
        return true;
    }
    char text[256];
    std::snprintf(text, sizeof text, "サポートしていない画像のモードです。\n%d %d",
                  static_cast<int>(format.biCompression), static_cast<int>(format.biBitCount));
    MessageBox(text, "not support");
    return false;
}

void COstrelDlg::start_preview() {
    // The results are not checked: a driver without one of these features
    // previews all the same.
    CAPTUREPARMS parms = {};
    capCaptureGetSetup(capture_window, &parms, sizeof parms);
    parms.dwRequestMicroSecPerFrame = 100000;
    parms.wPercentDropForError = 100;
    capPreviewRate(capture_window, 50);
    capPreview(capture_window, 1);
    capOverlay(capture_window, 1);
    capCaptureSetSetup(capture_window, &parms, sizeof parms);
}

void COstrelDlg::on_settings(wxCommandEvent&) {
    // The callback is off while the driver may change the format under it.
    capSetCallbackOnFrame(capture_window, nullptr);
    capDlgVideoFormat(capture_window);
    capSetCallbackOnFrame(capture_window, on_video_frame);

    const DWORD format_size = capGetVideoFormatSize(capture_window);
    auto* format = static_cast<BITMAPINFO*>(HeapAlloc(format_size));
    if (format == nullptr) {
        MessageBox("HeapAlloc() failed.", "memory get error");
        return;
    }
    if (capGetVideoFormat(capture_window, format, format_size) == 0) {
        HeapFree(format);
        MessageBox("capGetVideoFormat() failed.", "get format error");
        return;
    }
    // An unsupported format leaves the preview running; the frame callback
    // gives up its frames until a supported one is chosen.
    const bool supported = check_format(format->bmiHeader);
    HeapFree(format);
    if (supported) start_preview();
}

void COstrelDlg::on_about(wxCommandEvent&) {
    CAboutDlg about(this);
    about.DoModal();
}

void COstrelDlg::on_context_menu(wxContextMenuEvent&) {
    const char* entry = load_string(IDS_ABOUTBOX);
    if (entry[0] == '\0') return;
    wxMenu menu;
    menu.Append(IDM_ABOUTBOX, wxString::FromUTF8(entry));
    PopupMenu(&menu);
}

void COstrelDlg::on_menu(wxCommandEvent& event) {
    OnSysCommand(event.GetId());
}

void COstrelDlg::OnSysCommand(int id) {
    if ((id & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg about(this);
        about.DoModal();
    }
}

void COstrelDlg::on_paint(wxPaintEvent& event) {
    if (!IsIconized()) {
        event.Skip();
        return;
    }
    wxPaintDC dc(this);
    dc.SetBackground(wxBrush(GetBackgroundColour()));
    dc.Clear();
    const int icon_width = wxSystemSettings::GetMetric(wxSYS_ICON_X, this);
    const int icon_height = wxSystemSettings::GetMetric(wxSYS_ICON_Y, this);
    const wxSize client = GetClientSize();
    dc.DrawIcon(m_hIcon, (client.x - icon_width + 1) / 2, (client.y - icon_height + 1) / 2);
}

bool COstrelDlg::DestroyWindow() {
    capSetCallbackOnFrame(capture_window, nullptr);
    capDriverDisconnect(capture_window);
    // Not before a running decode has finished: it still reads the frame
    // buffers and updates this dialog's controls.
    COstrelAppCore::wait_for_decode_worker();
    ::ostrel::DestroyWindow(capture_window);
    capture_window = nullptr;
    return true;
}

void COstrelDlg::MessageBox(const char* text, const char* caption) {
    message_box(this, text, caption);
}

}  // namespace ostrel
