// A camera the tests script, a recording window sink, a scripted decoder and
// a capture window around them for the camera application's core.
#ifndef OSTREL_TEST_FAKES_H
#define OSTREL_TEST_FAKES_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ostrel_core.h"
#include "platform/camera.h"
#include "vorden.h"

namespace ostrel::test {

inline const std::string kCross = "\x81\x7E";
inline const std::string kTriangle = "\x81\xA2";
inline const std::string kCircle = "\x81\x9B";

// What a scripted camera reports and sends, shared with the test.
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
    VideoMode mode() override {
        std::lock_guard lock(script_->mutex);
        return script_->mode;
    }
    bool set_mode(const VideoMode& mode) override {
        std::lock_guard lock(script_->mutex);
        script_->mode = mode;
        return true;
    }
    bool start(uint32_t) override { return true; }
    int next_frame(std::vector<uint8_t>& frame, int timeout_ms) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(timeout_ms, 10)));
        std::unique_lock lock(script_->mutex);
        if (script_->unplugged) {
            const std::function<void()> gone = script_->on_gone;
            lock.unlock();
            if (gone) gone();
            return -1;
        }
        if (script_->frames_left == 0) return 0;
        --script_->frames_left;
        frame = script_->frame;
        return 1;
    }
    void stop() override {}

  private:
    std::shared_ptr<CameraScript> script_;
};

// A driver list of one scripted camera.
inline std::vector<CameraDriver> scripted_driver(std::shared_ptr<CameraScript> script) {
    return {{"Scripted camera", "1.0", [script] { return std::make_unique<ScriptedCamera>(script); }}};
}

// Records every window update as "beep 16" or "<control id> <text>".
struct RecordingSink {
    std::mutex mutex;
    std::vector<std::string> events;
    WindowSink sink() {
        auto record = [this](std::string event) {
            std::lock_guard lock(mutex);
            events.push_back(std::move(event));
        };
        return {[record](int id, std::string text) { record(std::to_string(id) + " " + text); },
                [record](UINT type) { record("beep " + std::to_string(type)); }};
    }
    std::vector<std::string> take() {
        std::lock_guard lock(mutex);
        return std::exchange(events, {});
    }
};

// YUY2 frame bytes from the luminance wanted at (x, y), y = 0 the top row;
// chroma bytes are 0xFF.
inline std::vector<uint8_t> yuy2_frame(int row_length, int rows,
                                       const std::function<uint8_t(int, int)>& luma) {
    std::vector<uint8_t> frame(static_cast<size_t>(row_length) * rows * 2, 0xFF);
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < row_length; ++x)
            frame[(static_cast<size_t>(y) * row_length + x) * 2] = luma(x, y);
    return frame;
}

// The decoder as the tests script it: each call returns the next scripted
// text (nullopt or an empty script: no symbol) and records the image.
struct DecodedImage {
    int32_t width = 0, height = 0;
    std::vector<uint8_t> pixels;
    uint8_t at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};
inline std::deque<std::optional<std::string>> decoder_script;
inline std::vector<DecodedImage> decoded_images;

inline const char* scripted_decode(const uint8_t* image, int32_t width, int32_t height, int32_t depth,
                                   FILE* log) {
    static std::string text;
    EXPECT_EQ(depth, 8);
    EXPECT_EQ(log, nullptr);
    decoded_images.push_back({width, height, {image, image + static_cast<size_t>(width) * height}});
    if (decoder_script.empty()) return nullptr;
    const std::optional<std::string> next = std::move(decoder_script.front());
    decoder_script.pop_front();
    if (!next) return nullptr;
    text = *next;
    return text.c_str();
}

// Waits, at most 30 seconds (no speed is checked), until `done` holds.
template <class Condition>
bool eventually(Condition done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return done();
}

// A fresh slot and ring, the recording sink, the scripted decoder, and a
// capture window connected to a 16 x 4 YUY2 camera.
class CoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        set_window_sink(texts_.sink());
        ASSERT_TRUE(COstrelAppCore::init_decode_state());
        set_camera_drivers(scripted_driver(camera_));
        capture_window = capCreateCaptureWindowA("test", 0, 0, 0, 0, 0, nullptr, 0);
        ASSERT_NE(capDriverConnect(capture_window, 0), 0);
        frame_decoder = scripted_decode;
        decoder_script.clear();
        decoded_images.clear();
    }
    void TearDown() override {
        DestroyWindow(capture_window);
        capture_window = nullptr;
        set_camera_drivers(std::nullopt);
        EXPECT_TRUE(eventually(slot_is_free)) << "a worker did not give the slot back";
        CloseHandle(decode_slot);
        decode_slot = nullptr;
        HeapFree(frame_copy);
        HeapFree(luma_frame);
        frame_copy = luma_frame = nullptr;
        frame_copy_size = luma_frame_size = 0;
        frame_decoder = decode_symbol;
        kernel_faults = {};
        set_window_sink({});
    }

    // Reconnects the camera in `mode`, as the settings dialog would.
    void set_mode(const VideoMode& mode) {
        capDriverDisconnect(capture_window);
        camera_->mode = mode;
        ASSERT_NE(capDriverConnect(capture_window, 0), 0);
    }
    // A header for `frame`; `used` is dwBytesUsed.
    static VIDEOHDR header_for(std::vector<uint8_t>& frame, DWORD used) {
        VIDEOHDR header = {};
        header.lpData = frame.empty() ? nullptr : frame.data();
        header.dwBufferLength = static_cast<DWORD>(frame.size());
        header.dwBytesUsed = used;
        return header;
    }
    // Hands one frame to on_video_frame, as a capture thread would.
    static void hand(std::vector<uint8_t>& frame, DWORD used) {
        VIDEOHDR header = header_for(frame, used);
        EXPECT_NE(on_video_frame(capture_window, &header), 0);
    }
    // Hands one frame over and waits for its worker.
    void feed(std::vector<uint8_t> frame) {
        hand(frame, static_cast<DWORD>(frame.size()));
        EXPECT_TRUE(eventually(slot_is_free));
    }
    // Feeds a 16 x 4 YUY2 frame with the decoder scripted to return `text`,
    // and returns the window updates it caused.
    std::vector<std::string> read(std::optional<std::string> text) {
        decoder_script.push_back(std::move(text));
        feed(yuy2_frame(16, 4, [](int, int) { return 128; }));
        return texts_.take();
    }
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
