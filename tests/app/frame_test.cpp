// The frame callback: luminance, row lengths, the decode slot, buffers and
// the frames it gives up; the worker's reduction of large frames.
#include <functional>
#include <string>
#include <vector>

#include "fakes.h"

namespace ostrel::test {
namespace {

using Events = std::vector<std::string>;

class FrameTest : public CoreTest {
  protected:
    // Runs the worker on this thread on a width x height image, as the
    // callback would after taking the slot.
    const DecodedImage& decode_job(int32_t width, int32_t height,
                                   const std::function<uint8_t(int, int)>& pixel) {
        std::vector<uint8_t> image(static_cast<size_t>(width) * height);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) image[static_cast<size_t>(y) * width + x] = pixel(x, y);
        }
        EXPECT_TRUE(COstrelAppCore::try_take_decode_slot());
        FrameJob job = {image.data(), width, height};
        decode_worker(&job);
        EXPECT_TRUE(slot_is_free());
        return decoded_images.back();
    }
};

TEST_F(FrameTest, Rgb24BottomSourceRowBecomesTopRowAndPixelsAreByteMeans) {
    camera_->set_format(BI_RGB, 24, 16, 3);
    // Stored rows 0, 1, 2 hold 10, 20, 30 in every byte, except two pixels
    // of stored row 2 (the top row of the picture).
    std::vector<uint8_t> frame(16 * 3 * 3);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(10 * (i / 48 + 1));
    const uint8_t mean_rounds_down[3] = {1, 2, 2};  // 5 / 3
    const uint8_t unweighted[3] = {0, 0, 255};      // 255 / 3
    std::copy_n(mean_rounds_down, 3, frame.begin() + 96);
    std::copy_n(unweighted, 3, frame.begin() + 99);
    feed(frame);

    ASSERT_EQ(decoded_images.size(), 1u);
    const DecodedImage& luma = decoded_images[0];
    ASSERT_EQ(luma.width, 16);
    ASSERT_EQ(luma.height, 3);
    EXPECT_EQ(luma.at(0, 0), 1);
    EXPECT_EQ(luma.at(1, 0), 85);
    EXPECT_EQ(luma.at(2, 0), 30);
    EXPECT_EQ(luma.at(15, 0), 30);
    EXPECT_EQ(luma.at(0, 1), 20);
    EXPECT_EQ(luma.at(15, 2), 10);
}

