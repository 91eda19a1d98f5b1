// The application object and its two dialogs on wxWidgets.
#ifndef OSTREL_APP_H
#define OSTREL_APP_H

#include <wx/app.h>
#include <wx/dialog.h>
#include <wx/icon.h>

#include "ostrel_core.h"

namespace ostrel {

// The one application object. Its start-up prepares the decode slot and the
// result ring, runs the main dialog modally and ends the process with status
// 0, without a message loop of its own.
class COstrelApp : public wxApp, public COstrelAppCore {
  public:
    // No command line: the framework's own parsing is left out.
    bool OnInit() override { return true; }
    int OnRun() override;
    bool InitInstance();
};

// The main dialog, template 102.
class COstrelDlg : public wxDialog {
  public:
    explicit COstrelDlg(wxWindow* parent = nullptr);
    // Creates the dialog from its template, runs it modally and destroys it.
    int DoModal();

  protected:
    void DoDataExchange() {}
    bool OnInitDialog();
    // Stops the frame callback, disconnects the camera, waits for a running
    // decode and destroys the capture window.
    bool DestroyWindow();
    void OnSysCommand(int id);

  private:
    void on_init_dialog(wxInitDialogEvent& event);
    void on_paint(wxPaintEvent& event);
    void on_settings(wxCommandEvent& event);
    void on_about(wxCommandEvent& event);
    void on_context_menu(wxContextMenuEvent& event);
    void on_menu(wxCommandEvent& event);
    void start_preview();
    // False, after telling the user, when the frame callback cannot read
    // frames of this format.
    bool check_format(const BITMAPINFOHEADER& format);
    void MessageBox(const char* text, const char* caption);

    wxIcon m_hIcon;
    bool initialised_ = false;
};

// The About box, template 100.
class CAboutDlg : public wxDialog {
  public:
    explicit CAboutDlg(wxWindow* parent);
    int DoModal() { return ShowModal(); }
    bool TransferDataToWindow() override;

  protected:
    void DoDataExchange();
};

// The process: wxWidgets started with COstrelApp. Returns the exit status.
int run_ostrel(int argc, char** argv);

}  // namespace ostrel

#endif  // OSTREL_APP_H
