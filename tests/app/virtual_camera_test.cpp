// The virtual camera: its formats, the frames it makes from a picture, the
// pictures it loads, and a stream that stops when asked or unplugged.
#include "platform/virtual_camera.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

namespace ostrel::test {
namespace {

namespace fs = std::filesystem;

RgbPicture solid(int width, int height, uint8_t r, uint8_t g, uint8_t b) {
    RgbPicture picture{width, height, {}};
    for (int k = 0; k < width * height; ++k) picture.rgb.insert(picture.rgb.end(), {r, g, b});
    return picture;
}

TEST(VirtualCamera, FormatsAreYuy2Rgb24AndAnUnreadableRgb32) {
    const std::vector<FormatOption> options = virtual_format_options();
    ASSERT_EQ(options.size(), 3u);
    struct Case {
        VirtualFormat format;
        DWORD compression;
        WORD bits;
    };
    for (Case c : {Case{VirtualFormat::yuy2, FOURCC_YUY2, 16}, Case{VirtualFormat::rgb24, BI_RGB, 24},
                   Case{VirtualFormat::rgb32, BI_RGB, 32}}) {
        const BITMAPINFOHEADER header = virtual_frame_format(c.format, {320, 240});
        EXPECT_EQ(header.biCompression, c.compression);
        EXPECT_EQ(header.biBitCount, c.bits);
        EXPECT_EQ(header.biSizeImage, 320u * 240 * c.bits / 8);
    }
    // Every size is one the frame callback can read in RGB24.
    for (const FrameSize& size : options[1].sizes) EXPECT_EQ(size.width % 16, 0) << size.width;
}

TEST(VirtualCamera, Yuy2FramesCarryStudioRangeLumaTopRowFirstRgbFramesAreBottomUpBlueFirst) {
    RgbPicture picture = solid(16, 2, 255, 255, 255);
    std::fill(picture.rgb.begin() + 16 * 3, picture.rgb.end(), 0);  // bottom row black
    picture.rgb[0] = 200;                                           // top-left blue and green 255
    uint32_t state = 1;
    std::vector<uint8_t> frame = make_virtual_frame(picture, VirtualFormat::yuy2, 0, state);
    ASSERT_EQ(frame.size(), 16u * 2 * 2);
    EXPECT_EQ(frame[2], 235);
    EXPECT_EQ(frame[32], 16);
    EXPECT_EQ(frame[5], 128) << "no colour in grey";
    frame = make_virtual_frame(picture, VirtualFormat::rgb24, 0, state);
    ASSERT_EQ(frame.size(), 16u * 2 * 3);
    EXPECT_EQ(frame[48 + 2], 200) << "top row stored last";
    EXPECT_EQ(frame[48 + 0], 255);
    EXPECT_EQ(frame[2], 0);
    frame = make_virtual_frame(picture, VirtualFormat::rgb32, 0, state);
    ASSERT_EQ(frame.size(), 16u * 2 * 4);
    EXPECT_EQ(frame[64 + 2], 200);
}

TEST(VirtualCamera, NoiseIsSlightAndMakesConsecutiveFramesDiffer) {
    const RgbPicture picture = solid(64, 48, 128, 128, 128);
    uint32_t state = 7;
    const std::vector<uint8_t> first = make_virtual_frame(picture, VirtualFormat::rgb24, 3, state);
    EXPECT_NE(make_virtual_frame(picture, VirtualFormat::rgb24, 3, state), first);
    for (uint8_t sample : first) ASSERT_TRUE(sample >= 125 && sample <= 131) << int{sample};
}

TEST(VirtualCamera, PicturesAreFittedWithTheirAspectCentredOnGrey) {
    const RgbPicture fitted = fit_picture(solid(10, 10, 0, 0, 0), {64, 48});
    ASSERT_EQ(fitted.width, 64);
    ASSERT_EQ(fitted.height, 48);
    auto at = [&](int x, int y) { return fitted.rgb[(static_cast<size_t>(y) * 64 + x) * 3]; };
    EXPECT_EQ(at(7, 24), 0x80);
    EXPECT_EQ(at(8, 24), 0);
    EXPECT_EQ(at(55, 24), 0);
    EXPECT_EQ(at(56, 24), 0x80);
    EXPECT_EQ(at(32, 0), 0);
    EXPECT_EQ(at(32, 47), 0);
}

TEST(VirtualCamera, FolderImagesLoadInNameOrder) {
    const fs::path folder = fs::path(::testing::TempDir()) / "ostrel-virtual-camera";
    fs::remove_all(folder);
    fs::create_directories(folder);
    for (auto [name, width, grey] : {std::tuple{"b.pgm", 3, '\x14'}, {"a.pgm", 5, '\x0a'}})
        std::ofstream(folder / name, std::ios::binary) << "P5\n"
                                                       << width << " 2\n255\n"
                                                       << std::string(width * 2, grey);
    std::ofstream(folder / "notes.txt") << "not a picture";
    std::string error;
    const std::vector<RgbPicture> pictures = load_pictures(folder.string(), error);
    ASSERT_EQ(pictures.size(), 2u);
    EXPECT_EQ(pictures[0].width, 5);
    EXPECT_EQ(pictures[0].rgb[0], 10);
    EXPECT_EQ(pictures[1].width, 3);
    EXPECT_TRUE(error.empty());
    EXPECT_TRUE(load_pictures((folder / "missing.png").string(), error).empty());
    EXPECT_NE(error.find("missing.png"), std::string::npos);
    fs::remove_all(folder);
}

// The centre luma of each frame delivered, while the capture thread holds
// the sink (and so `token`) until its stream ends.
struct Stream {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<uint8_t> centre_luma;
    std::shared_ptr<int> token = std::make_shared<int>();
    std::weak_ptr<int> capture_thread = token;

