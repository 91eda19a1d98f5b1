#include "harness.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wx/app.h>
#include <wx/button.h>
#include <wx/dialog.h>
#include <wx/eventfilter.h>
#include <wx/timer.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <utility>

#include "ostrel_app.h"
#include "platform/trace.h"

namespace ostrel::test {

namespace {

pid_t xvfb_pid = -1;
int trace_counter = 0;

std::vector<wxDialog*> shown_dialogs() {
    std::vector<wxDialog*> dialogs;
    for (wxWindow* window : wxTopLevelWindows) {
        auto* dialog = dynamic_cast<wxDialog*>(window);
        if (dialog != nullptr && dialog->IsShown() && !dialog->IsBeingDeleted()) dialogs.push_back(dialog);
    }
    return dialogs;
}

// The topmost modal dialog other than the main one (which has the preview
// frame, control 1001).
wxDialog* topmost_box() {
    std::vector<wxDialog*> dialogs = shown_dialogs();
    for (auto it = dialogs.rbegin(); it != dialogs.rend(); ++it) {
        if ((*it)->IsModal() && (*it)->FindWindow(1001) == nullptr) return *it;
    }
    return nullptr;
}

// A dialog ended by a command, until its ShowModal has returned (the
// object is gone then). Commands wait for that: ending the main dialog while
// a nested modal loop still unwinds would quit the wrong loop.
wxDialog* closing = nullptr;

bool still_closing() {
    if (closing == nullptr) return false;
    for (wxWindow* window : wxTopLevelWindows) {
        if (window == closing) return true;
    }
    closing = nullptr;
    return false;
}

void end_dialog(wxDialog* dialog) {
    closing = dialog;
    dialog->EndModal(wxID_OK);
}

// Registered by on_child_command; used on the dialog's thread only.
std::map<std::string, std::function<void()>> child_commands;

void execute(const std::string& line) {
    std::istringstream words(line);
    std::string verb;
    words >> verb;
    if (verb == "click") {
        int id = 0;
        words >> id;
        std::vector<wxDialog*> dialogs = shown_dialogs();
        for (auto it = dialogs.rbegin(); it != dialogs.rend(); ++it) {
            if (auto* button = dynamic_cast<wxButton*>((*it)->FindWindow(id))) {
                wxCommandEvent click(wxEVT_BUTTON, id);
                click.SetEventObject(button);
                button->HandleWindowEvent(click);
                return;
            }
        }
    } else if (verb == "dismiss") {
        if (wxDialog* dialog = topmost_box()) end_dialog(dialog);
    } else if (auto found = child_commands.find(verb); found != child_commands.end()) {
        found->second();
    }
}

// Whether a command can run now: not while a dialog it ended is still
// unwinding, and a command for a box only once the box is open (its trace
// line is written just before it opens).
bool ready_for(const std::string& line) {
    if (still_closing()) return false;
    return line != "dismiss" || topmost_box() != nullptr;
}

std::mutex commands_mutex;
std::deque<std::string> commands;

void pump();

// Runs pump a little later from a timer of its own: a pending event posted
// from inside pending-event processing would run at once, for ever, and a
// timer whose handler is still running (it opened a modal dialog) does not
// fire again inside that dialog's loop.
void schedule_pump() {
    auto* timer = new wxTimer;  // the child ends with _exit: never freed
    timer->Bind(wxEVT_TIMER, [](wxTimerEvent&) { pump(); });
    timer->StartOnce(20);
}

// Runs on the dialog's thread. A command may open a modal dialog and so not
// return for a while: the commands after it then run inside that dialog's
// event loop.
void pump() {
    for (;;) {
        std::string line;
        bool more;
        {
            std::lock_guard lock(commands_mutex);
            if (commands.empty()) return;
            if (!ready_for(commands.front())) break;
            line = std::move(commands.front());
            commands.pop_front();
            more = !commands.empty();
        }
        if (more) schedule_pump();
        execute(line);
    }
    schedule_pump();
}

// Set on the dialog's thread once the application handles events. The
// command reader waits for it: wxTheApp is published before the application
// object has been fully constructed, so seeing it non-null is not enough.
std::mutex app_ready_mutex;
std::condition_variable app_ready_changed;
bool app_ready = false;

class ReadySignal final : public wxEventFilter {
  public:
    int FilterEvent(wxEvent&) override {
        if (!signalled_) {
            signalled_ = true;
            std::lock_guard lock(app_ready_mutex);
            app_ready = true;
            app_ready_changed.notify_all();
        }
        return Event_Skip;
    }

