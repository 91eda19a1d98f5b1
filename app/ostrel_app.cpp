// The application object.
#include "ostrel_app.h"

#include "platform/wx_window_system.h"

namespace ostrel {

namespace {

// The main dialog while it exists; touched on the dialog's thread only.
COstrelDlg* main_dialog = nullptr;

// Applies what the decode worker posted. Runs on the dialog's thread.
void apply_window_updates() {
    for (const WindowUpdate& update : queued_window_texts().drain()) {
        if (main_dialog == nullptr) continue;
        if (update.kind == WindowUpdate::Kind::beep) {
            message_beep();
        } else {
            set_window_text(main_dialog->FindWindow(update.control_id), update.text);
        }
    }
}

wxAppConsole* create_app() {
    return new COstrelApp;
}

}  // namespace

int COstrelApp::OnRun() {
    InitInstance();
    return 0;
}

bool COstrelApp::InitInstance() {
    install_window_system_hooks();
    if (!init_decode_state()) return false;
    // The worker posts from its own thread; CallAfter never blocks it, even
    // while this thread waits for the decode slot at shutdown.
    queued_window_texts().set_notifier([this] { CallAfter([] { apply_window_updates(); }); });

    {
        COstrelDlg dialog;
        main_dialog = &dialog;
        SetTopWindow(&dialog);
        dialog.DoModal();
        SetTopWindow(nullptr);
        main_dialog = nullptr;
    }
    queued_window_texts().set_notifier(nullptr);
    // The application ends here, without a message loop of its own.
    return false;
}

int run_ostrel(int argc, char** argv) {
    wxApp::SetInitializerFunction(create_app);
    return wxEntry(argc, argv);
}

}  // namespace ostrel
