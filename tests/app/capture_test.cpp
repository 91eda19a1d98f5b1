// The V4L2 driver against a scripted camera (frame layouts, streaming), and
// a capture window destroyed under a frame callback.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fakes.h"
#include "platform/v4l2_camera.h"
#include "platform/virtual_camera.h"
#include "watched_driver.h"

namespace ostrel::test {
namespace {

using Bytes = std::vector<uint8_t>;

v4l2_pix_format pix(uint32_t pixel_format, uint32_t width, uint32_t height, uint32_t bytes_per_line) {
    v4l2_pix_format format = {};
    format.pixelformat = pixel_format;
    format.width = width;
    format.height = height;
    format.bytesperline = bytes_per_line;
    format.sizeimage = bytes_per_line * height;
    return format;
}

TEST(V4l2Frames, FramesAreRearrangedIntoTheDeliveredLayout) {
    // 2 x 2 pixels, rows of 6 bytes of which 4 are pixels.
    const Bytes captured = {1, 2, 3, 4, 99, 99, 5, 6, 7, 8, 99, 99};
    Bytes out;
    ASSERT_TRUE(convert_frame(pix(V4L2_PIX_FMT_YUYV, 2, 2, 6), captured.data(), captured.size(), out));
    EXPECT_EQ(out, (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    // The last row needs no padding after it; one byte less is too short.
    ASSERT_TRUE(convert_frame(pix(V4L2_PIX_FMT_YUYV, 2, 2, 6), captured.data(), 10, out));
    EXPECT_FALSE(convert_frame(pix(V4L2_PIX_FMT_YUYV, 2, 2, 6), captured.data(), 9, out));

    // RGB: top row first as V4L2 captures, turned bottom-up, blue first,
    // padded to sixteen pixels.
    const Bytes top_down = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    ASSERT_TRUE(convert_frame(pix(V4L2_PIX_FMT_RGB24, 2, 2, 6), top_down.data(), top_down.size(), out));
    ASSERT_EQ(out.size(), 16u * 3 * 2);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 6), (Bytes{9, 8, 7, 12, 11, 10}));
    EXPECT_EQ(Bytes(out.begin() + 48, out.begin() + 54), (Bytes{3, 2, 1, 6, 5, 4}));
    EXPECT_EQ(out[47], 0);
    EXPECT_FALSE(convert_frame(pix(V4L2_PIX_FMT_RGB24, 2, 2, 6), top_down.data(), 11, out));
}

// A camera in memory at /dev/video2 with two mapped buffers that hands out
// the frames the test queues.
class ScriptedCamera final : public V4l2Io {
  public:
    int open(const char* path, int) override {
        return std::string(path) != "/dev/video2" ? fail(ENOENT) : 42;
    }
    int close(int) override { return 0; }
    int ioctl(int, unsigned long request, void* argument) override {
        std::lock_guard lock(mutex_);
        auto* buffer = static_cast<v4l2_buffer*>(argument);
        switch (request) {
            case VIDIOC_QUERYCAP: {
                auto* capability = static_cast<v4l2_capability*>(argument);
                std::strcpy(reinterpret_cast<char*>(capability->card), "Test Cam");
                capability->version = 0x050A03;
                capability->capabilities = V4L2_CAP_DEVICE_CAPS | V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
                capability->device_caps = device_caps;
                return 0;
            }
            case VIDIOC_G_FMT:
                static_cast<v4l2_format*>(argument)->fmt.pix = pix(V4L2_PIX_FMT_YUYV, 4, 2, 8);
                return 0;
            case VIDIOC_REQBUFS: {
                auto* buffers = static_cast<v4l2_requestbuffers*>(argument);
                released_ |= buffers->count == 0;
                buffers->count = std::min(buffers->count, 2u);
                return 0;
            }
            case VIDIOC_QUERYBUF:
                buffer->length = 16;
                buffer->m.offset = buffer->index * 4096;
                return 0;
            case VIDIOC_DQBUF:
                if (frames_.empty()) return fail(EAGAIN);
                buffer->index = next_buffer_;
                next_buffer_ ^= 1;
                std::copy(frames_.front().begin(), frames_.front().end(), memory_[buffer->index].begin());
                buffer->bytesused = static_cast<uint32_t>(frames_.front().size());
                frames_.pop_front();
                return 0;
            case VIDIOC_QBUF:
            case VIDIOC_STREAMON:
            case VIDIOC_STREAMOFF:
            case VIDIOC_S_PARM:
                return 0;
            default:
                return fail(ENOTTY);
        }
    }
    void* mmap(size_t length, int, off_t offset) override {
        std::lock_guard lock(mutex_);
        ++mapped_;
        return length == 16 ? memory_[offset / 4096].data() : MAP_FAILED;
    }
    int munmap(void*, size_t) override {
        std::lock_guard lock(mutex_);
        --mapped_;
        return 0;
    }
    int poll(int, short& revents, int wake_fd, short& wake_revents, int) override {
        // The wake-up is a real eventfd; the frames are ours.
        pollfd wake = {wake_fd, POLLIN, 0};
        for (;;) {
            wake_revents = ::poll(&wake, 1, 0) > 0 ? wake.revents : 0;
            {
                std::lock_guard lock(mutex_);
                revents = frames_.empty() ? 0 : POLLIN;
            }
            if (wake_revents != 0 || revents != 0) return 1;
            ::poll(&wake, 1, 5);  // until woken, or 5 ms for a frame
        }
    }
    void queue_frame(Bytes frame) {
        std::lock_guard lock(mutex_);
        frames_.push_back(std::move(frame));
    }
    // No buffer left mapped, and the driver's buffers given back.
    bool released() {
        std::lock_guard lock(mutex_);
        return mapped_ == 0 && std::exchange(released_, false);
    }

