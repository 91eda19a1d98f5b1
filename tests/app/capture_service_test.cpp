// The capture window against a scripted driver: connection, the format
// messages, the frame callback's lifetime, the capture parameters, the
// format dialog, and the pictures it previews.
#include "platform/capture_service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ostrel::test {
namespace {

BITMAPINFOHEADER yuy2_format(FrameSize size) {
    BITMAPINFOHEADER header = {};
    header.biSize = sizeof header;
    header.biWidth = size.width;
    header.biHeight = size.height;
    header.biBitCount = 16;
    header.biCompression = FOURCC_YUY2;
    return header;
}

// A device that delivers frames only when the test pushes them.
class ScriptedDevice final : public CaptureDevice {
  public:
    explicit ScriptedDevice(std::vector<std::string>& log) : log_(log) {}
    BITMAPINFOHEADER format() override { return yuy2_format(size_); }
    std::vector<FormatOption> format_options() override {
        return {{"YUY2", 7, {{4, 2}, {8, 4}}}, {"MJPG", 9, {{8, 4}}}};
    }
    FormatChoice current_choice() override { return {0, size_}; }
    bool set_format(const FormatOption& option, FrameSize size) override {
        log_.push_back("set_format " + option.name + " " + std::to_string(size.width) +
                       (sink_ ? " streaming" : ""));
        size_ = size;
        return true;
    }
    void set_frame_interval(uint32_t microseconds) override {
        log_.push_back("interval " + std::to_string(microseconds));
    }
    bool start(FrameSink sink) override {
        log_.push_back("start");
        sink_ = std::move(sink);
        return true;
    }
    void stop() override {
        if (sink_) log_.push_back("stop");
        sink_ = nullptr;
    }
    // Delivers a frame as the capture thread would; false when not streaming.
    bool push(std::vector<uint8_t> frame) {
        if (!sink_) return false;
        sink_(frame.data(), frame.size());
        return true;
    }

  private:
    std::vector<std::string>& log_;
    FrameSize size_ = {4, 2};
    FrameSink sink_;
};

class ScriptedDriver final : public CaptureDriver {
  public:
    std::string name() override { return "Scripted camera with a long name"; }
    std::string version() override { return "2.1"; }
    std::unique_ptr<CaptureDevice> open() override {
        log.push_back("open");
        auto device = std::make_unique<ScriptedDevice>(log);
        opened = device.get();
        return device;
    }
    std::vector<std::string> log;
    ScriptedDevice* opened = nullptr;
};

class RecordingSurface final : public PreviewSurface {
  public:
    void present(std::shared_ptr<const PreviewImage> image) override { images.push_back(std::move(image)); }
    std::vector<std::shared_ptr<const PreviewImage>> images;
};

struct Delivery {
    std::mutex mutex;
    std::vector<std::vector<uint8_t>> frames;
};
Delivery delivered;

LRESULT record_frame(HWND, VIDEOHDR* header) {
    std::lock_guard lock(delivered.mutex);
    delivered.frames.emplace_back(header->lpData, header->lpData + header->dwBytesUsed);
    return 1;
}

class CaptureServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        driver_ = std::make_shared<ScriptedDriver>();
        set_installed_drivers(std::vector<std::shared_ptr<CaptureDriver>>{driver_});
        delivered.frames.clear();
        auto surface = std::make_unique<RecordingSurface>();
        surface_ = surface.get();
        window_ =
            register_capture_window(std::make_shared<CaptureServiceWindow>(std::move(surface), nullptr));
    }
    void TearDown() override {
        DestroyWindow(window_);
        set_installed_drivers(std::nullopt);
        set_format_dialog(nullptr);
    }
    size_t frames_seen() {
        std::lock_guard lock(delivered.mutex);
        return delivered.frames.size();
    }

    std::shared_ptr<ScriptedDriver> driver_;
    RecordingSurface* surface_ = nullptr;
    HWND window_ = nullptr;
};

TEST_F(CaptureServiceTest, DriverDescriptionsAreCutToTheBuffersAndEndAtTheLastDriver) {
    char name[8];
    char version[16];
    EXPECT_NE(capGetDriverDescriptionA(0, name, sizeof name, version, sizeof version), 0);
    EXPECT_STREQ(name, "Scripte");
    EXPECT_STREQ(version, "2.1");
    EXPECT_EQ(capGetDriverDescriptionA(1, name, sizeof name, version, sizeof version), 0);
}

