// Recording fakes of the platform layer, frame builders and a scripted
// decoder for the camera application's core.
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
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ostrel_core.h"
#include "platform/capture_service.h"

namespace ostrel::test {

inline const std::string kCross = "\x81\x7E";
inline const std::string kTriangle = "\x81\xA2";
inline const std::string kCircle = "\x81\x9B";

// The real services underneath, with failures to script and calls recorded.
// Threads run inline on the caller unless `real_threads` is set.
class RecordingKernel final : public Kernel {
  public:
    HANDLE CreateSemaphoreA(LONG initial, LONG maximum) override {
        return real_.CreateSemaphoreA(initial, maximum);
    }
    BOOL CloseHandle(HANDLE object) override { return real_.CloseHandle(object); }
    DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) override {
        return real_.WaitForSingleObject(object, milliseconds);
    }
    BOOL ReleaseSemaphore(HANDLE semaphore, LONG release_count, LONG* previous_count) override {
        return release_error == 0 && real_.ReleaseSemaphore(semaphore, release_count, previous_count);
    }
    DWORD GetLastError() override { return release_error != 0 ? release_error : real_.GetLastError(); }
    BOOL start_thread(ThreadProc start, void* parameter, SIZE_T stack_size) override;
    void Sleep(DWORD milliseconds) override { real_.Sleep(milliseconds); }
    void* HeapAlloc(SIZE_T bytes) override;
    void* HeapReAlloc(void*, SIZE_T) override { return nullptr; }
    BOOL HeapFree(void* block) override;
    size_t live_blocks() {
        std::lock_guard lock(mutex_);
        return live_.size();
    }

    // Set these before the code under test runs.
    bool real_threads = false;
    bool refuse_threads = false;
    DWORD release_error = 0;                   // non-zero: releases fail with it
    std::function<bool(SIZE_T)> refuse_alloc;  // true: that allocation fails

  private:
    LinuxKernel real_;
    std::mutex mutex_;
    std::set<void*> live_;
};

// Records every update as "beep 16" or "<control id> <text>".
class RecordingWindowTexts final : public WindowTexts {
  public:
    void SetDlgItemTextA(int control_id, const char* text) override {
        std::lock_guard lock(mutex_);
        events_.push_back(std::to_string(control_id) + " " + text);
    }
    void MessageBeep(UINT type) override {
        std::lock_guard lock(mutex_);
        events_.push_back("beep " + std::to_string(type));
    }
    std::vector<std::string> take() {
        std::lock_guard lock(mutex_);
        return std::exchange(events_, {});
    }

  private:
    std::mutex mutex_;
    std::vector<std::string> events_;
};

// Answers WM_CAP_GET_VIDEOFORMAT from `format`.
class FakeCaptureWindow final : public CaptureWindow {
  public:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    void set_format(DWORD compression, WORD bit_count, LONG width, LONG height);

    BITMAPINFOHEADER format = {};
    DWORD block_size = sizeof(BITMAPINFO);  // the size query's answer
    bool fail_fetch = false;
};

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

// Installs the fakes, a fresh decode slot and ring, and a capture window
// delivering 16 x 4 YUY2 frames; restores the real services afterwards.
class CoreTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Feeds one frame through on_video_frame; `used` overrides dwBytesUsed.
    void feed(std::vector<uint8_t> frame, std::optional<DWORD> used = std::nullopt);
    // Feeds a 16 x 4 YUY2 frame with the decoder scripted to return `text`,
    // and returns the window updates it caused.
    std::vector<std::string> read(std::optional<std::string> text);
    static bool slot_is_free() {
        if (!COstrelAppCore::try_take_decode_slot()) return false;
        COstrelAppCore::release_decode_slot();
        return true;
    }

    RecordingKernel kernel_;
    RecordingWindowTexts texts_;
    std::shared_ptr<FakeCaptureWindow> camera_;
};

// Waits, at most 30 seconds (no speed is checked), until `done` holds.
template <class Condition>
bool eventually(Condition done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return done();
}

// The frames a capture device delivers. The capture thread's sink holds a
// token until the stream ends, so `stream.expired()` tells that it has.
struct FrameRecorder {
    std::mutex mutex;
    std::vector<std::vector<uint8_t>> seen;
    std::shared_ptr<int> token = std::make_shared<int>();
    std::weak_ptr<int> stream = token;

    FrameSink sink() {
        return [this, token = std::exchange(token, nullptr)](const uint8_t* data, size_t bytes) {
            std::lock_guard lock(mutex);
            seen.emplace_back(data, data + bytes);
        };
    }
    size_t count() {
        std::lock_guard lock(mutex);
        return seen.size();
    }
    bool wait_for(size_t frames) {
        return eventually([&] { return count() >= frames; });
    }
};

}  // namespace ostrel::test

#endif  // OSTREL_TEST_FAKES_H
