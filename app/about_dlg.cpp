// The About box.
#include <cstdio>

#include "dialog_templates.h"
#include "ostrel_app.h"
#include "platform/wx_window_system.h"
#include "resource.h"
#include "vorden.h"

namespace ostrel {

CAboutDlg::CAboutDlg(wxWindow* parent) {
    create_from_template(this, parent, dialog_template(IDD_ABOUTBOX));
    SetAffirmativeId(IDOK);
    SetEscapeId(IDOK);
    SetIcons(wxIconBundle(load_icon(IDR_MAINFRAME)));
}

bool CAboutDlg::TransferDataToWindow() {
    DoDataExchange();
    return true;
}

void CAboutDlg::DoDataExchange() {
    if (!wxDialog::TransferDataToWindow()) return;
    char version[64];
    std::snprintf(version, sizeof version, "libvorden Ver. %s", decoder_version_string());
    set_window_text(FindWindow(IDC_LIBRARY_VERSION), version);
}

}  // namespace ostrel
