// The thorough entry: symbols the designed pass misses read exactly, through
// the strategy that should find them, with their corners where they were
// drawn; nothing read from frames without a symbol; the designed call's log
// and result untouched.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "decoder.h"
#include "renderer.h"
#include "stages.h"
#include "vorden.h"

using namespace vorden::test;

namespace {

struct Frame {
    const char* what;
    int version;
    RenderOptions options;
    bool mirrored = false;
    bool designed_reads = false;  // a case the designed pass reads too
    double squash = 1;            // rows drawn this much closer together
    double shear = 0;             // and each row shifted right by this much per row up
};

// The drawn image seen at a slant: rows squashed and slid sideways, as a low
// camera sees a code lying on a desk.
Image slanted(const Image& in, double squash, double shear) {
    Image out;
    out.height = static_cast<int>(in.height * squash);
    out.width = in.width + static_cast<int>(shear * out.height) + 1;
    out.pixels.assign(static_cast<size_t>(out.width) * out.height, 255);
    for (int y = 0; y < out.height; ++y)
        for (int x = 0; x < out.width; ++x) {
            const int ix = static_cast<int>(x - shear * (out.height - y)), iy = static_cast<int>(y / squash);
            if (ix >= 0 && ix < in.width && iy < in.height) out.pixels[y * out.width + x] = in.at(ix, iy);
        }
    return out;
}

Image drawn(const Frame& f, const std::string& text) {
    RenderOptions o = f.options;
    if (o.canvas_width == 0) o.canvas_width = 640, o.canvas_height = 480;
    Image image = render(encode(Mode::Byte, text, {.version = f.version}), o);
    if (f.mirrored)
        for (int y = 0; y < image.height; ++y)
            std::reverse(image.pixels.begin() + y * image.width,
                         image.pixels.begin() + (y + 1) * image.width);
    return f.squash != 1 || f.shear != 0 ? slanted(image, f.squash, f.shear) : image;
}

const char* thorough(const Image& image, FILE* log = nullptr) {
    return decode_symbol_thorough(image.pixels.data(), image.width, image.height, 8, log);
}

}  // namespace

TEST(Thorough, ReadsWhatTheDesignedPassMisses) {
    // clang-format off
    const Frame frames[] = {
        // Small versions turned past the designed estimate's reach, one at 45 degrees.
        {"v1 at 17 degrees", 1, {.module_px = 4, .angle_deg = 17}},
        {"v3 at 195 degrees", 3, {.module_px = 4, .angle_deg = 195}},
        {"v7 at 45 degrees", 7, {.module_px = 4, .angle_deg = 45}},
        {"v8 at 40 degrees", 8, {.module_px = 3, .angle_deg = -40}},
        {"keystone", 4, {.module_px = 5, .perspective_x = 0.15, .perspective_y = 0.05}},
        {"light on dark", 3, {.module_px = 4, .dark = 255, .light = 0}},
        // The local threshold speckles a noisy ground with hundreds of thin
        // finder-like runs above the symbol.
        {"light on a noisy dark ground, turned", 2,
         {.module_px = 4, .angle_deg = 37, .noise = 4, .seed = 1, .dark = 225, .light = 25}},
        {"mirrored", 2, {.module_px = 4}, true},
        {"mirrored and turned", 6, {.module_px = 4, .angle_deg = 25}, true},
        {"30 % contrast under a gradient", 4, {.module_px = 4, .dark = 140, .light = 217, .gradient = 0.5}, false, true},
        // Modules shorter than they are wide, on slanted columns: the timing
        // patterns beside the finders are found only with each direction's
        // own module size.
        {"v1 squashed and sheared", 1, {.module_px = 6, .canvas_width = 240, .canvas_height = 240}, false, false, 0.75, 0.2},
        {"v3 squashed and sheared", 3, {.module_px = 6, .canvas_width = 300, .canvas_height = 300}, false, false, 0.8, 0.3},
        // 1.5 pixels a module, too few for the run tests until doubled.
        {"small", 2, {.module_px = 1.5, .canvas_width = 80, .canvas_height = 80}},
    };
    // clang-format on
    int k = 0;
    for (const Frame& f : frames) {
        SCOPED_TRACE(f.what);
        const std::string text = "thorough " + std::to_string(k++);
        const Image image = drawn(f, text);
        if (!f.designed_reads) {
            ASSERT_EQ(decode_symbol(image.pixels.data(), image.width, image.height, 8, nullptr), nullptr);
        }
        const char* read = thorough(image);
        ASSERT_NE(read, nullptr);
        EXPECT_EQ(read, text);
        int32_t partial = 1;
        decoder_query(1, &partial);
        EXPECT_EQ(partial, 0);
        ReadInfo info;
        ASSERT_EQ(decoder_read_info(&info), -1);
        EXPECT_EQ(info.strategy > 0, !f.designed_reads);
        EXPECT_EQ(info.mirrored, f.mirrored ? -1 : 0);
    }
}

