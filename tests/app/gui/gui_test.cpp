// Ostrel as a whole, in its own process on a private X server: the virtual
// camera on rendered symbols, the failures the dialog reports, the About
// box, and a camera unplugged under the dialog.
#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/dcmemory.h>
#include <wx/dcscreen.h>
#include <wx/toplevel.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "../fakes.h"
#include "harness.h"
#include "ostrel_core.h"
#include "platform/capture.h"
#include "renderer.h"
#include "vorden.h"

namespace ostrel::test {
namespace {

using vorden::test::Mode;

// Waits are generous: these tests run under the sanitizers on a busy
// machine, and no speed is checked here.
constexpr double WAIT_SECONDS = 60;

const std::string kCircle = "\x81\x9B";
const std::string kAbout = "libvorden Ver. 1.2.6";
const std::string kNotSupported = "サポートしていない画像のモードです。\n0 32";

// Writes a picture of the symbol for the virtual camera.
std::string symbol_picture(const std::vector<vorden::test::Segment>& segments, const std::string& name) {
    const std::string path = ::testing::TempDir() + name + ".pgm";
    vorden::test::write_pgm(vorden::test::render(vorden::test::encode(segments), {.module_px = 4}), path);
    return path;
}

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

// Minimised, the dialog paints its icon centred in its client area, which
// the window system then reports as 0 x 0: at (-15, -15), so that only the
// icon's lower right 17 x 17 pixels fall inside the window. Under Xvfb the
// window stays on screen; its children are hidden, so the screen shows what
// the paint handler drew.
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
    // The dialog goes on answering after the message box.
    app.command("click 16");
    ASSERT_TRUE(app.wait_for(settext_line(1004, kAbout), WAIT_SECONDS));
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
                        script->frames.assign(20, std::vector<uint8_t>(256, 0));
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
    AppProcess app({{{"OSTREL_VIRTUAL_CAMERA", symbol_picture({{Mode::Kanji, kanji}}, "kanji")},
                     {"OSTREL_VIRTUAL_CAMERA_FORMAT", "RGB24"}},
                    [] { frame_decoder = traced_decode; }});
    const auto result = app.wait_for(settext_line(1000, kanji), WAIT_SECONDS);
    ASSERT_TRUE(result) << dump(app);
    ASSERT_TRUE(app.wait_for(settext_line(1003, kCircle), WAIT_SECONDS, *result));
    EXPECT_EQ(app.trace()[*result - 1], "beep");
    EXPECT_EQ(close(app), 0);
}

// The virtual camera, pulled out when the test says so, as a USB camera
// unplugged mid-stream: from then on it reports itself gone.
class UnpluggableCamera final : public Camera {
  public:
    explicit UnpluggableCamera(std::unique_ptr<Camera> camera) : camera_(std::move(camera)) {}
    std::vector<VideoMode> modes() override {
        return unplugged ? std::vector<VideoMode>{} : camera_->modes();
    }
    VideoMode mode() override { return camera_->mode(); }
    bool set_mode(const VideoMode& mode) override { return !unplugged && camera_->set_mode(mode); }
    bool start(uint32_t interval_us) override { return !unplugged && camera_->start(interval_us); }
    int next_frame(std::vector<uint8_t>& frame, int timeout_ms) override {
        if (!unplugged) return camera_->next_frame(frame, timeout_ms);
        trace_test_line("stream-ended");
        return -1;
    }
    void stop() override { camera_->stop(); }
    static inline std::atomic<bool> unplugged = false;

  private:
    std::unique_ptr<Camera> camera_;
};

TEST_F(Gui, CameraUnpluggedMidStreamEndsItsStreamAndTheDialogStaysUsable) {
    const std::string text = "unplugged later";
    AppProcess app({{{"OSTREL_VIRTUAL_CAMERA", symbol_picture({{Mode::Byte, text}}, "unplug")}}, [] {
                        CameraDriver driver = *virtual_camera_from_environment();
                        driver.open = [open = driver.open] {
                            return std::make_unique<UnpluggableCamera>(open());
                        };
                        set_camera_drivers(std::vector<CameraDriver>{driver});
                        frame_decoder = traced_decode;
                        on_child_command("unplug", [] { UnpluggableCamera::unplugged = true; });
                    }});
    // The virtual camera's YUY2 frames read: the text, then "○".
    const auto read = app.wait_for(settext_line(1000, text), WAIT_SECONDS);
    ASSERT_TRUE(read) << dump(app);
    ASSERT_TRUE(app.wait_for(settext_line(1003, kCircle), WAIT_SECONDS, *read)) << dump(app);
    // (The preview's start already ended one stream, to restart it at ten
    // frames a second.)
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
