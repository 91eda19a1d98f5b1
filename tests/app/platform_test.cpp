// The platform layer: V4L2 cameras against a scripted device, a capture
// window destroyed under a frame callback, the virtual camera, and window
// texts.
#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fakes.h"
#include "platform/text_codec.h"

namespace ostrel::test {
namespace {

// ---- V4L2 cameras and the capture window ----

using Bytes = std::vector<uint8_t>;

// A camera in memory at /dev/video2 sending `native` at 4 x 2 (YUYV rows
// padded to 8 bytes) or 2 x 2: the queued frames, through two 16-byte buffers.
struct Device {
    std::mutex mutex;
    uint32_t device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    uint32_t native = V4L2_PIX_FMT_YUYV;
    bool stepwise = false;  // sizes as a range, 100 x 100 to 700 x 500 in steps of 10
    std::deque<Bytes> frames;
    int mapped = 0;
    bool released = false;
    uint32_t next_buffer = 0;
    Bytes memory[2] = {Bytes(16), Bytes(16)};
} device;

int fail(int error) {
    errno = error;
    return -1;
}

int scripted_ioctl(int, unsigned long request, void* argument) {
    std::lock_guard lock(device.mutex);
    auto* buffer = static_cast<v4l2_buffer*>(argument);
    auto* pix = &static_cast<v4l2_format*>(argument)->fmt.pix;
    switch (request) {
        case VIDIOC_QUERYCAP: {
            auto* capability = static_cast<v4l2_capability*>(argument);
            std::strcpy(reinterpret_cast<char*>(capability->card), "Test Cam");
            capability->version = 0x050A03;
            capability->capabilities = V4L2_CAP_DEVICE_CAPS | V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
            capability->device_caps = device.device_caps;
            return 0;
        }
        case VIDIOC_ENUM_FMT: {  // the native format, then one libv4l2 makes from it
            auto* description = static_cast<v4l2_fmtdesc*>(argument);
            if (description->index > 1) return fail(EINVAL);
            description->pixelformat = description->index == 0 ? device.native : V4L2_PIX_FMT_BGR24;
            description->flags = description->index == 0 ? 0 : V4L2_FMT_FLAG_EMULATED;
            return 0;
        }
        case VIDIOC_ENUM_FRAMESIZES: {
            auto* size = static_cast<v4l2_frmsizeenum*>(argument);
            if (size->index > (device.stepwise ? 0u : 1u) || size->pixel_format != device.native)
                return fail(EINVAL);
            size->type = device.stepwise ? V4L2_FRMSIZE_TYPE_STEPWISE : V4L2_FRMSIZE_TYPE_DISCRETE;
            if (device.stepwise) size->stepwise = {100, 700, 10, 100, 500, 10};
            if (!device.stepwise) size->discrete = {size->index == 0 ? 4u : 2u, 2};
            return 0;
        }
        case VIDIOC_G_FMT:
            *pix = {};
            pix->width = 4;
            pix->height = 2;
            pix->pixelformat = device.native;
            [[fallthrough]];
        case VIDIOC_S_FMT:
            pix->bytesperline = pix->pixelformat == V4L2_PIX_FMT_YUYV ? 8 : pix->width * 3;
            return 0;
        case VIDIOC_REQBUFS: {
            auto* buffers = static_cast<v4l2_requestbuffers*>(argument);
            device.released |= buffers->count == 0;
            buffers->count = std::min(buffers->count, 2u);
            return 0;
        }
        case VIDIOC_QUERYBUF:
            buffer->length = 16;
            buffer->m.offset = buffer->index * 4096;
            return 0;
        case VIDIOC_DQBUF:
            if (device.frames.empty()) return fail(EAGAIN);
            buffer->index = std::exchange(device.next_buffer, device.next_buffer ^ 1);
            std::copy(device.frames.front().begin(), device.frames.front().end(),
                      device.memory[buffer->index].begin());
            buffer->bytesused = static_cast<uint32_t>(device.frames.front().size());
            device.frames.pop_front();
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

void install_scripted_device() {
    v4l2_calls.open = [](const char* path, int) {
        return std::string(path) == "/dev/video2" ? 42 : fail(ENOENT);
    };
    v4l2_calls.close = [](int) { return 0; };
    v4l2_calls.ioctl = scripted_ioctl;
    v4l2_calls.mmap = [](size_t length, int, int64_t offset) -> void* {
        std::lock_guard lock(device.mutex);
        ++device.mapped;
        return length == 16 ? device.memory[offset / 4096].data() : MAP_FAILED;
    };
    v4l2_calls.munmap = [](void*, size_t) {
        std::lock_guard lock(device.mutex);
        --device.mapped;
        return 0;
    };
    v4l2_calls.poll = [](int, int) {
        std::lock_guard lock(device.mutex);
        return device.frames.empty() ? 0 : 1;
    };
}

// Starts the camera, sends `captured` and returns what it delivered; the
// buffers must be given back on stop.
Bytes delivered(Camera& camera, const Bytes& captured, int frames = 1) {
    EXPECT_TRUE(camera.start(100000));
    {
        std::lock_guard lock(device.mutex);
        device.frames.push_back(captured);
    }
    Bytes frame;
    EXPECT_EQ(camera.next_frame(frame, 0), frames);
    camera.stop();
    std::lock_guard lock(device.mutex);
    EXPECT_EQ(device.mapped, 0);
    EXPECT_TRUE(std::exchange(device.released, false)) << "the buffers were not given back";
    return frame;
}

TEST(V4l2Camera, OffersYuy2WhereTheCameraSendsItAndRgb24AtEverySize) {
    const V4l2Calls real = v4l2_calls;
    install_scripted_device();
    // A node that does not capture (a metadata node) is no camera.
    device.device_caps = V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING;
    EXPECT_TRUE(find_v4l2_cameras(10).empty());
    device.device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;

    for (const uint32_t native : {V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_MJPEG}) {
        SCOPED_TRACE(native);
        device.native = native;
        std::vector<CameraDriver> found = find_v4l2_cameras(10);
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0].name, "Test Cam");
        EXPECT_EQ(found[0].version, "5.10.3");
        std::unique_ptr<Camera> camera = found[0].open();
        ASSERT_NE(camera, nullptr);
        const bool yuyv = native == V4L2_PIX_FMT_YUYV;
        // A camera that sends only MJPG starts in RGB24, which libv4l2 makes.
        EXPECT_EQ(camera->mode(), yuyv ? yuy2_mode(4, 2) : rgb24_mode(4, 2));
        std::vector<VideoMode> expected = {rgb24_mode(4, 2), rgb24_mode(2, 2)};
        if (yuyv) expected.insert(expected.begin(), {yuy2_mode(4, 2), yuy2_mode(2, 2)});
        EXPECT_EQ(camera->modes(), expected);
    }

    // A range offers the common sizes inside it, and its largest.
    device.native = V4L2_PIX_FMT_YUYV;
    device.stepwise = true;
    EXPECT_EQ(find_v4l2_cameras(10)[0].open()->modes(),
              (std::vector<VideoMode>{yuy2_mode(160, 120), yuy2_mode(320, 240), yuy2_mode(640, 480),
                                      yuy2_mode(700, 500), rgb24_mode(160, 120), rgb24_mode(320, 240),
                                      rgb24_mode(640, 480), rgb24_mode(700, 500)}));
    device.stepwise = false;

    // YUYV rows lose the driver's padding; BGR24 rows are turned bottom-up
    // and padded to sixteen pixels.
    std::unique_ptr<Camera> camera = find_v4l2_cameras(10)[0].open();
    const Bytes yuyv = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    EXPECT_EQ(delivered(*camera, yuyv), yuyv);
    ASSERT_TRUE(camera->set_mode(rgb24_mode(2, 2)));
    const Bytes frame = delivered(*camera, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
    ASSERT_EQ(frame.size(), 16u * 3 * 2);
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 6), (Bytes{7, 8, 9, 10, 11, 12}));
    EXPECT_EQ(Bytes(frame.begin() + 48, frame.begin() + 54), (Bytes{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(frame[47], 0);
    // A frame shorter than its rows is not delivered.
    EXPECT_TRUE(delivered(*camera, Bytes(11, 1), 0).empty());
    v4l2_calls = real;
}

std::atomic<bool> in_callback = false;

// Holds the capture thread in the frame callback for a while, on the first
// frame only.
LRESULT hold_window(HWND, VIDEOHDR*) {
    if (!in_callback.exchange(true)) std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return 1;
}

// DestroyWindow ends the stream, waiting for the callback under way, before
// the window is freed; the camera's end is seen before it returns.
TEST(CaptureWindowLifetime, DestroyedUnderAFrameCallbackItsStreamEndsBeforeDestroyWindowReturns) {
    auto script = std::make_shared<CameraScript>();
    script->frame.assign(128, 0);
    script->frames_left = 50;
    set_camera_drivers(scripted_driver(script));
    HWND window = capCreateCaptureWindowA("test", 0, 0, 0, 0, 0, nullptr, 0);
    capSetCallbackOnFrame(window, hold_window);
    capPreview(window, 1);
    ASSERT_NE(capDriverConnect(window, 0), 0);
    ASSERT_TRUE(eventually([] { return in_callback.load(); }));
    EXPECT_NE(DestroyWindow(window), 0);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(SendMessageA(window, WM_CAP_GET_VIDEOFORMAT, 0, 0), 0);
    std::lock_guard lock(script->mutex);
    EXPECT_GT(script->frames_left, 0) << "frames were still taken after DestroyWindow";
    set_camera_drivers(std::nullopt);
}

// ---- The virtual camera as the environment asks for it ----

namespace fs = std::filesystem;

// The centre pixel of a frame as the screen shows it.
uint8_t centre_red(const VideoMode& mode, const std::vector<uint8_t>& frame) {
    const std::optional<PreviewPicture> picture = preview_of(mode, frame);
    return picture ? picture->rgb[(static_cast<size_t>(mode.height / 2) * mode.width + mode.width / 2) * 3]
                   : 128;  // mid grey, neither dark nor light, when the frame does not show
}

TEST(VirtualCamera, PlaysAFoldersPicturesInNameOrderInTheModeAskedFor) {
    const fs::path folder = fs::path(::testing::TempDir()) / "ostrel-virtual-camera";
    fs::remove_all(folder);
    fs::create_directories(folder);
    std::ofstream(folder / "b.pgm", std::ios::binary) << "P5\n3 2\n255\n" << std::string(6, '\xf0');
    std::ofstream(folder / "a.pgm", std::ios::binary) << "P5\n5 2\n255\n" << std::string(10, '\x10');
    std::ofstream(folder / "notes.txt") << "not a picture";
    setenv("OSTREL_VIRTUAL_CAMERA", folder.c_str(), 1);
    for (const VideoMode mode : {yuy2_mode(160, 120), rgb24_mode(320, 240)}) {
        const std::string format = mode.compression == FOURCC_YUY2 ? "YUY2 160x120" : "RGB24 320x240";
        SCOPED_TRACE(format);
        setenv("OSTREL_VIRTUAL_CAMERA_FORMAT", format.c_str(), 1);
        std::optional<CameraDriver> driver = virtual_camera_from_environment();
        ASSERT_TRUE(driver.has_value());
        std::unique_ptr<Camera> camera = driver->open();
        EXPECT_EQ(camera->mode(), mode);
        ASSERT_TRUE(camera->start(1000));
        std::vector<uint8_t> frame;
        std::vector<int> centres;
        for (int k = 0; k < 3; ++k) {
            ASSERT_EQ(camera->next_frame(frame, 1000), 1);
            EXPECT_EQ(frame.size(), header_of(mode).biSizeImage);
            centres.push_back(centre_red(mode, frame));
        }
        EXPECT_LT(centres[0], 40);
        EXPECT_GT(centres[1], 210);
        EXPECT_LT(centres[2], 40);
    }
    unsetenv("OSTREL_VIRTUAL_CAMERA_FORMAT");

    setenv("OSTREL_VIRTUAL_CAMERA", (folder / "missing.png").c_str(), 1);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(virtual_camera_from_environment().has_value());
    EXPECT_NE(testing::internal::GetCapturedStderr().find("OSTREL_VIRTUAL_CAMERA: "), std::string::npos);
    unsetenv("OSTREL_VIRTUAL_CAMERA");
    EXPECT_FALSE(virtual_camera_from_environment().has_value());
    fs::remove_all(folder);
}

// ---- Window texts in the window system's UTF-8 ----

TEST(WindowTexts, Utf8IsKeptAndAnythingElseIsCodePage932) {
    struct Case {
        std::string bytes, utf8;
    };
    for (const Case& c : {
             Case{"カメラが見つかりません。 ✓ 😀", "カメラが見つかりません。 ✓ 😀"},
             Case{"\x81\x7E\x81\xA2\x81\x9B", "×△○"},  // the indicator's three byte pairs
             // Kanji as a QR Code Kanji segment gives them, with ASCII around.
             Case{"QR\x83\x52\x81\x5B\x83\x68 \x93\xfa\x96\x7b", "QRコード 日本"},
             Case{"\x87\x40", "①"},   // code page 932 rather than plain Shift JIS: NEC special characters
             Case{"\xB1\xB2", "ｱｲ"},  // half-width katakana are single bytes
             Case{"A\x83", "A\xEF\xBF\xBD"},  // neither: a lead byte with nothing after it is marked
         })
        EXPECT_EQ(window_text_to_utf8(c.bytes), c.utf8);
}

}  // namespace
}  // namespace ostrel::test
