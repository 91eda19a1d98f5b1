#include "harness.h"

#include <fcntl.h>
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
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>
#include <utility>

#include "json_text.h"
#include "ostrel_app.h"

namespace ostrel::test {

namespace {

pid_t xvfb_pid = -1;
int trace_counter = 0;

// The topmost modal dialog other than the main one (which has the preview
// frame, control 1001).
wxDialog* topmost_box() {
    wxDialog* box = nullptr;
    for (wxWindow* window : wxTopLevelWindows) {
        auto* dialog = dynamic_cast<wxDialog*>(window);
        if (dialog != nullptr && dialog->IsShown() && !dialog->IsBeingDeleted() && dialog->IsModal() &&
            dialog->FindWindow(1001) == nullptr)
            box = dialog;
    }
    return box;
}

// A box ended by "dismiss", until its ShowModal has returned (the object is
// gone then). Commands wait for that: ending the main dialog while a nested
// modal loop still unwinds would quit the wrong loop.
wxDialog* closing = nullptr;

bool still_closing() {
    for (wxWindow* window : wxTopLevelWindows) {
        if (window == closing) return true;
    }
    closing = nullptr;
    return false;
}

// The child's command pipe (non-blocking), what has been read of it, and
// the commands on_child_command gave; all on the dialog's thread.
int command_fd = -1;
std::string pending;
std::map<std::string, std::function<void()>> child_commands;

void execute(const std::string& line) {
    std::istringstream words(line);
    std::string verb;
    int id = 0;
    words >> verb >> id;
    if (verb == "click") {
        // The main dialog's buttons: it is the oldest window.
        if (auto* button = dynamic_cast<wxButton*>(wxWindow::FindWindowById(id))) {
            wxCommandEvent click(wxEVT_BUTTON, id);
            click.SetEventObject(button);
            button->HandleWindowEvent(click);
        }
    } else if (verb == "dismiss") {
        closing = topmost_box();
        closing->EndModal(wxID_OK);
    } else if (auto found = child_commands.find(verb); found != child_commands.end()) {
        found->second();
    }
}

// Runs one command, if one is ready, every 20 ms. Each run has a timer of its
// own, started first: a command may open a modal dialog and not return for a
// while, and a timer whose handler is still running does not fire again
// inside that dialog's loop. A box's trace line is written just before it
// opens, so "dismiss" waits for the box.
void tick() {
    auto* timer = new wxTimer;  // the child ends with _exit: never freed
    timer->Bind(wxEVT_TIMER, [](wxTimerEvent&) { tick(); });
    timer->StartOnce(20);
    for (char c; ::read(command_fd, &c, 1) == 1;) pending += c;
    const size_t end = pending.find('\n');
    if (end == std::string::npos || still_closing()) return;
    const std::string line = pending.substr(0, end);
    if (line == "dismiss" && topmost_box() == nullptr) return;
    pending.erase(0, end + 1);
    execute(line);
}

// Starts the ticks once the application handles events: wxTheApp is
// published before the application object has been fully constructed.
class FirstEvent final : public wxEventFilter {
  public:
    int FilterEvent(wxEvent&) override {
        if (!seen_) {
            seen_ = true;
            tick();
        }
        return Event_Skip;
    }

  private:
    bool seen_ = false;
};

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
    return "settext " + std::to_string(control_id) + " " + vorden::tools::hex_bytes(text);
}

std::string messagebox_line(const std::string& caption, const std::string& text) {
    return "messagebox " + vorden::tools::hex_bytes(caption) + " " + vorden::tools::hex_bytes(text);
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
    std::ofstream(trace_path_).flush();
    int fds[2];
    if (pipe(fds) != 0) return;
    std::fflush(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        ::close(fds[1]);
        command_fd = fds[0];
        fcntl(command_fd, F_SETFL, O_NONBLOCK);
        unsetenv("OSTREL_VIRTUAL_CAMERA");
        unsetenv("OSTREL_VIRTUAL_CAMERA_FORMAT");
        for (const auto& [name, value] : options.environment) setenv(name.c_str(), value.c_str(), 1);
        setenv("OSTREL_TRACE", trace_path_.c_str(), 1);
        if (options.child_setup) options.child_setup();
        wxEvtHandler::AddFilter(new FirstEvent);  // never freed either
        char name[] = "ostrel";
        char* argv[] = {name, nullptr};
        const int status = run_ostrel(1, argv);
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
