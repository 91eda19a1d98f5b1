// The V4L2 driver against a scripted device: what it reports, how it lays
// out frames, the calls it makes to stream, and a camera unplugged while
// streaming.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/v4l2_camera.h"
#include "watched_driver.h"

namespace ostrel::test {
namespace {

v4l2_pix_format pix(uint32_t pixel_format, uint32_t width, uint32_t height, uint32_t bytes_per_line) {
    v4l2_pix_format format = {};
    format.pixelformat = pixel_format;
    format.width = width;
    format.height = height;
    format.bytesperline = bytes_per_line;
    format.sizeimage = bytes_per_line * height;
    return format;
}

TEST(V4l2Formats, ReadableFormatsAreYuy2AndBottomUpRgbOthersKeepTheirFourcc) {
    struct Case {
        uint32_t pixel_format;
        DWORD compression;
        WORD bits;
        bool readable;
    };
    for (Case c :
         {Case{V4L2_PIX_FMT_YUYV, FOURCC_YUY2, 16, true}, Case{V4L2_PIX_FMT_BGR24, BI_RGB, 24, true},
          Case{V4L2_PIX_FMT_RGB24, BI_RGB, 24, true}, Case{V4L2_PIX_FMT_MJPEG, V4L2_PIX_FMT_MJPEG, 24, false},
          Case{V4L2_PIX_FMT_NV12, V4L2_PIX_FMT_NV12, 12, false},
          Case{V4L2_PIX_FMT_UYVY, V4L2_PIX_FMT_UYVY, 16, false},
          Case{V4L2_PIX_FMT_Y10, V4L2_PIX_FMT_Y10, 16, false}}) {
        SCOPED_TRACE(fourcc_name(c.pixel_format));
        const MappedFormat mapped = map_pixel_format(c.pixel_format, 640, 1280);
        EXPECT_EQ(mapped.compression, c.compression);
        EXPECT_EQ(mapped.bit_count, c.bits);
        EXPECT_EQ(mapped.readable, c.readable);
    }
    EXPECT_EQ(fourcc_name(V4L2_PIX_FMT_MJPEG), "MJPG");
    // MJPG is what the dialog's "%d %d" shows for most webcams.
    EXPECT_EQ(static_cast<int>(map_pixel_format(V4L2_PIX_FMT_MJPEG, 0, 0).compression), 1196444237);
    // Header sizes follow the delivered row layout.
    BITMAPINFOHEADER header = header_for(pix(V4L2_PIX_FMT_BGR24, 100, 10, 300));
    EXPECT_EQ(header.biWidth, 100);
    EXPECT_EQ(header.biHeight, 10);
    EXPECT_EQ(header.biSizeImage, 112u * 3 * 10);
    header = header_for(pix(V4L2_PIX_FMT_YUYV, 7, 3, 16));
    EXPECT_EQ(header.biSizeImage, 8u * 2 * 3);
    header = header_for(pix(V4L2_PIX_FMT_MJPEG, 640, 480, 0));
    EXPECT_EQ(header.biSizeImage, 0u);
}

TEST(V4l2Frames, FramesAreRearrangedIntoTheDeliveredLayout) {
    // 2 x 2 pixels, rows of 6 bytes of which 4 are pixels.
    const std::vector<uint8_t> captured = {1, 2, 3, 4, 99, 99, 5, 6, 7, 8, 99, 99};
    std::vector<uint8_t> out;
    ASSERT_TRUE(convert_frame(pix(V4L2_PIX_FMT_YUYV, 2, 2, 6), captured.data(), captured.size(), out));
    EXPECT_EQ(out, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
    // The last row needs no padding after it; one byte less is too short.
    ASSERT_TRUE(convert_frame(pix(V4L2_PIX_FMT_YUYV, 2, 2, 6), captured.data(), 10, out));
    EXPECT_FALSE(convert_frame(pix(V4L2_PIX_FMT_YUYV, 2, 2, 6), captured.data(), 9, out));

    // RGB: 2 x 2 pixels, top row first as V4L2 captures, turned bottom-up,
    // blue first, padded to sixteen pixels.
    const std::vector<uint8_t> top_down = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    ASSERT_TRUE(convert_frame(pix(V4L2_PIX_FMT_BGR24, 2, 2, 6), top_down.data(), top_down.size(), out));
    ASSERT_EQ(out.size(), 16u * 3 * 2);
    const std::vector<uint8_t> bottom_row(out.begin(), out.begin() + 6);
    const std::vector<uint8_t> top_row(out.begin() + 48, out.begin() + 54);
    EXPECT_EQ(bottom_row, (std::vector<uint8_t>{7, 8, 9, 10, 11, 12}));
    EXPECT_EQ(top_row, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(out[6], 0);
    EXPECT_EQ(out[47], 0);

    ASSERT_TRUE(convert_frame(pix(V4L2_PIX_FMT_RGB24, 2, 2, 6), top_down.data(), top_down.size(), out));
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 6),
              (std::vector<uint8_t>{9, 8, 7, 12, 11, 10}));
    EXPECT_FALSE(convert_frame(pix(V4L2_PIX_FMT_RGB24, 2, 2, 6), top_down.data(), 11, out));

    // Compressed frames pass as captured.
    ASSERT_TRUE(convert_frame(pix(V4L2_PIX_FMT_MJPEG, 2, 2, 0), top_down.data(), 5, out));
    EXPECT_EQ(out, (std::vector<uint8_t>{1, 2, 3, 4, 5}));
}

// A camera in memory: answers the ioctls a capture driver makes, records
// them, and hands out the frames the test queues. `unplug` makes it fail as
// a removed USB camera does.
class ScriptedCamera final : public V4l2Io {
  public:
    int open(const char* path, int) override {
        std::lock_guard lock(mutex_);
        calls.push_back(std::string("open ") + path);
        if (std::string(path) != "/dev/video2" || unplugged) {
            errno = ENOENT;
            return -1;
        }
        return 42;
    }
    int close(int fd) override {
        record("close " + std::to_string(fd));
        return 0;
    }
    int ioctl(int, unsigned long request, void* argument) override {
        std::lock_guard lock(mutex_);
        // A removed camera fails whatever it is still asked; the release of
        // its buffers is still noted.
        if (unplugged) {
            if (request == VIDIOC_REQBUFS)
                calls.push_back("REQBUFS " +
                                std::to_string(static_cast<v4l2_requestbuffers*>(argument)->count));
            return fail(ENODEV);
        }
        switch (request) {
            case VIDIOC_QUERYCAP: {
                calls.push_back("QUERYCAP");
                auto* capability = static_cast<v4l2_capability*>(argument);
                std::strcpy(reinterpret_cast<char*>(capability->card), "Test Cam");
                capability->version = 0x050A03;
                capability->capabilities = V4L2_CAP_DEVICE_CAPS | V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
                capability->device_caps = device_caps;
                return 0;
            }
            case VIDIOC_G_FMT:
                calls.push_back("G_FMT");
                static_cast<v4l2_format*>(argument)->fmt.pix = format;
                return 0;
            case VIDIOC_S_PARM:
                calls.push_back("S_PARM " + std::to_string(static_cast<v4l2_streamparm*>(argument)
                                                               ->parm.capture.timeperframe.numerator));
                return 0;
            case VIDIOC_REQBUFS: {
                auto* request_buffers = static_cast<v4l2_requestbuffers*>(argument);
                calls.push_back("REQBUFS " + std::to_string(request_buffers->count));
                if (request_buffers->count > 2) request_buffers->count = 2;
                return 0;
            }
            case VIDIOC_QUERYBUF: {
                auto* buffer = static_cast<v4l2_buffer*>(argument);
                calls.push_back("QUERYBUF " + std::to_string(buffer->index));
                buffer->length = static_cast<uint32_t>(memory[buffer->index].size());
                buffer->m.offset = buffer->index * 4096;
                return 0;
            }
            case VIDIOC_QBUF:
                calls.push_back("QBUF " + std::to_string(static_cast<v4l2_buffer*>(argument)->index));
                return 0;
            case VIDIOC_DQBUF: {
                if (frames.empty()) return fail(EAGAIN);
                auto* buffer = static_cast<v4l2_buffer*>(argument);
                buffer->index = next_buffer;
                next_buffer ^= 1;
                std::vector<uint8_t>& target = memory[buffer->index];
                std::copy(frames.front().begin(), frames.front().end(), target.begin());
                buffer->bytesused = static_cast<uint32_t>(frames.front().size());
                frames.pop_front();
                calls.push_back("DQBUF " + std::to_string(buffer->index));
                return 0;
            }
            case VIDIOC_ENUM_FMT: {
                auto* description = static_cast<v4l2_fmtdesc*>(argument);
                const char* names[] = {"YUYV 4:2:2", "Motion-JPEG"};
                if (description->index > 1) return fail(EINVAL);
                description->pixelformat = description->index == 0 ? V4L2_PIX_FMT_YUYV : V4L2_PIX_FMT_MJPEG;
                std::strcpy(reinterpret_cast<char*>(description->description), names[description->index]);
                return 0;
            }
            case VIDIOC_ENUM_FRAMESIZES: {
                auto* size = static_cast<v4l2_frmsizeenum*>(argument);
                if (size->pixel_format == V4L2_PIX_FMT_YUYV && size->index < 2) {
                    size->type = V4L2_FRMSIZE_TYPE_DISCRETE;
                    size->discrete =
                        size->index == 0 ? v4l2_frmsize_discrete{640, 480} : v4l2_frmsize_discrete{320, 240};
                    return 0;
                }
                if (size->pixel_format == V4L2_PIX_FMT_MJPEG && size->index == 0) {
                    size->type = V4L2_FRMSIZE_TYPE_STEPWISE;
                    size->stepwise = {160, 1280, 8, 120, 720, 8};
                    return 0;
                }
                return fail(EINVAL);
            }
            case VIDIOC_S_FMT: {
                v4l2_pix_format& wanted = static_cast<v4l2_format*>(argument)->fmt.pix;
                calls.push_back("S_FMT " + fourcc_name(wanted.pixelformat) + " " +
                                std::to_string(wanted.width) + "x" + std::to_string(wanted.height));
                format = pix(wanted.pixelformat, wanted.width, wanted.height, 0);
                wanted = format;
                return 0;
            }
            case VIDIOC_STREAMON:
                calls.push_back("STREAMON");
                return 0;
            case VIDIOC_STREAMOFF:
                calls.push_back("STREAMOFF");
                return 0;
            default:
                return fail(ENOTTY);
        }
    }
    void* mmap(size_t length, int, off_t offset) override {
        std::lock_guard lock(mutex_);
        calls.push_back("mmap " + std::to_string(offset));
        return length == memory[offset / 4096].size() ? memory[offset / 4096].data() : MAP_FAILED;
    }
    int munmap(void* address, size_t) override {
        record(std::string("munmap ") + (address == memory[0].data() ? "0" : "1"));
        return 0;
    }
    int poll(int, short& revents, int wake_fd, short& wake_revents, int) override {
        // The wake-up is a real eventfd; frames and unplugging are ours.
        pollfd wake = {wake_fd, POLLIN, 0};
        for (wake_revents = 0;;) {
            {
                std::lock_guard lock(mutex_);
                revents = unplugged ? POLLERR : frames.empty() ? 0 : POLLIN;
            }
            if (revents != 0) return 1;
            if (::poll(&wake, 1, 5) > 0) {
                wake_revents = wake.revents;
                return 1;
            }
        }
    }

