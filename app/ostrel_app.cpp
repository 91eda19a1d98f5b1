// The application object.
#include "ostrel_app.h"

#include "platform/wx_window_system.h"

namespace ostrel {

namespace {

// The main dialog while it exists; touched on the dialog's thread only.
COstrelDlg* main_dialog = nullptr;

wxAppConsole* create_app() {
    return new COstrelApp;
}

}  // namespace

int COstrelApp::OnRun() {
    InitInstance();
    return 0;
}

bool COstrelApp::InitInstance() {
    install_window_system();
    if (!init_decode_state()) return false;
    // The worker posts from its own thread; CallAfter never blocks it, even
    // while this thread waits for the decode slot at shutdown.
    set_window_sink({[this](int control_id, std::string text) {
                         CallAfter([control_id, text] {
                             if (main_dialog != nullptr)
                                 set_window_text(main_dialog->FindWindow(control_id), text);
                         });
                     },
                     [this](UINT) { CallAfter([] { message_beep(); }); }});

    {
        COstrelDlg dialog;
        main_dialog = &dialog;
        SetTopWindow(&dialog);
        dialog.DoModal();
        SetTopWindow(nullptr);
        main_dialog = nullptr;
    }
    set_window_sink({});
    // The application ends here, without a message loop of its own.
    return false;
}

int run_ostrel(int argc, char** argv) {
    wxApp::SetInitializerFunction(create_app);
    return wxEntry(argc, argv);
}

}  // namespace ostrel