TEST_F(CaptureServiceTest, FormatIsKnownOnlyWhileConnected) {
    EXPECT_EQ(capGetVideoFormatSize(window_), 0u);
    EXPECT_EQ(capDriverConnect(window_, 1), 0);
    ASSERT_NE(capDriverConnect(window_, 0), 0);
    ASSERT_EQ(capGetVideoFormatSize(window_), sizeof(BITMAPINFOHEADER));
    BITMAPINFO format = {};
    EXPECT_EQ(capGetVideoFormat(window_, &format, sizeof format), sizeof(BITMAPINFOHEADER));
    EXPECT_EQ(format.bmiHeader.biCompression, FOURCC_YUY2);
    EXPECT_EQ(format.bmiHeader.biWidth, 4);
    // A buffer too small for the header gets what fits, and says so.
    BITMAPINFOHEADER part = {};
    EXPECT_EQ(capGetVideoFormat(window_, &part, 8), 8u);
    EXPECT_EQ(part.biWidth, 4);
    EXPECT_EQ(part.biHeight, 0);

    EXPECT_NE(capDriverDisconnect(window_), 0);
    EXPECT_EQ(capGetVideoFormatSize(window_), 0u);
    EXPECT_EQ(capDriverDisconnect(window_), 0);
    EXPECT_EQ(driver_->log, (std::vector<std::string>{"open", "interval 66667", "start", "stop"}));
}

TEST_F(CaptureServiceTest, FramesReachTheCallbackOnlyWhilePreviewingWithACallback) {
    ASSERT_NE(capDriverConnect(window_, 0), 0);
    ScriptedDevice* device = driver_->opened;
    const std::vector<uint8_t> frame(16, 0x80);
    capSetCallbackOnFrame(window_, record_frame);
    ASSERT_TRUE(device->push(frame));
    EXPECT_EQ(frames_seen(), 0u) << "no preview yet";

    capPreview(window_, 1);
    ASSERT_TRUE(device->push(frame));
    EXPECT_EQ(frames_seen(), 1u);
    EXPECT_EQ(delivered.frames[0], frame);

    capSetCallbackOnFrame(window_, nullptr);
    ASSERT_TRUE(device->push(frame));
    EXPECT_EQ(frames_seen(), 1u);
}

TEST_F(CaptureServiceTest, PreviewIsPaintedAtMostOncePerPreviewInterval) {
    ASSERT_NE(capDriverConnect(window_, 0), 0);
    capPreview(window_, 1);
    capPreviewRate(window_, 60000);
    // YUY2 4 x 2: white then black pixels.
    std::vector<uint8_t> frame = {235, 128, 235, 128, 16, 128, 16, 128, 235, 128, 235, 128, 16, 128, 16, 128};
    ASSERT_TRUE(driver_->opened->push(frame));
    ASSERT_TRUE(driver_->opened->push(frame));
    ASSERT_EQ(surface_->images.size(), 1u);
    const PreviewImage& image = *surface_->images[0];
    EXPECT_EQ(image.width, 4);
    EXPECT_EQ(image.height, 2);
    EXPECT_EQ(image.rgb[0], 255);
    EXPECT_EQ(image.rgb[3 * 2], 0);
}

TEST_F(CaptureServiceTest, CaptureParametersAreReadBackAndANewFrameIntervalRestartsTheStream) {
    ASSERT_NE(capDriverConnect(window_, 0), 0);
    CAPTUREPARMS parms;
    std::memset(&parms, 0xAB, sizeof parms);
    ASSERT_NE(capCaptureGetSetup(window_, &parms, sizeof parms), 0);
    EXPECT_EQ(parms.dwRequestMicroSecPerFrame, 66667u);
    EXPECT_EQ(parms.fAbortLeftMouse, 1);
    driver_->log.clear();

    parms.wPercentDropForError = 100;
    ASSERT_NE(capCaptureSetSetup(window_, &parms, sizeof parms), 0);
    EXPECT_TRUE(driver_->log.empty()) << "same interval, no restart";
    parms.dwRequestMicroSecPerFrame = 100000;
    ASSERT_NE(capCaptureSetSetup(window_, &parms, sizeof parms), 0);
    EXPECT_EQ(driver_->log, (std::vector<std::string>{"stop", "interval 100000", "start"}));
    CAPTUREPARMS again = {};
    capCaptureGetSetup(window_, &again, sizeof again);
    EXPECT_EQ(std::memcmp(&again, &parms, sizeof parms), 0);
    EXPECT_EQ(capCaptureSetSetup(window_, &parms, 95), 0);
}

