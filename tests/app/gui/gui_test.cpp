// Ostrel as a whole in a child process on a private X server, driven through
// commands on a pipe while the parent reads the event trace.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wx/app.h>
#include <wx/button.h>
#include <wx/dcmemory.h>
#include <wx/dcscreen.h>
#include <wx/dialog.h>
#include <wx/eventfilter.h>
#include <wx/timer.h>
#include <wx/toplevel.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../fakes.h"
#include "json_text.h"
#include "ostrel_app.h"
#include "ostrel_core.h"
#include "platform/camera.h"
#include "renderer.h"
#include "vorden.h"

namespace ostrel::test {
namespace {

// ---- The harness ----

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

// Xvfb for the whole test program, DISPLAY pointing at it.
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

// Appends "test ..." to the trace file, from the child.
void trace_test_line(const std::string& line) {
    if (const char* path = std::getenv("OSTREL_TRACE"))
        std::ofstream(path, std::ios::app) << "test " << line << "\n";
}

// In the child: the command VERB runs `action` on the dialog's thread.
void on_child_command(const std::string& verb, std::function<void()> action) {
    child_commands[verb] = std::move(action);
}

struct AppOptions {
    std::map<std::string, std::string> environment;
    std::function<void()> child_setup;  // runs in the child before the application starts
};

// Ostrel in a child process, driven through commands carried out in order on
// the dialog's thread: "click ID" (a button of the main dialog), "dismiss"
// (ends the topmost box with OK), or a verb on_child_command gave.
class AppProcess {
  public:
    explicit AppProcess(const AppOptions& options) {
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

    ~AppProcess() {
        if (command_fd_ >= 0) ::close(command_fd_);
        if (alive()) {
            kill(pid_, SIGKILL);
            wait_exit(10);
        }
        std::remove(trace_path_.c_str());
    }
    AppProcess(const AppProcess&) = delete;
    AppProcess& operator=(const AppProcess&) = delete;

    void command(const std::string& line) {
        const std::string text = line + "\n";
        [[maybe_unused]] ssize_t written = ::write(command_fd_, text.data(), text.size());
    }

    std::vector<std::string> trace() const {
        std::vector<std::string> lines;
        std::ifstream file(trace_path_);
        for (std::string line; std::getline(file, line);) lines.push_back(line);
        return lines;
    }

    std::optional<size_t> wait_for(const std::string& line, double seconds, size_t from = 0) const {
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

    bool alive() {
        if (status_ || pid_ <= 0) return false;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
            return false;
        }
        return true;
    }

    std::optional<int> wait_exit(double seconds) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (alive()) {
            if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return status_;
    }

  private:
    pid_t pid_ = -1;
    int command_fd_ = -1;
    std::string trace_path_;
    std::optional<int> status_;
};

// ---- The tests ----

using vorden::test::Mode;

constexpr double WAIT_SECONDS = 60;  // generous: under the sanitizers, no speed is checked

const std::string kAbout = "libvorden Ver. 1.2.6";
const std::string kNotSupported = "サポートしていない画像のモードです。\n0 32";

// Each decode as a trace line, then the real decoder.
const char* traced_decode(const uint8_t* image, int32_t width, int32_t height, int32_t depth, FILE* log) {
    trace_test_line("decode");
    return decode_symbol(image, width, height, depth, log);
}

bool starts_with(const std::string& line, const std::string& prefix) {
    return line.rfind(prefix, 0) == 0;
}

class Gui : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { start_private_display(); }
    static void TearDownTestSuite() { stop_private_display(); }
    void SetUp() override {
        if (std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "Xvfb did not start";
    }

    // The trace without the indicator's lines, for a failure message.
    static std::string dump(const AppProcess& app) {
        std::string lines;
        for (const std::string& line : app.trace()) {
            if (!starts_with(line, "settext 1003")) lines += line + "\n";
        }
        return lines;
    }

    // Closes the main dialog with its "終了" button; the exit status.
    static std::optional<int> close(AppProcess& app) {
        app.command("click 2");
        std::optional<int> status = app.wait_exit(WAIT_SECONDS);
        if (!status) std::printf("%s", dump(app).c_str());
        return status;
    }
};

// Minimised, the dialog paints its icon centred in a client area of 0 x 0, at
// (-15, -15): only its lower right 17 x 17 pixels fall inside the window,
// which stays on screen under Xvfb, its children hidden.
wxSize shown_size;

void minimise() {
    auto* dialog = dynamic_cast<wxTopLevelWindow*>(wxTheApp->GetTopWindow());
    for (wxWindow* child : dialog->GetChildren()) child->Hide();
    shown_size = dialog->GetClientSize();
    dialog->SetIconizeState(true);
    dialog->Refresh();
}

// Dark pixels in the top left 17 x 17 pixels and elsewhere.
void probe_painting() {
    auto* dialog = dynamic_cast<wxTopLevelWindow*>(wxTheApp->GetTopWindow());
    const wxPoint origin = dialog->ClientToScreen(wxPoint(0, 0));
    wxBitmap shot(shown_size);
    wxMemoryDC memory(shot);
    wxScreenDC screen;
    memory.Blit(0, 0, shown_size.x, shown_size.y, &screen, origin.x, origin.y);
    memory.SelectObject(wxNullBitmap);
    const wxImage image = shot.ConvertToImage();
    int corner = 0;
    int elsewhere = 0;
    for (int y = 0; y < shown_size.y; ++y) {
        for (int x = 0; x < shown_size.x; ++x) {
            if (image.GetRed(x, y) + image.GetGreen(x, y) + image.GetBlue(x, y) >= 300) continue;
            ++(x < 17 && y < 17 ? corner : elsewhere);
        }
    }
    trace_test_line("painted " + std::to_string(corner) + " " + std::to_string(elsewhere));
    dialog->SetIconizeState(false);
}

TEST_F(Gui, NoCameraIsReportedOnceAndTheDialogStaysOpenUntilClosed) {
    AppProcess app({{}, [] {
                        set_camera_drivers(std::vector<CameraDriver>{});
                        on_child_command("minimise", minimise);
                        on_child_command("probe", probe_painting);
                    }});
    ASSERT_TRUE(app.wait_for(messagebox_line("camera not found", "カメラが見つかりません。"), WAIT_SECONDS));
    app.command("dismiss");
    app.command("minimise");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    app.command("probe");
    int corner = 0;
    int elsewhere = -1;
    ASSERT_TRUE(eventually([&] {
        for (const std::string& line : app.trace()) {
            if (std::sscanf(line.c_str(), "test painted %d %d", &corner, &elsewhere) == 2) return true;
        }
        return false;
    }));
    EXPECT_GT(corner, 20) << "no icon in the corner";
    EXPECT_EQ(elsewhere, 0) << "something besides the icon painted";
    EXPECT_EQ(close(app), 0);

    const std::vector<std::string> trace = app.trace();
    EXPECT_EQ(
        std::count_if(trace.begin(), trace.end(), [](auto& line) { return starts_with(line, "messagebox"); }),
        1);
    for (const std::string& line : trace)
        EXPECT_FALSE(starts_with(line, "settext 1003")) << "the indicator stays at ×";
}

// A camera in 32-bit RGB, which the frame callback cannot read, sending
// frames all the same.
TEST_F(Gui, UnsupportedModeIsReportedAndNothingIsDecoded) {
    AppProcess app({{}, [] {
                        auto script = std::make_shared<CameraScript>();
                        script->mode = {BI_RGB, 32, 16, 4};
                        script->frame.assign(256, 0);
                        script->frames_left = 20;
                        set_camera_drivers(scripted_driver(script));
                        frame_decoder = traced_decode;
                    }});
    ASSERT_TRUE(app.wait_for(messagebox_line("not support", kNotSupported), WAIT_SECONDS)) << dump(app);
    app.command("dismiss");
    EXPECT_EQ(close(app), 0);
    const std::vector<std::string> trace = app.trace();
    EXPECT_EQ(std::count(trace.begin(), trace.end(), "test decode"), 0) << dump(app);
}

// The Kanji text reaches the dialog as Shift JIS, as the decoder gives it:
// the confirmed text with a beep, then "○".
TEST_F(Gui, Rgb24FramesReachTheConfirmedText) {
    const std::string kanji = "\x93\xfa\x96\x7b\x8c\xea";  // 日本語
    const std::string picture = ::testing::TempDir() + "kanji.pgm";
    vorden::test::write_pgm(vorden::test::render(vorden::test::encode(Mode::Kanji, kanji), {.module_px = 4}),
                            picture);
    AppProcess app({{{"OSTREL_VIRTUAL_CAMERA", picture}, {"OSTREL_VIRTUAL_CAMERA_FORMAT", "RGB24"}},
                    [] { frame_decoder = traced_decode; }});
    const auto result = app.wait_for(settext_line(1000, kanji), WAIT_SECONDS);
    ASSERT_TRUE(result) << dump(app);
    ASSERT_TRUE(app.wait_for(settext_line(1003, kCircle), WAIT_SECONDS, *result));
    EXPECT_EQ(app.trace()[*result - 1], "beep");
    EXPECT_EQ(close(app), 0);
}

// A camera of 640 x 480 YUY2 frames of a symbol, pulled out when the test
// says so, as a USB camera unplugged mid-stream.
TEST_F(Gui, CameraUnpluggedMidStreamEndsItsStreamAndTheDialogStaysUsable) {
    const std::string text = "unplugged later";
    AppProcess app({{}, [text] {
                        static auto script = std::make_shared<CameraScript>();
                        script->mode = yuy2_mode(640, 480);
                        const vorden::test::Image symbol =
                            vorden::test::render(vorden::test::encode(Mode::Byte, text),
                                                 {.module_px = 4, .canvas_width = 640, .canvas_height = 480});
                        script->frame = yuy2_frame(640, 480, [&](int x, int y) { return symbol.at(x, y); });
                        script->frames_left = 1 << 30;
                        script->on_gone = [] { trace_test_line("stream-ended"); };
                        set_camera_drivers(scripted_driver(script));
                        frame_decoder = traced_decode;
                        on_child_command("unplug", [] {
                            std::lock_guard lock(script->mutex);
                            script->unplugged = true;
                        });
                    }});
    // The camera's frames read: the text, then "○".
    const auto read = app.wait_for(settext_line(1000, text), WAIT_SECONDS);
    ASSERT_TRUE(read) << dump(app);
    ASSERT_TRUE(app.wait_for(settext_line(1003, kCircle), WAIT_SECONDS, *read)) << dump(app);
    const size_t before_unplug = app.trace().size();
    app.command("unplug");
    const auto ended = app.wait_for("test stream-ended", WAIT_SECONDS, before_unplug);
    ASSERT_TRUE(ended) << "the capture thread did not end\n" << dump(app);

    // The About box, and ten frame intervals more: no complaint, and
    // nothing decoded.
    app.command("click 16");
    ASSERT_TRUE(app.wait_for(settext_line(1004, kAbout), WAIT_SECONDS, *ended)) << dump(app);
    app.command("dismiss");
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_EQ(close(app), 0);

    const std::vector<std::string> trace = app.trace();
    for (const std::string& line : trace) EXPECT_FALSE(starts_with(line, "messagebox")) << line;
    const int decodes = static_cast<int>(std::count(trace.begin() + *ended, trace.end(), "test decode"));
    // The last frame's worker may start after its capture thread ended.
    EXPECT_LE(decodes, 1);
}

}  // namespace
}  // namespace ostrel::test