// An upright symbol's corners are where the renderer put its outer edges;
// mirrored, its own top right is drawn at the top left.
TEST(Thorough, CornersAreTheSymbolsOwnInImagePixels) {
    for (bool mirrored : {false, true}) {
        const Frame f{"corners", 2, {.module_px = 4}, mirrored};
        const Image image = drawn(f, "corners");
        ASSERT_STREQ(thorough(image), "corners");
        ReadInfo info;
        ASSERT_EQ(decoder_read_info(&info), -1);
        EXPECT_EQ(info.strategy > 0, mirrored);
        EXPECT_EQ(info.mirrored, mirrored ? -1 : 0);
        const float half = 25 * 4 / 2.0f, left = 320 - half, right = 320 + half;
        const float top = 240 - half, bottom = 240 + half;
        const float expected[4][2] = {{mirrored ? right : left, top},
                                      {mirrored ? left : right, top},
                                      {mirrored ? left : right, bottom},
                                      {mirrored ? right : left, bottom}};
        for (int k = 0; k < 4; ++k)
            for (int a = 0; a < 2; ++a)
                EXPECT_NEAR(info.corners[k][a], expected[k][a], 1.5) << mirrored << " corner " << k;
    }
}

// The local threshold against its definition, pixel by pixel: dark below the
// mean of the 5 x 5 blocks around (light: above), all light where they span
// under 24 grey levels; odd sizes leave partial blocks and vector tails.
TEST(Thorough, LocalThresholdIsTheMeanOfTheBlocksAround) {
    uint32_t state = 3;
    for (const auto& [w, h] : {std::pair{37, 53}, std::pair{203, 121}}) {
        std::vector<uint8_t> image(static_cast<size_t>(w) * h), binary(image.size());
        for (size_t i = 0; i < image.size(); ++i) {
            state = state * 1664525u + 1013904223u;
            // Patches of plain ground among noise, so that both rules apply.
            image[i] = (i / 97) % 3 == 0 ? 200 : static_cast<uint8_t>(state >> 24);
        }
        const int side = std::clamp(std::min(w, h) / 40, 4, 26);
        for (bool lighter : {false, true}) {
            ASSERT_TRUE(vorden::local_threshold(image.data(), w, h, lighter, binary.data()));
            int wrong = 0;
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) {
                    uint64_t sum = 0, count = 0;
                    int low = 255, high = 0;
                    for (int yy = std::max(0, (y / side - 2) * side); yy < std::min(h, (y / side + 3) * side);
                         ++yy)
                        for (int xx = std::max(0, (x / side - 2) * side);
                             xx < std::min(w, (x / side + 3) * side); ++xx) {
                            const int p = image[static_cast<size_t>(yy) * w + xx];
                            sum += p, ++count, low = std::min(low, p), high = std::max(high, p);
                        }
                    const int p = image[static_cast<size_t>(y) * w + x];
                    const bool dark =
                        high - low >= 24 && (lighter ? p * count > sum + count : (p + 1) * count < sum);
                    wrong += (binary[static_cast<size_t>(y) * w + x] == 64) != dark;
                }
            EXPECT_EQ(wrong, 0) << w << "x" << h << (lighter ? " light" : " dark");
        }
    }
}