TEST_F(CaptureServiceTest, FormatDialogChoiceIsAppliedWithTheStreamStopped) {
    EXPECT_EQ(capDlgVideoFormat(window_), 0) << "not connected";
    ASSERT_NE(capDriverConnect(window_, 0), 0);
    std::vector<std::string> offered;
    set_format_dialog([&](void*, const std::vector<FormatOption>& options, const FormatChoice& current) {
        for (const FormatOption& option : options) offered.push_back(option.name);
        EXPECT_EQ(current.size, (FrameSize{4, 2}));
        return std::optional<FormatChoice>(FormatChoice{1, {8, 4}});
    });
    driver_->log.clear();
    EXPECT_NE(capDlgVideoFormat(window_), 0);
    EXPECT_EQ(offered, (std::vector<std::string>{"YUY2", "MJPG"}));
    EXPECT_EQ(driver_->log,
              (std::vector<std::string>{"stop", "set_format MJPG 8", "interval 66667", "start"}));
    BITMAPINFOHEADER format = {};
    capGetVideoFormat(window_, &format, sizeof format);
    EXPECT_EQ(format.biWidth, 8);

    // Cancelled: nothing changes.
    set_format_dialog([](void*, const std::vector<FormatOption>&, const FormatChoice&) {
        return std::optional<FormatChoice>();
    });
    driver_->log.clear();
    EXPECT_NE(capDlgVideoFormat(window_), 0);
    EXPECT_TRUE(driver_->log.empty());
}

// A device with a capture thread of its own, delivering until stopped; it
// notes the thread it is destroyed on.
struct DeviceLife {
    std::mutex mutex;
    std::condition_variable changed;
    bool stop_requested = false;
    bool in_callback = false;
    bool destroyed = false;
    std::thread::id destroyed_on;
};

std::shared_ptr<DeviceLife> held_device;

class ThreadedDevice final : public CaptureDevice {
  public:
    explicit ThreadedDevice(std::shared_ptr<DeviceLife> life) : life_(std::move(life)) {}
    ~ThreadedDevice() override {
        stop();
        std::lock_guard lock(life_->mutex);
        life_->destroyed = true;
        life_->destroyed_on = std::this_thread::get_id();
        life_->changed.notify_all();
    }
    BITMAPINFOHEADER format() override { return yuy2_format({4, 2}); }
    std::vector<FormatOption> format_options() override { return {}; }
    FormatChoice current_choice() override { return {}; }
    bool set_format(const FormatOption&, FrameSize) override { return false; }
    void set_frame_interval(uint32_t) override {}
    bool start(FrameSink sink) override {
        // The thread touches only the shared record, never the device.
        thread_ = std::thread([life = life_, sink = std::move(sink)] {
            const std::vector<uint8_t> frame(16, 0x80);
            for (;;) {
                {
                    std::unique_lock lock(life->mutex);
                    if (life->changed.wait_for(lock, std::chrono::milliseconds(1),
                                               [&] { return life->stop_requested; }))
                        return;
                }
                sink(frame.data(), frame.size());
            }
        });
        return true;
    }
    void stop() override {
        {
            std::lock_guard lock(life_->mutex);
            life_->stop_requested = true;
            life_->changed.notify_all();
        }
        if (thread_.joinable())
            thread_.get_id() == std::this_thread::get_id() ? thread_.detach() : thread_.join();
    }

  private:
    std::shared_ptr<DeviceLife> life_;
    std::thread thread_;
};

class ThreadedDriver final : public CaptureDriver {
  public:
    std::string name() override { return "Threaded"; }
    std::string version() override { return "1"; }
    std::unique_ptr<CaptureDevice> open() override { return std::make_unique<ThreadedDevice>(held_device); }
};

std::atomic<bool> first_frame{true};

// The first frame holds the window as a message in flight would, until the
// stream is asked to stop (or two seconds have passed).
LRESULT hold_window(HWND window, VIDEOHDR*) {
    if (!first_frame.exchange(false)) return 1;
    std::shared_ptr<CaptureWindow> held = find_window(window);
    std::unique_lock lock(held_device->mutex);
    held_device->in_callback = true;
    held_device->changed.notify_all();
    held_device->changed.wait_for(lock, std::chrono::seconds(2), [] { return held_device->stop_requested; });
    return 1;
}