    FrameSink sink() {
        return [this, token = std::exchange(token, nullptr)](const uint8_t* data, size_t bytes) {
            EXPECT_EQ(bytes, 160u * 120 * 2);
            std::lock_guard lock(mutex);
            centre_luma.push_back(data[(60 * 160 + 80) * 2]);
            arrived.notify_all();
        };
    }
    bool wait_for(size_t frames) {
        std::unique_lock lock(mutex);
        return arrived.wait_for(lock, std::chrono::seconds(30), [&] { return centre_luma.size() >= frames; });
    }
    size_t frames_after(std::chrono::milliseconds pause) {
        std::this_thread::sleep_for(pause);
        std::lock_guard lock(mutex);
        return centre_luma.size();
    }
};

TEST(VirtualCamera, StreamsCyclingPicturesUntilStoppedOrUnplugged) {
    VirtualCamera camera({solid(4, 4, 0, 0, 0), solid(4, 4, 255, 255, 255)}, VirtualFormat::yuy2, {160, 120});
    std::unique_ptr<CaptureDevice> device = camera.open();
    ASSERT_NE(device, nullptr);
    device->set_frame_interval(1000);
    {
        Stream stream;
        ASSERT_TRUE(device->start(stream.sink()));
        ASSERT_TRUE(stream.wait_for(3));
        device->stop();
        const size_t seen = stream.frames_after(std::chrono::milliseconds(0));
        EXPECT_LT(stream.centre_luma[0], 30);
        EXPECT_GT(stream.centre_luma[1], 220);
        EXPECT_LT(stream.centre_luma[2], 30);
        EXPECT_EQ(stream.frames_after(std::chrono::milliseconds(20)), seen) << "no frame after stop";
    }
    Stream stream;
    ASSERT_TRUE(device->start(stream.sink()));
    ASSERT_TRUE(stream.wait_for(2));
    camera.unplug();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!stream.capture_thread.expired() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(stream.capture_thread.expired()) << "the stream did not end without stop()";
    const size_t seen = stream.frames_after(std::chrono::milliseconds(0));
    EXPECT_EQ(stream.frames_after(std::chrono::milliseconds(20)), seen) << "a frame after the stream ended";
    // Gone for good: its last format is still known, nothing else.
    EXPECT_EQ(device->format().biWidth, 160);
    EXPECT_TRUE(device->format_options().empty());
    EXPECT_FALSE(device->set_format(virtual_format_options()[1], {320, 240}));
    EXPECT_FALSE(device->start([](const uint8_t*, size_t) { ADD_FAILURE() << "a frame after unplugging"; }));
    EXPECT_EQ(camera.open(), nullptr);
    device->stop();
}

TEST(VirtualCamera, EnvironmentChoosesPicturesAndStartingFormat) {
    const fs::path file = fs::path(::testing::TempDir()) / "ostrel-virtual-camera.pgm";
    std::ofstream(file, std::ios::binary) << "P5\n2 2\n255\n" << std::string(4, '\x40');
    setenv("OSTREL_VIRTUAL_CAMERA", file.c_str(), 1);
    setenv("OSTREL_VIRTUAL_CAMERA_FORMAT", "RGB32 320x240", 1);
    auto driver = virtual_camera_from_environment();
    ASSERT_NE(driver, nullptr);
    auto device = driver->open();
    EXPECT_EQ(device->format().biBitCount, 32);
    EXPECT_EQ(device->format().biWidth, 320);
    unsetenv("OSTREL_VIRTUAL_CAMERA_FORMAT");
    device = virtual_camera_from_environment()->open();
    EXPECT_EQ(device->format().biCompression, FOURCC_YUY2);
    EXPECT_EQ(device->format().biWidth, 640);

    setenv("OSTREL_VIRTUAL_CAMERA", (file.string() + ".absent").c_str(), 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(virtual_camera_from_environment(), nullptr);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("OSTREL_VIRTUAL_CAMERA: "), std::string::npos);
    unsetenv("OSTREL_VIRTUAL_CAMERA");
    EXPECT_EQ(virtual_camera_from_environment(), nullptr);
    fs::remove(file);
}

}  // namespace
}  // namespace ostrel::test
