// The frame hand-off and the decode worker, down to frames no camera should
// send; under AddressSanitizer a read past a frame's end fails, under
// ThreadSanitizer a race.
#include <atomic>
#include <functional>
#include <future>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "fakes.h"
#include "renderer.h"
#include "vorden.h"

namespace ostrel::test {
namespace {

// ---- The frame callback and the worker ----

using Events = std::vector<std::string>;

class FrameTest : public CoreTest {
  protected:
    // Runs the worker here on a width x height image, as the callback would.
    const DecodedImage& decode_job(int32_t width, int32_t height,
                                   const std::function<uint8_t(int, int)>& pixel) {
        std::vector<uint8_t> image(static_cast<size_t>(width) * height);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) image[static_cast<size_t>(y) * width + x] = pixel(x, y);
        EXPECT_TRUE(COstrelAppCore::try_take_decode_slot());
        FrameJob job = {image.data(), width, height};
        decode_worker(&job);
        EXPECT_TRUE(slot_is_free());
        return decoded_images.back();
    }

    // Delivers one header; true when a decode ran. A frame given up leaves
    // the slot free, the recorded buffer sizes at 0 and the dialog untouched.
    bool deliver(VIDEOHDR* header) {
        texts_.take();
        const size_t before = decoded_images.size();
        EXPECT_NE(on_video_frame(capture_window, header), 0);
        EXPECT_TRUE(eventually(slot_is_free));
        const bool decoded = decoded_images.size() > before;
        if (!decoded) {
            EXPECT_EQ(frame_copy_size, 0);
            EXPECT_EQ(luma_frame_size, 0);
            EXPECT_EQ(texts_.take(), Events{});
        }
        return decoded;
    }
    bool deliver(std::vector<uint8_t>& data, DWORD used = 0) {
        VIDEOHDR header = header_for(data, used);
        return deliver(&header);
    }
};

TEST_F(FrameTest, LuminanceIsTheEvenYuy2BytesOrTheRgbByteMeanWithTheBottomRowStoredFirst) {
    set_mode({FOURCC_YUY2, 16, 4, 2});
    feed({1, 200, 2, 201, 3, 202, 4, 203, 5, 204, 6, 205, 7, 206, 8, 207});
    ASSERT_EQ(decoded_images.size(), 1u);
    EXPECT_EQ(decoded_images[0].pixels, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));

    set_mode({BI_RGB, 24, 16, 3});
    // Stored rows 0, 1, 2 hold 10, 20, 30 in every byte, except two pixels
    // of stored row 2 (the top row of the picture).
    std::vector<uint8_t> frame(16 * 3 * 3);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(10 * (i / 48 + 1));
    const uint8_t pixels[6] = {1, 2, 2, 0, 0, 255};  // means 5 / 3 and 255 / 3: rounded down, unweighted
    std::copy_n(pixels, 6, frame.begin() + 96);
    feed(frame);
    ASSERT_EQ(decoded_images.size(), 2u);
    const DecodedImage& luma = decoded_images[1];
    ASSERT_EQ(luma.width, 16);
    ASSERT_EQ(luma.height, 3);
    EXPECT_EQ(luma.at(0, 0), 1);
    EXPECT_EQ(luma.at(1, 0), 85);
    EXPECT_EQ(luma.at(2, 0), 30);
    EXPECT_EQ(luma.at(0, 1), 20);
    EXPECT_EQ(luma.at(15, 2), 10);
}

