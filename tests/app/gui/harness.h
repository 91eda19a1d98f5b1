// Runs Ostrel in a child process on a private X server and drives it the
// way a user would, through commands on a pipe; the parent watches the
// event trace.
#ifndef OSTREL_TEST_GUI_HARNESS_H
#define OSTREL_TEST_GUI_HARNESS_H

#include <sys/types.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace ostrel::test {

// Starts Xvfb for the whole test program and points DISPLAY at it.
void start_private_display();
void stop_private_display();

// The trace line for a control text or a message box, as the platform
// layer writes it.
std::string settext_line(int control_id, const std::string& text);
std::string messagebox_line(const std::string& caption, const std::string& text);

// Appends "test ..." to the trace file, from the child.
void trace_test_line(const std::string& line);

// In the child (from AppOptions::child_setup): the command VERB runs
// `action` on the dialog's thread.
void on_child_command(const std::string& verb, std::function<void()> action);

struct AppOptions {
    std::map<std::string, std::string> environment;
    // Runs in the child before the application starts.
    std::function<void()> child_setup;
};

class AppProcess {
  public:
    explicit AppProcess(const AppOptions& options);
    ~AppProcess();
    AppProcess(const AppProcess&) = delete;
    AppProcess& operator=(const AppProcess&) = delete;

    // Commands, carried out in order on the dialog's thread: "click ID" (a
    // button of the main dialog), "dismiss" (ends the topmost box with OK),
    // or a verb on_child_command gave.
    void command(const std::string& line);

    std::vector<std::string> trace() const;
    // Waits until the trace holds `line` (counting from `from`); its index or
    // nullopt.
    std::optional<size_t> wait_for(const std::string& line, double seconds, size_t from = 0) const;
    bool alive();
    // The exit status, -signal when killed, nullopt on timeout.
    std::optional<int> wait_exit(double seconds);

  private:
    pid_t pid_ = -1;
    int command_fd_ = -1;
    std::string trace_path_;
    std::optional<int> status_;
};

}  // namespace ostrel::test

#endif  // OSTREL_TEST_GUI_HARNESS_H
