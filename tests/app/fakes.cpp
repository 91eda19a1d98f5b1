#include "fakes.h"

#include <utility>

#include "vorden.h"

namespace ostrel::test {

std::deque<std::optional<std::string>> decoder_script;
std::vector<DecodedImage> decoded_images;

namespace {

const char* scripted_decode(const uint8_t* image, int32_t width, int32_t height, int32_t pixel_depth,
                            FILE* log) {
    static std::string text;
    EXPECT_EQ(pixel_depth, 8);
    EXPECT_EQ(log, nullptr);
    decoded_images.push_back({width, height, {image, image + static_cast<size_t>(width) * height}});
    if (decoder_script.empty()) return nullptr;
    std::optional<std::string> next = std::move(decoder_script.front());
    decoder_script.pop_front();
    if (!next) return nullptr;
    text = *next;
    return text.c_str();
}

}  // namespace

VideoMode ScriptedCamera::mode() {
    std::lock_guard lock(script_->mutex);
    return script_->mode;
}

bool ScriptedCamera::set_mode(const VideoMode& mode) {
    std::lock_guard lock(script_->mutex);
    script_->mode = mode;
    return true;
}

int ScriptedCamera::next_frame(std::vector<uint8_t>& frame, int timeout_ms) {
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

std::vector<CameraDriver> scripted_driver(std::shared_ptr<CameraScript> script) {
    return {{"Scripted camera", "1.0", [script] { return std::make_unique<ScriptedCamera>(script); }}};
}

WindowSink RecordingSink::sink() {
    auto record = [this](std::string event) {
        std::lock_guard lock(mutex);
        events.push_back(std::move(event));
    };
    return {[record](int id, std::string text) { record(std::to_string(id) + " " + text); },
            [record](UINT type) { record("beep " + std::to_string(type)); }};
}

std::vector<std::string> RecordingSink::take() {
    std::lock_guard lock(mutex);
    return std::exchange(events, {});
}

VIDEOHDR header_for(std::vector<uint8_t>& frame, DWORD used) {
    VIDEOHDR header = {};
    header.lpData = frame.empty() ? nullptr : frame.data();
    header.dwBufferLength = static_cast<DWORD>(frame.size());
    header.dwBytesUsed = used;
    return header;
}

std::vector<uint8_t> yuy2_frame(int row_length, int rows, const std::function<uint8_t(int, int)>& luma) {
    std::vector<uint8_t> frame(static_cast<size_t>(row_length) * rows * 2, 0xFF);
    for (int y = 0; y < rows; ++y) {
        for (int x = 0; x < row_length; ++x)
            frame[(static_cast<size_t>(y) * row_length + x) * 2] = luma(x, y);
    }
    return frame;
}

void CoreTest::SetUp() {
    set_window_sink(texts_.sink());
    ASSERT_TRUE(COstrelAppCore::init_decode_state());
    set_camera_drivers(scripted_driver(camera_));
    capture_window = capCreateCaptureWindowA("test", 0, 0, 0, 0, 0, nullptr, 0);
    ASSERT_NE(capDriverConnect(capture_window, 0), 0);
    frame_decoder = scripted_decode;
    decoder_script.clear();
    decoded_images.clear();
}

void CoreTest::TearDown() {
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

void CoreTest::set_mode(const VideoMode& mode) {
    capDriverDisconnect(capture_window);
    camera_->mode = mode;
    ASSERT_NE(capDriverConnect(capture_window, 0), 0);
}

void CoreTest::feed(std::vector<uint8_t> frame, std::optional<DWORD> used) {
    hand(frame, used.value_or(static_cast<DWORD>(frame.size())));
    EXPECT_TRUE(eventually(slot_is_free));
}

std::vector<std::string> CoreTest::read(std::optional<std::string> text) {
    decoder_script.push_back(std::move(text));
    feed(yuy2_frame(16, 4, [](int, int) { return 128; }));
    return texts_.take();
}

}  // namespace ostrel::test
