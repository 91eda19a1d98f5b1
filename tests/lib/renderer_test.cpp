// The test symbol renderer, as far as the decoder tests take it on trust:
// the version and mask asked for, exact pixels upright, the module-centre
// mapping under rotation and keystone, seeded noise, options refused.
#include "renderer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

using namespace vorden::test;

namespace {

// ISO/IEC 18004 Table 10, i = row, j = column.
bool mask_pattern(int mask, int i, int j) {
    const int p = i * j;
    const bool dark[8] = {(i + j) % 2 == 0,
                          i % 2 == 0,
                          j % 3 == 0,
                          (i + j) % 3 == 0,
                          (i / 2 + j / 3) % 2 == 0,
                          p % 2 + p % 3 == 0,
                          (p % 2 + p % 3) % 2 == 0,
                          ((i + j) % 2 + p % 3) % 2 == 0};
    return dark[mask];
}

}  // namespace

TEST(Renderer, KeepsTheVersionAndLevelAskedFor) {
    for (int version : {1, 7, 40}) {
        for (Level level : {Level::L, Level::M, Level::Q, Level::H}) {
            const Symbol s = encode(Mode::Byte, "vorden", {.version = version, .level = level});
            EXPECT_EQ(s.version, version);
            EXPECT_EQ(s.size, 17 + 4 * version);
            EXPECT_EQ(read_level(s), level);
        }
    }
    // 1-L holds 17 bytes (ISO/IEC 18004 Table 7): one more is refused, not moved up.
    EXPECT_EQ(encode(Mode::Byte, std::string(17, 'q'), {.version = 1, .level = Level::L}).version, 1);
    EXPECT_THROW(encode(Mode::Byte, std::string(18, 'q'), {.version = 1, .level = Level::L}),
                 std::runtime_error);
}

TEST(Renderer, ForcedMaskIsInTheFormatInformationAndOnTheData) {
    // The same data under two masks differs, outside function patterns, by exactly the two patterns.
    const Symbol base = encode(Mode::Byte, "same data", {.version = 7, .level = Level::Q, .mask = 0});
    for (int mask = 0; mask < 8; ++mask) {
        const Symbol s = encode(Mode::Byte, "same data", {.version = 7, .level = Level::Q, .mask = mask});
        EXPECT_EQ(read_mask(s), mask);
        EXPECT_EQ(read_level(s), Level::Q);
        int wrong = 0;
        for (int r = 0; r < s.size; ++r) {
            for (int c = 0; c < s.size; ++c) {
                if (s.function[c + r * s.size]) continue;
                const bool flipped = mask_pattern(mask, r, c) != mask_pattern(0, r, c);
                wrong += (s.is_dark(c, r) != base.is_dark(c, r)) != flipped;
            }
        }
        EXPECT_EQ(wrong, 0) << "mask " << mask;
    }
}

TEST(Renderer, UprightModulesArePixelExactAndCentresMapOntoThem) {
    const Symbol s = encode(Mode::Byte, "exact", {.version = 2});
    for (int m : {1, 3}) {
        const RenderOptions o{.module_px = static_cast<double>(m), .quiet_zone = 4};
        const Image img = render(s, o);
        const int side = (s.size + 8) * m;
        ASSERT_EQ(img.width, side);
        ASSERT_EQ(img.height, side);
        for (int y = 0; y < side; ++y) {
            for (int x = 0; x < side; ++x) {
                const int c = x / m - 4, r = y / m - 4;
                const bool dark = c >= 0 && r >= 0 && c < s.size && r < s.size && s.is_dark(c, r);
                ASSERT_EQ(img.at(x, y), dark ? 0 : 255) << "m " << m << " at " << x << "," << y;
            }
        }
        double x, y;
        module_center(s, o, img, 2.5, 0.5, &x, &y);
        EXPECT_DOUBLE_EQ(x, 6.5 * m);
        EXPECT_DOUBLE_EQ(y, 4.5 * m);
    }
}

TEST(Renderer, ModuleCentresFollowRotationAndKeystone) {
    const Symbol s = encode(Mode::Byte, "geometry", {.version = 3});
    for (double angle : {30.0, 137.5, -71.0}) {
        for (auto [px, py] : {std::pair{0.0, 0.0}, {0.15, 0.0}, {0.1, -0.1}}) {
            const RenderOptions o{
                .module_px = 6, .angle_deg = angle, .perspective_x = px, .perspective_y = py};
            const Image img = render(s, o);
            int wrong = 0;
            for (int r = -1; r <= s.size; ++r) {
                for (int c = -1; c <= s.size; ++c) {
                    double x, y;
                    module_center(s, o, img, c + 0.5, r + 0.5, &x, &y);
                    const bool dark = c >= 0 && r >= 0 && c < s.size && r < s.size && s.is_dark(c, r);
                    wrong += img.at(static_cast<int>(std::floor(x)), static_cast<int>(std::floor(y))) !=
                             (dark ? 0 : 255);
                }
            }
            EXPECT_EQ(wrong, 0) << angle << " " << px << " " << py;
        }
    }
}

TEST(Renderer, NoiseIsDeterminedByItsSeed) {
    const Symbol s = encode(Mode::Byte, "noise", {.version = 4});
    RenderOptions o{.dark = 60, .light = 190};
    const Image clean = render(s, o);
    o.seed = 99;
    EXPECT_EQ(render(s, o).pixels, clean.pixels);  // no noise, no seed effect
    o.noise = 8;
    const Image noisy = render(s, o);
    EXPECT_NE(noisy.pixels, clean.pixels);
    EXPECT_EQ(render(s, o).pixels, noisy.pixels);
    o.seed = 100;
    EXPECT_NE(render(s, o).pixels, noisy.pixels);
}

TEST(Renderer, OptionsOutOfRangeAreRefused) {
    const Symbol s = encode(Mode::Byte, "x", {.version = 1});
    EXPECT_THROW(encode(Mode::Byte, "x", {.mask = 8}), std::invalid_argument);
    EXPECT_THROW(encode(Mode::Byte, "x", {.version = 41}), std::invalid_argument);
    EXPECT_THROW(encode(Mode::Numeric, "12A"), std::runtime_error);
    EXPECT_THROW(encode_structured("x", 0, Level::L), std::invalid_argument);
    EXPECT_THROW(render(s, {.module_px = 0}), std::invalid_argument);
    EXPECT_THROW(render(s, {.perspective_x = 0.6}), std::invalid_argument);
    EXPECT_THROW(render(Symbol{}, {}), std::invalid_argument);
}
