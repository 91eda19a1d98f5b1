#include "fakes.h"

#include <cstring>
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

BOOL RecordingKernel::start_thread(ThreadProc start, void* parameter, SIZE_T stack_size) {
    if (refuse_threads) return 0;
    if (real_threads) return real_.start_thread(start, parameter, stack_size);
    start(parameter);
    return 1;
}

void* RecordingKernel::HeapAlloc(SIZE_T bytes) {
    std::lock_guard lock(mutex_);
    if (refuse_alloc && refuse_alloc(bytes)) return nullptr;
    void* block = real_.HeapAlloc(bytes);
    live_.insert(block);
    return block;
}

BOOL RecordingKernel::HeapFree(void* block) {
    std::lock_guard lock(mutex_);
    // Freeing a block twice, or one from elsewhere, fails the test here
    // rather than corrupting the heap.
    if (live_.erase(block) != 1) {
        ADD_FAILURE() << "HeapFree of a block not allocated";
        return 0;
    }
    return real_.HeapFree(block);
}

LRESULT FakeCaptureWindow::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != WM_CAP_GET_VIDEOFORMAT) return 0;
    if (wParam == 0 && lParam == 0) return block_size;
    if (fail_fetch || wParam < block_size) return 0;
    std::memset(reinterpret_cast<void*>(lParam), 0, block_size);
    std::memcpy(reinterpret_cast<void*>(lParam), &format, std::min<size_t>(sizeof format, block_size));
    return block_size;
}

void FakeCaptureWindow::set_format(DWORD compression, WORD bit_count, LONG width, LONG height) {
    format = {};
    format.biSize = sizeof format;
    format.biWidth = width;
    format.biHeight = height;
    format.biPlanes = 1;
    format.biBitCount = bit_count;
    format.biCompression = compression;
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
    set_kernel(&kernel_);
    set_window_texts(&texts_);
    ASSERT_TRUE(COstrelAppCore::init_decode_state());
    camera_ = std::make_shared<FakeCaptureWindow>();
    camera_->set_format(FOURCC_YUY2, 16, 16, 4);
    capture_window = register_capture_window(camera_);
    frame_decoder = scripted_decode;
    decoder_script.clear();
    decoded_images.clear();
}

void CoreTest::TearDown() {
    DestroyWindow(capture_window);
    capture_window = nullptr;
    CloseHandle(decode_slot);
    decode_slot = nullptr;
    if (frame_copy != nullptr) HeapFree(frame_copy);
    if (luma_frame != nullptr) HeapFree(luma_frame);
    frame_copy = luma_frame = nullptr;
    frame_copy_size = luma_frame_size = 0;
    EXPECT_EQ(kernel_.live_blocks(), 0u) << "heap blocks left behind";
    frame_decoder = decode_symbol;
    set_window_texts(nullptr);
    set_kernel(nullptr);
}

void CoreTest::feed(std::vector<uint8_t> frame, std::optional<DWORD> used) {
    VIDEOHDR header = {};
    header.lpData = frame.data();
    header.dwBufferLength = static_cast<DWORD>(frame.size());
    header.dwBytesUsed = used.value_or(header.dwBufferLength);
    EXPECT_NE(on_video_frame(capture_window, &header), 0);
}

std::vector<std::string> CoreTest::read(std::optional<std::string> text) {
    decoder_script.push_back(std::move(text));
    feed(yuy2_frame(16, 4, [](int, int) { return 128; }));
    return texts_.take();
}

}  // namespace ostrel::test