TEST(CaptureWindowLifetime, WindowDestroyedDuringAFrameCallbackStopsItsStreamOnTheDestroyingThread) {
    held_device = std::make_shared<DeviceLife>();
    first_frame = true;
    set_installed_drivers(std::vector<std::shared_ptr<CaptureDriver>>{std::make_shared<ThreadedDriver>()});
    HWND window = register_capture_window(std::make_shared<CaptureServiceWindow>(nullptr, nullptr));
    capSetCallbackOnFrame(window, hold_window);
    capPreview(window, 1);
    ASSERT_NE(capDriverConnect(window, 0), 0);
    {
        std::unique_lock lock(held_device->mutex);
        ASSERT_TRUE(held_device->changed.wait_for(lock, std::chrono::seconds(30),
                                                  [] { return held_device->in_callback; }));
    }

    // Still connected, a frame callback under way: the capture thread must
    // not be the one to let go of the window, or it would free its own
    // device and return into a window that is gone.
    EXPECT_NE(DestroyWindow(window), 0);
    {
        std::unique_lock lock(held_device->mutex);
        ASSERT_TRUE(held_device->changed.wait_for(lock, std::chrono::seconds(30),
                                                  [] { return held_device->destroyed; }));
        EXPECT_EQ(held_device->destroyed_on, std::this_thread::get_id());
    }
    EXPECT_EQ(IsWindow(window), 0);
    set_installed_drivers(std::nullopt);
    held_device.reset();
}

TEST(CaptureWindowCreation, ChildWindowNeedsAnExistingParent) {
    EXPECT_EQ(capCreateCaptureWindowA("Camera", WS_CHILD | WS_VISIBLE, 0, 0, 10, 10, nullptr, 0), nullptr);
    int host_object = 0;
    HWND parent = register_capture_window(std::make_shared<NativeWindow>(&host_object));
    void* seen_parent = nullptr;
    set_preview_surface_factory([&](void* native, int, int, int width, int height) {
        seen_parent = native;
        EXPECT_EQ(width, 10);
        EXPECT_EQ(height, 12);
        return std::make_unique<RecordingSurface>();
    });
    HWND window = capCreateCaptureWindowA("Camera", WS_CHILD | WS_VISIBLE, 0, 0, 10, 12, parent, 0);
    EXPECT_NE(window, nullptr);
    EXPECT_EQ(seen_parent, &host_object);
    // The host answers no capture messages.
    EXPECT_EQ(capGetVideoFormatSize(parent), 0u);
    set_preview_surface_factory(nullptr);
    DestroyWindow(window);
    DestroyWindow(parent);
}

TEST(PreviewPictures, RgbRowsAreBottomUpBlueFirstAndCompressedFramesAreNotShown) {
    BITMAPINFOHEADER format = {};
    format.biWidth = 2;
    format.biHeight = 2;
    format.biBitCount = 24;
    format.biCompression = BI_RGB;
    // Rows padded to four bytes; the stored first row is the bottom one.
    const std::vector<uint8_t> rgb24 = {1, 2, 3, 4, 5, 6, 0, 0, 10, 20, 30, 40, 50, 60, 0, 0};
    auto image = preview_from_frame(format, rgb24.data(), rgb24.size());
    ASSERT_TRUE(image);
    EXPECT_EQ(image->rgb, (std::vector<uint8_t>{30, 20, 10, 60, 50, 40, 3, 2, 1, 6, 5, 4}));
    EXPECT_FALSE(preview_from_frame(format, rgb24.data(), rgb24.size() - 1));

    format.biBitCount = 32;
    const std::vector<uint8_t> rgb32 = {1, 2, 3, 0, 4, 5, 6, 0, 7, 8, 9, 0, 10, 11, 12, 0};
    image = preview_from_frame(format, rgb32.data(), rgb32.size());
    ASSERT_TRUE(image);
    EXPECT_EQ(image->rgb, (std::vector<uint8_t>{9, 8, 7, 12, 11, 10, 3, 2, 1, 6, 5, 4}));

    format.biCompression = 0x47504A4D;  // MJPG
    EXPECT_FALSE(preview_from_frame(format, rgb32.data(), rgb32.size()));
}

}  // namespace
}  // namespace ostrel::test