    void queue_frame(std::vector<uint8_t> frame) {
        std::lock_guard lock(mutex_);
        frames.push_back(std::move(frame));
    }
    void unplug() {
        std::lock_guard lock(mutex_);
        unplugged = true;
    }
    std::vector<std::string> take_calls() {
        std::lock_guard lock(mutex_);
        return std::exchange(calls, {});
    }

    uint32_t device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    v4l2_pix_format format = pix(V4L2_PIX_FMT_YUYV, 4, 2, 8);
    std::vector<uint8_t> memory[2] = {std::vector<uint8_t>(16), std::vector<uint8_t>(16)};

  private:
    void record(std::string call) {
        std::lock_guard lock(mutex_);
        calls.push_back(std::move(call));
    }
    int fail(int error) {
        errno = error;
        return -1;
    }

    std::mutex mutex_;
    std::vector<std::string> calls;
    std::deque<std::vector<uint8_t>> frames;
    bool unplugged = false;
    uint32_t next_buffer = 0;
};

struct Frames {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<std::vector<uint8_t>> seen;

    FrameSink sink() {
        return [this](const uint8_t* data, size_t bytes) {
            std::lock_guard lock(mutex);
            seen.emplace_back(data, data + bytes);
            arrived.notify_all();
        };
    }
    bool wait_for(size_t count) {
        std::unique_lock lock(mutex);
        return arrived.wait_for(lock, std::chrono::seconds(30), [&] { return seen.size() >= count; });
    }
};

TEST(V4l2Camera, CamerasAreFoundByQueryingCapabilities) {
    ScriptedCamera camera;
    auto found = find_v4l2_cameras(camera, 10);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0]->name(), "Test Cam");
    EXPECT_EQ(found[0]->version(), "5.10.3");
    const std::vector<std::string> calls = camera.take_calls();
    EXPECT_EQ(calls.front(), "open /dev/video0");
    EXPECT_EQ(calls.back(), "open /dev/video9");

