// A camera the tests script, a recording window sink, a scripted decoder and
// a capture window around them for the camera application's core.
#ifndef OSTREL_TEST_FAKES_H
#define OSTREL_TEST_FAKES_H

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ostrel_core.h"
#include "platform/capture.h"

namespace ostrel::test {

inline const std::string kCross = "\x81\x7E";
inline const std::string kTriangle = "\x81\xA2";
inline const std::string kCircle = "\x81\x9B";

// What a scripted camera reports and sends; shared by the test and the
// camera the capture window opened.
struct CameraScript {
    std::mutex mutex;
    VideoMode mode = yuy2_mode(16, 4);
    std::vector<uint8_t> frame;  // sent every 10 ms while frames_left lasts
    int frames_left = 0;
    bool unplugged = false;         // next_frame reports the camera gone
    std::function<void()> on_gone;  // when it does
};

class ScriptedCamera final : public Camera {
  public:
    explicit ScriptedCamera(std::shared_ptr<CameraScript> script) : script_(std::move(script)) {}
    std::vector<VideoMode> modes() override { return {mode()}; }
    VideoMode mode() override;
    bool set_mode(const VideoMode& mode) override;
    bool start(uint32_t) override { return true; }
    int next_frame(std::vector<uint8_t>& frame, int timeout_ms) override;
    void stop() override {}

  private:
    std::shared_ptr<CameraScript> script_;
};

// A driver list of one scripted camera.
std::vector<CameraDriver> scripted_driver(std::shared_ptr<CameraScript> script);

// Records every window update as "beep 16" or "<control id> <text>".
struct RecordingSink {
    std::mutex mutex;
    std::vector<std::string> events;
    WindowSink sink();
    std::vector<std::string> take();
};

// A frame header for `frame`; `used` is dwBytesUsed.
VIDEOHDR header_for(std::vector<uint8_t>& frame, DWORD used);

// YUY2 frame bytes from the luminance wanted at (x, y), y = 0 the top row;
// chroma bytes are 0xFF.
std::vector<uint8_t> yuy2_frame(int row_length, int rows, const std::function<uint8_t(int, int)>& luma);

// The decoder as the tests script it: each call returns the next scripted
// text (nullopt or an empty script: no symbol) and records the image.
struct DecodedImage {
    int32_t width = 0, height = 0;
    std::vector<uint8_t> pixels;
    uint8_t at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};
extern std::deque<std::optional<std::string>> decoder_script;
extern std::vector<DecodedImage> decoded_images;

// Waits, at most 30 seconds (no speed is checked), until `done` holds.
template <class Condition>
bool eventually(Condition done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return done();
}

// A fresh decode slot and ring, the recording sink, the scripted decoder and
// a capture window connected to a camera of 16 x 4 YUY2 frames.
class CoreTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Reconnects the camera in `mode`, as the settings dialog would.
    void set_mode(const VideoMode& mode);
    // Hands one frame to on_video_frame, as a capture thread would.
    static void hand(std::vector<uint8_t>& frame, DWORD used) {
        VIDEOHDR header = header_for(frame, used);
        EXPECT_NE(on_video_frame(capture_window, &header), 0);
    }
    // Feeds one frame through on_video_frame and waits for its worker;
    // `used` overrides dwBytesUsed.
    void feed(std::vector<uint8_t> frame, std::optional<DWORD> used = std::nullopt);
    // Feeds a 16 x 4 YUY2 frame with the decoder scripted to return `text`,
    // and returns the window updates it caused.
    std::vector<std::string> read(std::optional<std::string> text);
    static bool slot_is_free() {
        if (!COstrelAppCore::try_take_decode_slot()) return false;
        COstrelAppCore::release_decode_slot();
        return true;
    }

    std::shared_ptr<CameraScript> camera_ = std::make_shared<CameraScript>();
    RecordingSink texts_;
};

}  // namespace ostrel::test

#endif  // OSTREL_TEST_FAKES_H