    uint32_t device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;

  private:
    int fail(int error) {
        errno = error;
        return -1;
    }

    std::mutex mutex_;
    std::deque<Bytes> frames_;
    bool released_ = false;
    int mapped_ = 0;
    uint32_t next_buffer_ = 0;
    Bytes memory_[2] = {Bytes(16), Bytes(16)};
};

TEST(V4l2Camera, StreamsThroughMappedBuffersAndReleasesThemOnStop) {
    ScriptedCamera camera;
    // A device node that does not capture (a metadata node) is no camera.
    camera.device_caps = V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING;
    EXPECT_TRUE(find_v4l2_cameras(camera, 10).empty());
    camera.device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    auto found = find_v4l2_cameras(camera, 10);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0]->name(), "Test Cam");
    EXPECT_EQ(found[0]->version(), "5.10.3");

    auto device = found[0]->open();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->format().biCompression, FOURCC_YUY2);
    // Twice: a stopped stream starts again on fresh buffers.
    for (int run = 0; run < 2; ++run) {
        FrameRecorder frames;
        ASSERT_TRUE(device->start(frames.sink()));
        camera.queue_frame({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
        camera.queue_frame(Bytes(16, 7));
        ASSERT_TRUE(frames.wait_for(2));
        device->stop();
        EXPECT_EQ(frames.seen[1], Bytes(16, 7));
        EXPECT_TRUE(camera.released());
    }
}

std::atomic<bool> in_callback = false, stream_ended = false;

// Holds the window as a message in flight would, for a while, on the first
// frame only.
LRESULT hold_window(HWND window, VIDEOHDR*) {
    std::shared_ptr<CaptureWindow> held = find_window(window);
    if (!in_callback.exchange(true)) std::this_thread::sleep_for(std::chrono::milliseconds(500));
    return 1;
}

// The frame callback then holds the last reference: if the window were left
// to wind down there, the capture thread would free its own device and
// return into a window that is gone. DestroyWindow ends the stream itself.
TEST(CaptureWindowLifetime, DestroyedUnderAFrameCallbackItsStreamEndsBeforeDestroyWindowReturns) {
    auto camera = std::make_shared<VirtualCamera>(std::vector<RgbPicture>{{4, 4, Bytes(48, 128)}},
                                                  VirtualFormat::yuy2, FrameSize{160, 120});
    set_installed_drivers(std::vector<std::shared_ptr<CaptureDriver>>{
        std::make_shared<WatchedDriver>(camera, [] { stream_ended = true; })});
    HWND window = register_capture_window(std::make_shared<CaptureServiceWindow>(nullptr, nullptr));
    capSetCallbackOnFrame(window, hold_window);
    capPreview(window, 1);
    ASSERT_NE(capDriverConnect(window, 0), 0);
    for (int ms = 0; ms < 30000 && !in_callback; ++ms)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(in_callback);
    EXPECT_NE(DestroyWindow(window), 0);
    EXPECT_TRUE(stream_ended);
    set_installed_drivers(std::nullopt);
}

}  // namespace
}  // namespace ostrel::test
