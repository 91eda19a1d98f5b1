// End to end through the frame callback: camera frames of rendered symbols,
// delivered at camera rate, decoded by the real decoder on worker threads,
// until the result box shows the confirmed text.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <string>
#include <thread>
#include <vector>

#include "fakes.h"
#include "renderer.h"
#include "vorden.h"

namespace ostrel::test {
namespace {

using vorden::test::Image;
using vorden::test::Mode;

// Bottom-up rows of grey pixels.
std::vector<uint8_t> rgb24_frame(const Image& image) {
    std::vector<uint8_t> frame(static_cast<size_t>(image.width) * image.height * 3);
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x)
            std::fill_n(frame.begin() + (static_cast<ptrdiff_t>(image.height - 1 - y) * image.width + x) * 3,
                        3, image.at(x, y));
    }
    return frame;
}

class EndToEndTest : public CoreTest {
  protected:
    void SetUp() override {
        CoreTest::SetUp();
        kernel_.real_threads = true;
        frame_decoder = decode_symbol;
    }

    static Image render_frame(const std::vector<vorden::test::Segment>& segments, uint32_t seed) {
        vorden::test::RenderOptions o{.module_px = 5, .angle_deg = 8, .blur = 0.6, .noise = 4, .seed = seed};
        o.canvas_width = 640, o.canvas_height = 480;
        return vorden::test::render(vorden::test::encode(segments), o);
    }

    // Delivers the frames in turn at 30 a second until the result box has
    // been set, and returns every window update seen.
    std::vector<std::string> run_camera(const std::vector<std::vector<uint8_t>>& frames) {
        std::vector<std::string> events;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        for (size_t k = 0; std::chrono::steady_clock::now() < deadline; ++k) {
            feed(frames[k % frames.size()]);
            for (std::string& event : texts_.take()) events.push_back(std::move(event));
            if (std::any_of(events.begin(), events.end(),
                            [](const std::string& e) { return e.rfind("1000 ", 0) == 0; }))
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(33));
        }
        COstrelAppCore::wait_for_decode_worker();
        for (std::string& event : texts_.take()) events.push_back(std::move(event));
        return events;
    }
};

TEST_F(EndToEndTest, Yuy2FramesReachAConfirmedText) {
    const std::string text = "Ostrel end to end, YUY2 640x480";
    std::vector<std::vector<uint8_t>> frames;
    for (uint32_t seed = 1; seed <= 3; ++seed) {
        const Image image = render_frame({{Mode::Byte, text}}, seed);
        frames.push_back(yuy2_frame(640, 480, [&](int x, int y) { return image.at(x, y); }));
    }
    camera_->set_format(FOURCC_YUY2, 16, 640, 480);
    const std::vector<std::string> events = run_camera(frames);

    // First read: "△"; the second agreeing read: beep, result box, "○".
    ASSERT_GE(events.size(), 4u);
    EXPECT_EQ(events[0], "1003 " + kTriangle);
    auto result = std::find(events.begin(), events.end(), "1000 " + text);
    ASSERT_NE(result, events.end());
    EXPECT_EQ(*(result - 1), "beep 16");
    ASSERT_NE(result + 1, events.end());
    EXPECT_EQ(*(result + 1), "1003 " + kCircle);
    EXPECT_STREQ(shown_text, text.c_str());
}

TEST_F(EndToEndTest, Rgb24FramesOfAKanjiSymbolReachTheShiftJisText) {
    // "RGB24 日本語" with the Kanji as Shift JIS, as the decoder gives them.
    const std::string kanji = "\x93\xfa\x96\x7b\x8c\xea";
    std::vector<std::vector<uint8_t>> frames;
    for (uint32_t seed = 1; seed <= 3; ++seed)
        frames.push_back(rgb24_frame(render_frame({{Mode::Byte, "RGB24 "}, {Mode::Kanji, kanji}}, seed)));
    camera_->set_format(BI_RGB, 24, 640, 480);
    const std::vector<std::string> events = run_camera(frames);
    EXPECT_NE(std::find(events.begin(), events.end(), "1000 RGB24 " + kanji), events.end());
    EXPECT_EQ(events.back(), "1003 " + kCircle);
}

}  // namespace
}  // namespace ostrel::test