TEST_F(FrameTest, Yuy2RowsTakeTheEvenBytes) {
    camera_->set_format(FOURCC_YUY2, 16, 4, 2);
    feed({1, 200, 2, 201, 3, 202, 4, 203, 5, 204, 6, 205, 7, 206, 8, 207});
    ASSERT_EQ(decoded_images.size(), 1u);
    EXPECT_EQ(decoded_images[0].pixels, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST_F(FrameTest, WidthsRoundUpToTheRowLength) {
    struct Case {
        DWORD compression;
        WORD bits;
        LONG width;
        int32_t row_length;
    };
    for (Case c : {Case{BI_RGB, 24, 640, 640}, Case{BI_RGB, 24, 17, 32}, Case{BI_RGB, 24, 1, 16},
                   Case{FOURCC_YUY2, 16, 640, 640}, Case{FOURCC_YUY2, 16, 3, 4}}) {
        SCOPED_TRACE(c.width);
        camera_->set_format(c.compression, c.bits, c.width, 2);
        const size_t frame_bytes = static_cast<size_t>(c.row_length) * 2 * c.bits / 8;
        decoded_images.clear();
        feed(std::vector<uint8_t>(frame_bytes, 90));
        ASSERT_EQ(decoded_images.size(), 1u);
        EXPECT_EQ(decoded_images[0].width, c.row_length);
        EXPECT_EQ(decoded_images[0].height, 2);
        // One byte less than the row length asks for is a short frame.
        feed(std::vector<uint8_t>(frame_bytes - 1, 90));
        EXPECT_EQ(decoded_images.size(), 1u);
    }
}

TEST_F(FrameTest, LargeFramesAreReducedByBlockAveraging) {
    struct Case {
        int32_t width, height, reduced_width, reduced_height;
    };
    for (Case c : {Case{1280, 720, 640, 360}, Case{1920, 1080, 640, 360}, Case{1279, 1023, 1279, 1023},
                   Case{1281, 720, 641, 360}, Case{720, 1280, 360, 640}}) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        const DecodedImage& seen = decode_job(c.width, c.height, [](int, int) { return 7; });
        EXPECT_EQ(seen.width, c.reduced_width);
        EXPECT_EQ(seen.height, c.reduced_height);
    }
}

TEST_F(FrameTest, ReducedPixelsAreTruncatedMeansOfTheBlockPartInsideTheImage) {
    // f = 2; the last reduced column averages one column by two rows.
    const DecodedImage& halved = decode_job(1281, 720, [](int x, int y) -> uint8_t {
        if (x < 2 && y < 2) return static_cast<uint8_t>(10 + 10 * x + 20 * y + (x & y) * 3);  // 10 20 30 43
        if (x == 1280 && y < 2) return static_cast<uint8_t>(7 + y);                           // 7 8
        return 200;
    });
    EXPECT_EQ(halved.at(0, 0), 25);   // 103 / 4
    EXPECT_EQ(halved.at(640, 0), 7);  // 15 / 2
    EXPECT_EQ(halved.at(639, 0), 200);
    EXPECT_EQ(halved.at(640, 1), 200);

    // f = 3: one 17 among nine pixels.
    const DecodedImage& thirds = decode_job(1920, 1080, [](int x, int y) -> uint8_t {
        return x == 5 && y == 4 ? 17 : (x < 9 && y < 9 ? 0 : 100);
    });
    EXPECT_EQ(thirds.at(1, 1), 1);
    EXPECT_EQ(thirds.at(0, 1), 0);
    EXPECT_EQ(thirds.at(2, 2), 0);
    EXPECT_EQ(thirds.at(3, 0), 100);
}

TEST_F(FrameTest, WithoutRoomForTheReducedImageTheFrameIsDecodedWhole) {
    kernel_.refuse_alloc = [](SIZE_T bytes) { return bytes == 640 * 360; };
    const DecodedImage& seen = decode_job(1280, 720, [](int, int) { return 7; });
    EXPECT_EQ(seen.width, 1280);
    EXPECT_EQ(seen.height, 720);
}

TEST_F(FrameTest, FrameArrivingWhileAWorkerRunsIsDropped) {
    kernel_.threads = RecordingKernel::Threads::deferred;
    EXPECT_EQ(read("A"), Events{});
    EXPECT_EQ(camera_->format_messages, 2);  // the size, then the format

    EXPECT_EQ(read("B"), Events{});
    EXPECT_EQ(camera_->format_messages, 2);
    EXPECT_TRUE(decoded_images.empty());

    kernel_.run_pending();
    EXPECT_EQ(texts_.take(), Events{"1003 " + kTriangle});
    EXPECT_EQ(decoded_images.size(), 1u);
    EXPECT_TRUE(slot_is_free());
    EXPECT_EQ(kernel_.stack_sizes, std::vector<SIZE_T>{10485760});
}

TEST_F(FrameTest, FramesGivenUpFreeTheSlotAndResetTheBufferSizes) {
    const auto good_frame = [] { return yuy2_frame(16, 4, [](int, int) { return 50; }); };
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::optional<DWORD> used;
    };
    const std::vector<Case> cases = {
        {"32-bit RGB", [this] { camera_->set_format(BI_RGB, 32, 16, 4); }, {}},
        {"24-bit YUY2", [this] { camera_->set_format(FOURCC_YUY2, 24, 16, 4); }, {}},
        {"16-bit MJPG", [this] { camera_->set_format(0x47504A4D, 16, 16, 4); }, {}},
        {"format not fetched", [this] { camera_->fail_fetch = true; }, {}},
        {"format block too small", [this] { camera_->block_size = 39; }, {}},
        {"no capture window", [] { DestroyWindow(capture_window); }, {}},
        {"top-down rows", [this] { camera_->set_format(FOURCC_YUY2, 16, 16, -4); }, {}},
        {"zero width", [this] { camera_->set_format(FOURCC_YUY2, 16, 0, 4); }, {}},
        {"bytes overflow", [this] { camera_->set_format(BI_RGB, 24, 65520, 30000); }, {}},
        {"width past the mask", [this] { camera_->set_format(FOURCC_YUY2, 16, 65535, 1); }, {}},
        {"short frame", [] {}, 127},
        {"short buffer", [] {}, 0},
        {"no format block", [this] { kernel_.refuse_alloc = [](SIZE_T n) { return n == 44; }; }, {}},
        {"no frame copy",
         [this] {
             camera_->set_format(FOURCC_YUY2, 16, 32, 4);
             kernel_.refuse_alloc = [](SIZE_T n) { return n == 256; };
         },
         {}},
        {"no luminance buffer",
         [this] {
             camera_->set_format(FOURCC_YUY2, 16, 32, 4);
             kernel_.refuse_alloc = [](SIZE_T n) { return n == 128; };
         },
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        feed(good_frame());
        ASSERT_EQ(luma_frame_size, 64);
        decoded_images.clear();
        texts_.take();

        c.arrange();
        kernel_.refusals = 0;
        // Long enough for every format above that has a size to fit.
        feed(std::vector<uint8_t>(c.used == 0 ? 127 : 256, 50), c.used);
        if (kernel_.refuse_alloc) {
            EXPECT_EQ(kernel_.refusals, 1);
        }
        EXPECT_TRUE(decoded_images.empty());
        EXPECT_EQ(texts_.take(), Events{});
        EXPECT_EQ(frame_copy_size, 0);
        EXPECT_EQ(luma_frame_size, 0);
        EXPECT_TRUE(slot_is_free());
        // Only the frame buffers may stay allocated; the format block is freed.
        EXPECT_EQ(kernel_.live_blocks(), (frame_copy != nullptr) + (luma_frame != nullptr));

        // The next good frame is decoded again, in fresh buffers.
        kernel_.refuse_alloc = nullptr;
        camera_ = std::make_shared<FakeCaptureWindow>();
        camera_->set_format(FOURCC_YUY2, 16, 16, 4);
        DestroyWindow(capture_window);
        capture_window = register_capture_window(camera_);
        const int allocations = kernel_.allocations;
        feed(good_frame());
        EXPECT_EQ(decoded_images.size(), 1u);
        EXPECT_EQ(kernel_.allocations - allocations, 3);
        EXPECT_EQ(frame_copy_size, 128);
    }
}

TEST_F(FrameTest, BuffersGrowAndAreReused) {
    const auto frame = [](int width, int rows) {
        return yuy2_frame(width, rows, [](int, int) { return 1; });
    };
    feed(frame(16, 4));
    EXPECT_EQ(kernel_.allocations, 3);  // format block, frame copy, luminance
    feed(frame(16, 4));
    EXPECT_EQ(kernel_.allocations, 4);  // the format is fetched on every frame
    camera_->set_format(FOURCC_YUY2, 16, 8, 2);
    feed(frame(8, 2));
    EXPECT_EQ(kernel_.allocations, 5);
    EXPECT_EQ(luma_frame_size, 64);
    camera_->set_format(FOURCC_YUY2, 16, 32, 4);
    feed(frame(32, 4));
    EXPECT_EQ(kernel_.allocations, 8);
    EXPECT_EQ(luma_frame_size, 128);
    EXPECT_EQ(frame_copy_size, 256);
    EXPECT_EQ(decoded_images.size(), 4u);
}

TEST_F(FrameTest, WorkerThatCannotStartGivesTheSlotBack) {
    kernel_.refuse_threads = true;
    EXPECT_EQ(read("A"), Events{});
    EXPECT_TRUE(slot_is_free());
    kernel_.refuse_threads = false;
    EXPECT_EQ(read("A"), Events{"1003 " + kTriangle});
}

}  // namespace
}  // namespace ostrel::test
