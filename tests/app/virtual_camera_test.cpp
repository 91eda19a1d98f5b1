// The virtual camera as the environment asks for it: a folder's pictures in
// name order, cycling, in the mode it starts in; and what it says when
// nothing can be loaded.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fakes.h"

namespace ostrel::test {
namespace {

namespace fs = std::filesystem;

// The centre pixel of a frame as the screen shows it.
uint8_t centre_red(const VideoMode& mode, const std::vector<uint8_t>& frame) {
    const std::optional<PreviewPicture> picture = preview_of(mode, frame);
    EXPECT_TRUE(picture.has_value());
    if (!picture) return 0;
    return picture->rgb[(static_cast<size_t>(mode.height / 2) * mode.width + mode.width / 2) * 3];
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

}  // namespace
}  // namespace ostrel::test