TEST(Thorough, FramesWithoutASymbolGiveNoText) {
    Image noise{640, 480, std::vector<uint8_t>(640 * 480)};
    uint32_t state = 7;
    for (uint8_t& p : noise.pixels) p = static_cast<uint8_t>((state = state * 1664525u + 1013904223u) >> 24);
    Image squares{640, 480, std::vector<uint8_t>(640 * 480, 230)};
    // Finder-like squares in rows, dark on light and, inverted, light on dark.
    for (int y0 = 10; y0 + 28 < 480; y0 += 40)
        for (int x0 = 10 + y0 % 30; x0 + 28 < 640; x0 += 45)
            for (int y = 0; y < 28; ++y)
                for (int x = 0; x < 28; ++x) {
                    const int ring = std::min(std::min(x, y), std::min(27 - x, 27 - y)) / 4;
                    squares.pixels[(y0 + y) * 640 + x0 + x] = ring == 1 ? 230 : 20;
                }
    Image inverted = squares;
    for (uint8_t& p : inverted.pixels) p = static_cast<uint8_t>(255 - p);
    for (const Image* image : {&noise, &squares, &inverted}) {
        EXPECT_EQ(thorough(*image), nullptr);
        ReadInfo info;
        EXPECT_EQ(decoder_read_info(&info), 0);
    }
}

// The designed call's lines come first and unchanged; each strategy tried
// adds one line, and a read by the designed call adds none.
TEST(Thorough, LogIsTheDesignedCallsThenOneLinePerStrategy) {
    const Image clean = drawn({"clean", 2, {.module_px = 4}}, "clean");
    const std::string designed =
        log_of([&](FILE* log) { decode_symbol(clean.pixels.data(), clean.width, clean.height, 8, log); });
    EXPECT_EQ(log_of([&](FILE* log) { thorough(clean, log); }), designed);

    const Image turned = drawn({"turned", 2, {.module_px = 4, .angle_deg = 30}}, "turned");
    const std::string missed =
        log_of([&](FILE* log) { decode_symbol(turned.pixels.data(), turned.width, turned.height, 8, log); });
    const std::string log = log_of([&](FILE* log) { EXPECT_STREQ(thorough(turned, log), "turned"); });
    ASSERT_EQ(log.substr(0, missed.size()), missed);
    ReadInfo info;
    ASSERT_EQ(decoder_read_info(&info), -1);
    std::string expected;
    for (int k = 0; k < info.strategy - 1; ++k)
        expected += std::string("thorough: ") + vorden::thorough_strategy_name(k) + " failed\n";
    EXPECT_EQ(log.substr(missed.size()), expected + "thorough: " + info.strategy_name + " read\n");
}

// A text the designed call read only provisionally stays the answer when no
// strategy reads it surely, and is reported as provisional.
TEST(Thorough, ProvisionalReadIsKeptWhenNothingBetterIsFound) {
    Symbol damaged = encode(Mode::Byte, "provisional", {.version = 1, .level = Level::M});
    const auto codewords = codeword_modules(damaged);
    for (int k = 0; k < vorden::ec_block_table[1][static_cast<int>(Level::M)][0][3]; ++k)
        for (int m : codewords[k]) damaged.dark[m] ^= 1;
    const Image image = render(damaged);
    EXPECT_STREQ(thorough(image), "provisional");
    int32_t partial = 0;
    decoder_query(1, &partial);
    EXPECT_EQ(partial, -1);
}
