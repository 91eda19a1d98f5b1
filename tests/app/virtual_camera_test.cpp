// The virtual camera: its formats, the frames it makes from a picture, the
// pictures it loads, and a stream that stops when asked. Unplugging is the
// dialog's test.
#include "platform/virtual_camera.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fakes.h"

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

    setenv("OSTREL_VIRTUAL_CAMERA", (folder / "missing.png").c_str(), 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(virtual_camera_from_environment(), nullptr);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("OSTREL_VIRTUAL_CAMERA: "), std::string::npos);
    unsetenv("OSTREL_VIRTUAL_CAMERA");
    EXPECT_EQ(virtual_camera_from_environment(), nullptr);
    fs::remove_all(folder);
}

// The centre luma of frame k of a stream of 160 x 120 YUY2 frames.
uint8_t centre_luma(FrameRecorder& frames, size_t k) {
    std::lock_guard lock(frames.mutex);
    EXPECT_EQ(frames.seen.at(k).size(), 160u * 120 * 2);
    return frames.seen.at(k)[(60 * 160 + 80) * 2];
}

TEST(VirtualCamera, StreamsCyclingPicturesUntilStopped) {
    VirtualCamera camera({solid(4, 4, 0, 0, 0), solid(4, 4, 255, 255, 255)}, VirtualFormat::yuy2, {160, 120});
    std::unique_ptr<CaptureDevice> device = camera.open();
    ASSERT_NE(device, nullptr);
    device->set_frame_interval(1000);
    FrameRecorder frames;
    ASSERT_TRUE(device->start(frames.sink()));
    ASSERT_TRUE(frames.wait_for(3));
    device->stop();
    const size_t seen = frames.count();
    EXPECT_LT(centre_luma(frames, 0), 30);
    EXPECT_GT(centre_luma(frames, 1), 220);
    EXPECT_LT(centre_luma(frames, 2), 30);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(frames.count(), seen) << "no frame after stop";
}

}  // namespace
}  // namespace ostrel::test