    // A device node that does not capture (a metadata node) is no camera.
    camera.device_caps = V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING;
    EXPECT_TRUE(find_v4l2_cameras(camera, 10).empty());
}

TEST(V4l2Camera, StreamsThroughMappedBuffersAndReleasesThemOnStop) {
    ScriptedCamera camera;
    auto driver = V4l2Camera::probe(camera, "/dev/video2");
    ASSERT_NE(driver, nullptr);
    camera.take_calls();
    auto device = driver->open();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->format().biCompression, FOURCC_YUY2);
    device->set_frame_interval(100000);

    Frames frames;
    ASSERT_TRUE(device->start(frames.sink()));
    // Rows of 8 bytes: nothing to take away here.
    camera.queue_frame({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
    camera.queue_frame({16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1});
    ASSERT_TRUE(frames.wait_for(2));
    device->stop();
    EXPECT_EQ(frames.seen[1][0], 16);

    const std::vector<std::string> expected = {
        "open /dev/video2", "G_FMT",     "S_PARM 100000", "REQBUFS 4", "QUERYBUF 0", "mmap 0", "QBUF 0",
        "QUERYBUF 1",       "mmap 4096", "QBUF 1",        "STREAMON",  "DQBUF 0",    "QBUF 0", "DQBUF 1",
        "QBUF 1",           "STREAMOFF", "munmap 0",      "munmap 1",  "REQBUFS 0"};
    EXPECT_EQ(camera.take_calls(), expected);
    device.reset();
    EXPECT_EQ(camera.take_calls(), std::vector<std::string>{"close 42"});
}

std::atomic<int> window_frames{0};

LRESULT count_window_frame(HWND, VIDEOHDR*) {
    ++window_frames;
    return 1;
}

// The capture window over a camera pulled out mid-stream: the stream ends
// by itself, no frame reaches the callback after it, the window goes on
// answering what the dialog asks until it disconnects, and the buffers are
// then unmapped and the device closed.
TEST(V4l2Camera, UnpluggedCameraEndsItsStreamAndTheWindowKeepsAnsweringUntilDisconnected) {
    ScriptedCamera camera;
    auto events = std::make_shared<StreamEvents>();
    std::atomic<int> streams_ended{0};
    events->on_stream_end = [&] { ++streams_ended; };
    set_installed_drivers(std::vector<std::shared_ptr<CaptureDriver>>{
        std::make_shared<WatchedDriver>(V4l2Camera::probe(camera, "/dev/video2"), events)});
    HWND window = register_capture_window(std::make_shared<CaptureServiceWindow>(nullptr, nullptr));
    window_frames = 0;
    capSetCallbackOnFrame(window, count_window_frame);
    capPreview(window, 1);
    ASSERT_NE(capDriverConnect(window, 0), 0);
    camera.queue_frame(std::vector<uint8_t>(16, 7));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (window_frames == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(window_frames, 1);

    camera.unplug();
    while (streams_ended == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(streams_ended, 1) << "the stream did not end by itself";
    camera.queue_frame(std::vector<uint8_t>(16, 8));

    // The format it had is still known; the settings find no formats to
    // offer, and a new frame interval cannot restart the stream.
    EXPECT_EQ(capGetVideoFormatSize(window), sizeof(BITMAPINFOHEADER));
    int dialogs = 0;
    set_format_dialog([&](void*, const std::vector<FormatOption>& options, const FormatChoice&) {
        ++dialogs;
        EXPECT_TRUE(options.empty());
        return std::optional<FormatChoice>(FormatChoice{0, {4, 2}});
    });
    EXPECT_NE(capDlgVideoFormat(window), 0);
    EXPECT_EQ(dialogs, 1);
    CAPTUREPARMS parms = {};
    capCaptureGetSetup(window, &parms, sizeof parms);
    parms.dwRequestMicroSecPerFrame = 100000;
    EXPECT_NE(capCaptureSetSetup(window, &parms, sizeof parms), 0);
    EXPECT_EQ(window_frames, 1) << "a frame after the camera was unplugged";

    EXPECT_NE(capDriverDisconnect(window), 0);
    const std::vector<std::string> calls = camera.take_calls(),
                                   released = {"munmap 0", "munmap 1", "REQBUFS 0"};
    EXPECT_NE(std::search(calls.begin(), calls.end(), released.begin(), released.end()), calls.end());
    EXPECT_EQ(calls.back(), "close 42");
    EXPECT_EQ(capGetVideoFormatSize(window), 0u);
    EXPECT_EQ(capDriverConnect(window, 0), 0) << "the camera is gone";
    DestroyWindow(window);
    set_format_dialog(nullptr);
    set_installed_drivers(std::nullopt);
}

TEST(V4l2Camera, FormatDialogListsFormatsWithTheirSizesAndAppliesTheChoice) {
    ScriptedCamera camera;
    auto device = V4l2Camera::probe(camera, "/dev/video2")->open();
    ASSERT_NE(device, nullptr);
    const std::vector<FormatOption> options = device->format_options();
    ASSERT_EQ(options.size(), 2u);
    EXPECT_EQ(options[0].name, "YUYV YUYV 4:2:2");
    EXPECT_EQ(options[0].sizes, (std::vector<FrameSize>{{640, 480}, {320, 240}}));
    // A range of sizes offers the common sizes inside it and its largest.
    EXPECT_EQ(options[1].sizes,
              (std::vector<FrameSize>{{160, 120}, {320, 240}, {640, 480}, {800, 600}, {1280, 720}}));
    EXPECT_EQ(device->current_choice().option, 0u);

    camera.take_calls();
    ASSERT_TRUE(device->set_format(options[1], {800, 600}));
    EXPECT_EQ(camera.take_calls(), std::vector<std::string>{"S_FMT MJPG 800x600"});
    EXPECT_EQ(device->format().biCompression, V4L2_PIX_FMT_MJPEG);
    EXPECT_EQ(device->current_choice().option, 1u);
    EXPECT_EQ(device->current_choice().size, (FrameSize{800, 600}));
}

}  // namespace
}  // namespace ostrel::test