  private:
    bool signalled_ = false;
};

// In the child: queues each command for the dialog's thread. (Plain
// reads: a FILE would hold its lock in the read, and the fflush before the
// child's _exit would wait for it.)
void read_commands(int fd) {
    std::string line;
    for (char c; ::read(fd, &c, 1) == 1;) {
        if (c != '\n') {
            line += c;
            continue;
        }
        {
            std::lock_guard lock(commands_mutex);
            commands.push_back(std::exchange(line, {}));
        }
        {
            std::unique_lock lock(app_ready_mutex);
            app_ready_changed.wait(lock, [] { return app_ready; });
        }
        wxTheApp->CallAfter([] { pump(); });
    }
}

}  // namespace

void start_private_display() {
    int fds[2];
    if (pipe(fds) != 0) return;
    xvfb_pid = fork();
    if (xvfb_pid == 0) {
        ::close(fds[0]);
        const std::string fd = std::to_string(fds[1]);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
               static_cast<char*>(nullptr));
        _exit(127);
    }
    ::close(fds[1]);
    std::string number;
    pollfd ready = {fds[0], POLLIN, 0};
    char c;
    while (::poll(&ready, 1, 20000) > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    ::close(fds[0]);
    if (!number.empty()) setenv("DISPLAY", (":" + number).c_str(), 1);
    setenv("NO_AT_BRIDGE", "1", 1);
    setenv("GDK_BACKEND", "x11", 1);
}

void stop_private_display() {
    if (xvfb_pid <= 0) return;
    kill(xvfb_pid, SIGTERM);
    waitpid(xvfb_pid, nullptr, 0);
    xvfb_pid = -1;
}

std::string settext_line(int control_id, const std::string& text) {
    return "settext " + std::to_string(control_id) + " " + hex_bytes(text);
}

std::string messagebox_line(const std::string& caption, const std::string& text) {
    return "messagebox " + hex_bytes(caption) + " " + hex_bytes(text);
}

void trace_test_line(const std::string& line) {
    if (const char* path = std::getenv("OSTREL_TRACE"))
        std::ofstream(path, std::ios::app) << "test " << line << "\n";
}

void on_child_command(const std::string& verb, std::function<void()> action) {
    child_commands[verb] = std::move(action);
}

AppProcess::AppProcess(const AppOptions& options) {
    trace_path_ = ::testing::TempDir() + "ostrel-gui-" + std::to_string(getpid()) + "-" +
                  std::to_string(++trace_counter) + ".trace";
    std::remove(trace_path_.c_str());
    std::ofstream(trace_path_).flush();
    int fds[2];
    if (pipe(fds) != 0) return;
    std::fflush(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        ::close(fds[1]);
        unsetenv("OSTREL_VIRTUAL_CAMERA");
        unsetenv("OSTREL_VIRTUAL_CAMERA_FORMAT");
        for (const auto& [name, value] : options.environment) setenv(name.c_str(), value.c_str(), 1);
        setenv("OSTREL_TRACE", trace_path_.c_str(), 1);
        if (options.child_setup) options.child_setup();
        wxEvtHandler::AddFilter(new ReadySignal);  // the child ends with _exit: never freed
        std::thread(read_commands, fds[0]).detach();
        char name[] = "ostrel";
        char* argv[] = {name, nullptr};
        const int status = run_ostrel(1, argv);
        trace_test_line("returned " + std::to_string(status));
        std::fflush(nullptr);
        // Straight out: the test program's own teardown is the parent's.
        _exit(status);
    }
    ::close(fds[0]);
    command_fd_ = fds[1];
}

AppProcess::~AppProcess() {
    if (command_fd_ >= 0) ::close(command_fd_);
    if (alive()) {
        kill(pid_, SIGKILL);
        wait_exit(10);
    }
    std::remove(trace_path_.c_str());
}

void AppProcess::command(const std::string& line) {
    const std::string text = line + "\n";
    [[maybe_unused]] ssize_t written = ::write(command_fd_, text.data(), text.size());
}

std::vector<std::string> AppProcess::trace() const {
    std::vector<std::string> lines;
    std::ifstream file(trace_path_);
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
}

std::optional<size_t> AppProcess::wait_for(const std::string& line, double seconds, size_t from) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    do {
        const std::vector<std::string> lines = trace();
        for (size_t k = from; k < lines.size(); ++k) {
            if (lines[k] == line) return k;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (std::chrono::steady_clock::now() < deadline);
    return std::nullopt;
}

bool AppProcess::alive() {
    if (status_ || pid_ <= 0) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        return false;
    }
    return true;
}

std::optional<int> AppProcess::wait_exit(double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (alive()) {
        if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return status_;
}

}  // namespace ostrel::test