TEST_F(FrameTest, WidthsRoundUpToTheRowLengthAndShortFramesAreGivenUp) {
    struct Case {
        DWORD compression;
        WORD bits;
        LONG width;
        int32_t row_length;
    };
    for (Case c : {Case{BI_RGB, 24, 640, 640}, Case{BI_RGB, 24, 17, 32}, Case{BI_RGB, 24, 1, 16},
                   Case{FOURCC_YUY2, 16, 640, 640}, Case{FOURCC_YUY2, 16, 3, 4}}) {
        SCOPED_TRACE(c.width);
        set_mode({c.compression, c.bits, c.width, 2});
        std::vector<uint8_t> frame(static_cast<size_t>(c.row_length) * 2 * c.bits / 8, 90);
        ASSERT_TRUE(deliver(frame));
        EXPECT_EQ(decoded_images.back().width, c.row_length);
        EXPECT_EQ(decoded_images.back().height, 2);
        // One byte less than the row length asks for, in the buffer or in the bytes used.
        EXPECT_FALSE(deliver(frame, static_cast<DWORD>(frame.size() - 1)));
        frame.pop_back();
        EXPECT_FALSE(deliver(frame));
    }
}

TEST_F(FrameTest, LargeFramesAreReducedByTruncatedBlockMeans) {
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
    // Without room for the reduced image the frame is decoded whole.
    kernel_faults.refuse_alloc = [](SIZE_T bytes) { return bytes == 640 * 360; };
    EXPECT_EQ(decode_job(1280, 720, [](int, int) { return 7; }).width, 1280);
}

