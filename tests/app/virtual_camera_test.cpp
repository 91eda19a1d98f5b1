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

TEST(VirtualCamera, EnvironmentNamesAFileOrAFolderLoadedInNameOrderAndTheStartingFormat) {
    const fs::path folder = fs::path(::testing::TempDir()) / "ostrel-virtual-camera";
    fs::remove_all(folder);
    fs::create_directories(folder);
    std::ofstream(folder / "b.pgm", std::ios::binary) << "P5\n3 2\n255\n" << std::string(6, '\x14');
    std::ofstream(folder / "a.pgm", std::ios::binary) << "P5\n5 2\n255\n" << std::string(10, '\x0a');
    std::ofstream(folder / "notes.txt") << "not a picture";
    std::string error;
    const std::vector<RgbPicture> pictures = load_pictures(folder.string(), error);
    ASSERT_EQ(pictures.size(), 2u);
    EXPECT_EQ(pictures[0].width, 5);
    EXPECT_EQ(pictures[0].rgb[0], 10);
    EXPECT_EQ(pictures[1].width, 3);
    EXPECT_TRUE(error.empty());

    setenv("OSTREL_VIRTUAL_CAMERA", (folder / "a.pgm").c_str(), 1);
    setenv("OSTREL_VIRTUAL_CAMERA_FORMAT", "RGB32 320x240", 1);
    auto device = virtual_camera_from_environment()->open();
    EXPECT_EQ(device->format().biBitCount, 32);
    EXPECT_EQ(device->format().biWidth, 320);
    unsetenv("OSTREL_VIRTUAL_CAMERA_FORMAT");

    setenv("OSTREL_VIRTUAL_CAMERA", (folder / "missing.png").c_str(), 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(virtual_camera_from_environment(), nullptr);
    const std::string complaint = testing::internal::GetCapturedStderr();
    EXPECT_EQ(complaint.rfind("OSTREL_VIRTUAL_CAMERA: ", 0), 0u) << complaint;
    EXPECT_NE(complaint.find("missing.png"), std::string::npos) << complaint;
    unsetenv("OSTREL_VIRTUAL_CAMERA");
    EXPECT_EQ(virtual_camera_from_environment(), nullptr);
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

}  // namespace
}  // namespace ostrel::test