TEST_F(FrameTest, FramesGivenUpFreeTheSlotAndTheNextIsDecodedInFreshBuffers) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
    };
    const std::vector<Case> cases = {
        {"camera disconnected", [] { capDriverDisconnect(capture_window); }},
        {"no capture window", [] { DestroyWindow(capture_window); }},
        {"no frame copy",
         [this] {
             set_mode({FOURCC_YUY2, 16, 32, 4});
             kernel_faults.refuse_alloc = [](SIZE_T n) { return n == 256; };
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        feed(yuy2_frame(16, 4, [](int, int) { return 50; }));
        ASSERT_EQ(luma_frame_size, 64);
        c.arrange();
        std::vector<uint8_t> frame(256, 50);
        EXPECT_FALSE(deliver(frame));

        kernel_faults.refuse_alloc = nullptr;
        DestroyWindow(capture_window);
        camera_->mode = yuy2_mode(16, 4);
        capture_window = capCreateCaptureWindowA("test", 0, 0, 0, 0, 0, nullptr, 0);
        ASSERT_NE(capDriverConnect(capture_window, 0), 0);
        frame.resize(128);
        EXPECT_TRUE(deliver(frame));
        EXPECT_EQ(frame_copy_size, 128);
    }
}

// A symbol the designed pass misses, here a version 3 turned 15 degrees, is
// read by the further strategies and confirmed on the second frame.
TEST_F(FrameTest, SymbolTheDesignedPassMissesIsConfirmedByTheFurtherStrategies) {
    frame_decoder = decode_symbol;
    vorden::test::Image image =
        vorden::test::render(vorden::test::encode(vorden::test::Mode::Byte, "turned", {.version = 3}),
                             {.module_px = 4, .angle_deg = 15, .canvas_width = 640, .canvas_height = 480});
    ASSERT_EQ(decode_symbol(image.pixels.data(), image.width, image.height, 8, nullptr), nullptr);
    for (int frame = 0; frame < 2; ++frame) {
        ASSERT_TRUE(COstrelAppCore::try_take_decode_slot());
        FrameJob job = {image.pixels.data(), image.width, image.height};
        decode_worker(&job);
    }
    EXPECT_STREQ(shown_text, "turned");
    EXPECT_EQ(read_state, READ_CONFIRMED);
}

TEST_F(FrameTest, WorkerThatCannotStartGivesTheSlotBack) {
    kernel_faults.refuse_threads = true;
    EXPECT_EQ(read("A"), Events{});
    EXPECT_TRUE(slot_is_free());
    kernel_faults.refuse_threads = false;
    EXPECT_EQ(read("A"), Events{"1003 " + kTriangle});
}

TEST_F(FrameTest, HeaderAndFormatAnswersThatLieAreNotTrusted) {
    // The format is 16 x 4 YUY2: 128 bytes a frame.
    EXPECT_FALSE(deliver(nullptr));
    VIDEOHDR header = {};
    header.dwBufferLength = 128;
    EXPECT_FALSE(deliver(&header)) << "no data pointer";
    // Bytes used past the end of the buffer: only the buffer is there.
    std::vector<uint8_t> frame(100, 60);
    EXPECT_FALSE(deliver(frame, 128));
    EXPECT_FALSE(deliver(frame, 0xFFFFFFFF));
    // No bytes used counted means a full buffer.
    frame.assign(128, 60);
    ASSERT_TRUE(deliver(frame, 0));
    EXPECT_EQ(decoded_images.back().pixels, std::vector<uint8_t>(64, 60));
}

// Only 16-bit YUY2 and 24-bit RGB are read. Sizes no camera has, down to
// widths whose row length wraps past the 16-bit masks to 0, are given up
// whatever the frame holds.
TEST_F(FrameTest, UnreadableFormatsAndNonPositiveSizesAreGivenUp) {
    struct Case {
        DWORD compression;
        WORD bits;
        LONG width, height;
    };
    constexpr LONG kMin = std::numeric_limits<LONG>::min();
    constexpr LONG kMax = std::numeric_limits<LONG>::max();
    std::vector<uint8_t> frame(65536, 90);
    for (Case c : {Case{BI_RGB, 32, 16, 4}, Case{BI_RGB, 8, 16, 4}, Case{FOURCC_YUY2, 12, 16, 4},
                   Case{0x47504A4D /* MJPG */, 24, 16, 4}, Case{0x59565955 /* UYVY */, 16, 16, 4},
                   Case{FOURCC_YUY2, 16, 0, 4}, Case{FOURCC_YUY2, 16, -16, 4}, Case{FOURCC_YUY2, 16, 16, 0},
                   Case{BI_RGB, 24, 16, -4}, Case{BI_RGB, 24, kMin, 4}, Case{BI_RGB, 24, 16, kMax},
                   Case{BI_RGB, 24, 65521, 1}, Case{FOURCC_YUY2, 16, 65535, 1}}) {
        SCOPED_TRACE(std::to_string(c.compression) + " " + std::to_string(c.bits) + " " +
                     std::to_string(c.width) + "x" + std::to_string(c.height));
        set_mode({c.compression, c.bits, c.width, c.height});
        EXPECT_FALSE(deliver(frame));
    }
}

// ---- Confirmation over the ring of the last ten reads ----

const std::string kStatus = "1003 ";
const std::string kBeep = "beep 16";

using RingTest = CoreTest;

TEST_F(RingTest, TwoAgreeingReadsConfirmATextWhichIsShownAndBeepedOnlyWhenNew) {
    EXPECT_EQ(read("A"), Events{kStatus + kTriangle});
    EXPECT_STREQ(shown_text, "");
    EXPECT_EQ(read_state, READ_ONCE);
    EXPECT_EQ(read("B"), Events{kStatus + kTriangle});
    EXPECT_EQ(read("A"), (Events{kBeep, "1000 A", kStatus + kCircle}));
    EXPECT_STREQ(shown_text, "A");
    EXPECT_EQ(read_state, READ_CONFIRMED);
    EXPECT_EQ(read("A"), Events{kStatus + kCircle});
    EXPECT_EQ(read("B"), (Events{kBeep, "1000 B", kStatus + kCircle}));
    EXPECT_EQ(read("A"), (Events{kBeep, "1000 A", kStatus + kCircle}));
}

TEST_F(RingTest, FailedReadsTooLongTextsAndEmptyTextsAreNeverConfirmed) {
    read("A");
    // Failed reads do not enter the ring, so they push nothing out.
    for (int i = 0; i < 25; ++i) EXPECT_EQ(read(std::nullopt), Events{kStatus + kCross});
    EXPECT_EQ(read_state, READ_NOTHING);
    EXPECT_EQ(read("A"), (Events{kBeep, "1000 A", kStatus + kCircle}));

    const std::string longest(7090, 'x');
    const std::string too_long(7091, 'y');
    EXPECT_EQ(read(too_long), Events{kStatus + kCross});
    EXPECT_EQ(read(too_long), Events{kStatus + kCross});
    EXPECT_EQ(read(longest), Events{kStatus + kTriangle});
    EXPECT_EQ(read(longest), (Events{kBeep, "1000 " + longest, kStatus + kCircle}));

    EXPECT_EQ(read(""), Events{kStatus + kTriangle});
    EXPECT_EQ(read(""), Events{kStatus + kTriangle});
}

TEST_F(RingTest, ConfirmedAcrossEightInterveningReadsButNotNine) {
    for (int between : {8, 9}) {
        SCOPED_TRACE(between);
        const std::string text = "T" + std::to_string(between);
        read(text);
        for (int i = 0; i < between; ++i) read(text + "-other" + std::to_string(i));
        EXPECT_EQ(read(text).back(), kStatus + (between == 8 ? kCircle : kTriangle));
    }
}

// A worker run without the slot cannot give it back: the count is at its
// maximum already.
TEST_F(RingTest, ReleaseFailureIsReportedOnStandardOutput) {
    uint8_t pixel = 0;
    FrameJob job = {&pixel, 1, 1};
    testing::internal::CaptureStdout();
    decode_worker(&job);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ReleaseSemaphore error: 298\n");
}

// ---- Real threads: a burst during a held decode, and the shutdown wait ----

std::promise<void> decode_entered, gate_opened;
std::atomic<int> decode_calls{0};
std::atomic<bool> first_image_intact{false};

uint8_t first_luma(int x, int y) {
    return static_cast<uint8_t>(x * 16 + y);
}

// Holds the first decode until the test opens the gate, and notes whether it
// still sees its own frame then.
const char* held_decode(const uint8_t* image, int32_t width, int32_t height, int32_t, FILE*) {
    if (decode_calls++ == 0) {
        decode_entered.set_value();
        gate_opened.get_future().wait();
        bool intact = width == 16 && height == 4;
        for (int k = 0; intact && k < width * height; ++k) intact = image[k] == first_luma(k % 16, k / 16);
        first_image_intact = intact;
    }
    return "A";
}

// Two capture threads deliver frames as fast as they can while the first
// decode is held: every frame that finds the slot taken is dropped without a
// trace. The shutdown wait then lasts until the held worker is done.
TEST_F(CoreTest, BurstDuringAHeldDecodeIsDroppedAndShutdownWaitsForTheWorker) {
    frame_decoder = held_decode;
    std::vector<uint8_t> first = yuy2_frame(16, 4, first_luma);
    hand(first, 0);
    decode_entered.get_future().wait();
    // Larger frames from now on: taking one would grow the buffers under
    // the held decode.
    set_mode(yuy2_mode(32, 8));
    std::atomic<int> fed{0};
    std::vector<std::thread> capture_threads;
    for (int k = 0; k < 2; ++k) {
        capture_threads.emplace_back([&] {
            std::vector<uint8_t> frame = yuy2_frame(32, 8, [](int, int) { return 200; });
            while (fed++ < 400) hand(frame, 0);
        });
    }
    for (std::thread& thread : capture_threads) thread.join();
    EXPECT_EQ(frame_copy_size, 128) << "a dropped frame grew the buffers";
    EXPECT_TRUE(texts_.take().empty());

    std::thread opener([] { gate_opened.set_value(); });
    COstrelAppCore::wait_for_decode_worker();
    opener.join();
    EXPECT_EQ(decode_calls, 1);
    EXPECT_TRUE(first_image_intact);
    EXPECT_EQ(texts_.take(), std::vector<std::string>{"1003 " + kTriangle});
    EXPECT_TRUE(slot_is_free());
}

}  // namespace
}  // namespace ostrel::test
