// The test symbol renderer: what the decoder tests take on trust.
#include "renderer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

using namespace vorden::test;

namespace {

const Level kLevels[] = {Level::L, Level::M, Level::Q, Level::H};

// ISO/IEC 18004 Table 10, i = row, j = column.
bool mask_pattern(int mask, int i, int j) {
    switch (mask) {
        case 0:
            return (i + j) % 2 == 0;
        case 1:
            return i % 2 == 0;
        case 2:
            return j % 3 == 0;
        case 3:
            return (i + j) % 3 == 0;
        case 4:
            return (i / 2 + j / 3) % 2 == 0;
        case 5:
            return (i * j) % 2 + (i * j) % 3 == 0;
        case 6:
            return ((i * j) % 2 + (i * j) % 3) % 2 == 0;
        default:
            return ((i + j) % 2 + (i * j) % 3) % 2 == 0;
    }
}

int dark_count(const Symbol& s) {
    return static_cast<int>(std::count(s.dark.begin(), s.dark.end(), 1));
}

uint8_t at_module(const Symbol& s, const RenderOptions& o, const Image& img, double c, double r) {
    double x, y;
    module_center(s, o, img, c, r, &x, &y);
    return img.at(static_cast<int>(std::floor(x)), static_cast<int>(std::floor(y)));
}

}  // namespace

TEST(RendererEncode, VersionSizeAndLevel) {
    for (int version : {1, 2, 7, 21, 40}) {
        for (Level level : kLevels) {
            const Symbol s = encode(Mode::Byte, "vorden", {.version = version, .level = level});
            EXPECT_EQ(s.version, version);
            EXPECT_EQ(s.size, 17 + 4 * version);
            EXPECT_EQ(s.dark.size(), static_cast<size_t>(s.size * s.size));
            EXPECT_EQ(s.level, level);
            EXPECT_EQ(read_level(s), level);
        }
    }
    // Byte capacity at L: version 4 holds 78, version 5 106 (ISO/IEC 18004 Table 7).
    EXPECT_EQ(encode(Mode::Byte, std::string(100, 'x'), {.level = Level::L}).version, 5);
}

TEST(RendererEncode, EachModeHasItsOwnCapacity) {
    // Version 1-L capacities per mode (ISO/IEC 18004 Table 7): one more character must not fit.
    const std::string kanji = "\x93\x5f";  // Shift JIS for U+70B9
    struct Case {
        Mode mode;
        std::string unit;
        int capacity;
    } cases[] = {{Mode::Numeric, "7", 41},
                 {Mode::Alphanumeric, "Q", 25},
                 {Mode::Byte, "q", 17},
                 {Mode::Kanji, kanji, 10}};
    const EncodeOptions v1l{.version = 1, .level = Level::L};
    for (const Case& c : cases) {
        std::string data;
        for (int i = 0; i < c.capacity; ++i) data += c.unit;
        EXPECT_EQ(encode(c.mode, data, v1l).version, 1);
        EXPECT_THROW(encode(c.mode, data + c.unit, v1l), std::runtime_error);
    }
    EXPECT_THROW(encode(Mode::Numeric, "12A"), std::runtime_error);
    EXPECT_THROW(encode(Mode::Alphanumeric, "abc"), std::runtime_error);
    EXPECT_THROW(encode(Mode::Kanji, "AB"), std::runtime_error);
    EXPECT_THROW(encode(Mode::Byte, "x", {.mask = 8}), std::invalid_argument);
}

TEST(RendererEncode, MixedSegmentsKeepTheirModes) {
    // 30 digits (114 bits) + 3 bytes (36 bits) fit version 1-L's 152 bits; 33 bytes would not.
    const std::string digits = "012345678901234567890123456789";
    const EncodeOptions v1l{.version = 1, .level = Level::L};
    EXPECT_EQ(encode({{Mode::Numeric, digits}, {Mode::Byte, std::string("a\0b", 3)}}, v1l).version, 1);
    EXPECT_THROW(encode(Mode::Byte, digits + "abc", v1l), std::runtime_error);
    const Symbol all = encode({{Mode::Alphanumeric, "HELLO "},
                               {Mode::Kanji, "\x93\x5f\x88\x9f"},
                               {Mode::Numeric, "42"},
                               {Mode::Byte, "!"}},
                              {.version = 2});
    EXPECT_EQ(all.version, 2);
}

TEST(RendererEncode, ForcedMaskIsInFormatInformation) {
    for (Level level : kLevels) {
        for (int mask = 0; mask < 8; ++mask) {
            const Symbol s = encode(Mode::Byte, "mask test", {.version = 3, .level = level, .mask = mask});
            EXPECT_EQ(read_mask(s), mask);
            EXPECT_EQ(s.mask, mask);
            EXPECT_EQ(read_level(s), level);
        }
    }
    const Symbol chosen = encode(Mode::Byte, "chosen");
    EXPECT_GE(chosen.mask, 0);
    EXPECT_EQ(chosen.mask, read_mask(chosen));
}

TEST(RendererEncode, ForcedMaskIsAppliedToTheData) {
    // The same data under two masks differs, outside function patterns, by exactly the two patterns.
    const Symbol base = encode(Mode::Byte, "same data", {.version = 7, .mask = 0});
    for (int mask = 1; mask < 8; ++mask) {
        const Symbol s = encode(Mode::Byte, "same data", {.version = 7, .mask = mask});
        int wrong = 0;
        for (int r = 0; r < s.size; ++r) {
            for (int c = 0; c < s.size; ++c) {
                if (s.function[c + r * s.size]) continue;
                const bool expect = mask_pattern(mask, r, c) != mask_pattern(0, r, c);
                wrong += (s.is_dark(c, r) != base.is_dark(c, r)) != expect;
            }
        }
        EXPECT_EQ(wrong, 0) << "mask " << mask;
    }
}

TEST(RendererEncode, ReadMaskUsesEitherCopyAndCorrectsErrors) {
    for (Level level : kLevels) {
        for (int mask = 0; mask < 8; ++mask) {
            const Symbol clean = encode(Mode::Byte, "errors", {.version = 2, .level = level, .mask = mask});
            const int n = clean.size;
            // Five errors (bits 0, 7, 10, 12, 14) ruin a copy; the other, intact, must be read where it is.
            Symbol first_ruined = clean, second_ruined = clean, both_damaged = clean;
            for (auto [c, r] : {std::pair{8, 0}, {8, 8}, {4, 8}, {2, 8}, {0, 8}}) first_ruined.flip(c, r);
            for (auto [c, r] : {std::pair{n - 1, 8}, {n - 8, 8}, {8, n - 7}, {8, n - 3}, {8, n - 1}}) {
                second_ruined.flip(c, r);
            }
            for (auto [c, r] : {std::pair{8, 1}, {8, 7}, {1, 8}, {n - 2, 8}, {8, n - 6}, {8, n - 2}}) {
                both_damaged.flip(c, r);  // three errors in each
            }
            for (const Symbol* s : {&first_ruined, &second_ruined, &both_damaged}) {
                EXPECT_EQ(read_mask(*s), mask);
                EXPECT_EQ(read_level(*s), level);
            }
        }
    }
}

TEST(RendererMatrix, FinderAndTimingPatterns) {
    for (int version : {1, 7}) {
        const Symbol s = encode(Mode::Byte, "finder", {.version = version});
        const int n = s.size;
        for (auto [c0, r0] : {std::pair{0, 0}, {n - 7, 0}, {0, n - 7}}) {
            for (int r = -1; r <= 7; ++r) {
                for (int c = -1; c <= 7; ++c) {
                    const int col = c0 + c, row = r0 + r;
                    if (col < 0 || row < 0 || col >= n || row >= n) continue;
                    const int ring = std::max(std::abs(c - 3), std::abs(r - 3));
                    EXPECT_EQ(s.is_dark(col, row), ring <= 1 || ring == 3)
                        << col << "," << row;  // separator: ring 4
                    EXPECT_TRUE(s.function[col + row * n]);
                }
            }
        }
        // No finder at the bottom right.
        int function = 0;
        for (int r = n - 7; r < n; ++r) {
            for (int c = n - 7; c < n; ++c) function += s.function[c + r * n];
        }
        EXPECT_LT(function, 49);
        for (int i = 8; i < n - 8; ++i) {
            EXPECT_EQ(s.is_dark(i, 6), i % 2 == 0);
            EXPECT_EQ(s.is_dark(6, i), i % 2 == 0);
            EXPECT_TRUE(s.function[i + 6 * n] && s.function[6 + i * n]);
        }
    }
}

TEST(RendererMatrix, FunctionFlagsCoverEverythingButTheEncodingRegion) {
    // Data and error correction modules per version (ISO/IEC 18004 Table 1, codewords * 8 + remainder).
    for (auto [version, data_modules] : {std::pair{1, 208}, {2, 359}, {7, 1568}, {14, 4651}, {40, 29648}}) {
        const Symbol s = encode(Mode::Byte, "flags", {.version = version});
        const int n = s.size;
        EXPECT_EQ(std::count(s.function.begin(), s.function.end(), 0), data_modules) << version;
        EXPECT_TRUE(s.is_dark(8, n - 8) && s.function[8 + (n - 8) * n]);  // the dark module
        for (int i = 0; i < 9; ++i) EXPECT_TRUE(s.function[8 + i * n] && s.function[i + 8 * n]);  // format
        for (int i = 0; i < 8; ++i)
            EXPECT_TRUE(s.function[8 + (n - 1 - i) * n] && s.function[n - 1 - i + 8 * n]);
        for (int i = 0; i < 18; ++i) {
            const int a = n - 11 + i % 3, b = i / 3;
            EXPECT_EQ(s.function[a + b * n] != 0, version >= 7);
            EXPECT_EQ(s.function[b + a * n] != 0, version >= 7);
        }
    }
    const Symbol v2 = encode(Mode::Byte, "align", {.version = 2});
    for (int r = 16; r <= 20; ++r) {
        for (int c = 16; c <= 20; ++c) {
            EXPECT_TRUE(v2.function[c + r * v2.size]);
            EXPECT_EQ(v2.is_dark(c, r), std::max(std::abs(c - 18), std::abs(r - 18)) != 1);
        }
    }
}

TEST(RendererStructured, SplitsOverSeveralSymbols) {
    // Version 1-L: 152 bits less the 20-bit header, 4-bit mode and 8-bit count leave 15 bytes each.
    std::string data;
    for (int i = 0; i < 100; ++i) data += static_cast<char>('a' + i % 26);
    const std::vector<Symbol> symbols = encode_structured(data, 1, Level::L);
    ASSERT_EQ(symbols.size(), 7u);
    for (size_t i = 0; i < symbols.size(); ++i) {
        EXPECT_EQ(symbols[i].version, 1);
        EXPECT_EQ(read_level(symbols[i]), Level::L);
        EXPECT_EQ(symbols[i].mask, read_mask(symbols[i]));
        if (i > 0) {
            EXPECT_NE(symbols[i].dark, symbols[i - 1].dark);
        }
    }
    EXPECT_EQ(encode_structured(std::string(40, 'z'), 2, Level::M).size(), 2u);
    EXPECT_THROW(encode_structured(data, 0, Level::L), std::invalid_argument);
}

TEST(RendererImage, AxisAlignedModulesAreExact) {
    const Symbol s = encode(Mode::Byte, "exact", {.version = 2});
    for (int m : {1, 3, 4}) {
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

TEST(RendererImage, QuarterTurnIsClockwise) {
    const Symbol s = encode(Mode::Byte, "turn", {.version = 1});
    const Image upright = render(s, {.module_px = 3});
    const Image turned = render(s, {.module_px = 3, .angle_deg = 90});
    ASSERT_EQ(turned.width, upright.width);
    const int w = upright.width;
    int mismatches = 0;
    for (int y = 0; y < w; ++y) {
        for (int x = 0; x < w; ++x) mismatches += turned.at(x, y) != upright.at(y, w - 1 - x);
    }
    EXPECT_EQ(mismatches, 0);
}

TEST(RendererImage, RotatedAndKeystonedModuleCentres) {
    const Symbol s = encode(Mode::Byte, "geometry", {.version = 3});
    const double angles[] = {10, 30, 45, 137.5, -71};
    const std::pair<double, double> keystones[] = {{0, 0}, {0.15, 0}, {0, -0.12}, {0.1, 0.1}};
    for (double angle : angles) {
        for (auto [px, py] : keystones) {
            const RenderOptions o{
                .module_px = 6, .angle_deg = angle, .perspective_x = px, .perspective_y = py};
            const Image img = render(s, o);
            int wrong = 0;
            for (int r = 0; r < s.size; ++r) {
                for (int c = 0; c < s.size; ++c)
                    wrong += at_module(s, o, img, c + 0.5, r + 0.5) != (s.is_dark(c, r) ? 0 : 255);
            }
            EXPECT_EQ(wrong, 0) << angle << " " << px << " " << py;
            EXPECT_EQ(at_module(s, o, img, -2, -2), 255);  // quiet zone
        }
    }
}

TEST(RendererImage, KeystoneShortensOneSide) {
    const Symbol s = encode(Mode::Byte, "keystone", {.version = 1});
    const Image img = render(s, {});
    const double n = s.size;
    auto length = [&](const RenderOptions& o, double c0, double r0, double c1, double r1) {
        double x0, y0, x1, y1;
        module_center(s, o, img, c0, r0, &x0, &y0);
        module_center(s, o, img, c1, r1, &x1, &y1);
        return std::hypot(x1 - x0, y1 - y0);
    };
    const RenderOptions right{.perspective_x = 0.2}, left{.perspective_x = -0.2},
        bottom{.perspective_y = 0.2};
    EXPECT_NEAR(length(right, n, 0, n, n), 0.8 * length(right, 0, 0, 0, n), 1e-9);
    EXPECT_NEAR(length(left, 0, 0, 0, n), 0.8 * length(left, n, 0, n, n), 1e-9);
    EXPECT_NEAR(length(bottom, 0, n, n, n), 0.8 * length(bottom, 0, 0, n, 0), 1e-9);
}

TEST(RendererImage, EdgesAreAntiAliasedByArea) {
    const Symbol s = encode(Mode::Byte, "coverage", {.version = 2});
    // Half a pixel off the grid: the pixel over the finder's left edge is half covered.
    const RenderOptions shifted{.module_px = 4, .canvas_width = 150, .canvas_height = 150, .center_x = 75.5};
    const Image img = render(s, shifted);
    double x, y;
    module_center(s, shifted, img, 0, 3.5, &x, &y);
    EXPECT_DOUBLE_EQ(x - std::floor(x), 0.5);
    EXPECT_EQ(img.at(static_cast<int>(x), static_cast<int>(y)), 128);
    // Rotation keeps area: the image's total darkness is the dark modules' area.
    const double m = 2.7;
    const Image turned = render(s, {.module_px = m, .angle_deg = 23});
    double darkness = 0;
    for (uint8_t p : turned.pixels) darkness += (255 - p) / 255.0;
    EXPECT_NEAR(darkness, dark_count(s) * m * m, 0.01 * dark_count(s) * m * m);
}

TEST(RendererImage, ContrastAndGradient) {
    const Symbol s = encode(Mode::Byte, "levels", {.version = 2});
    for (double angle : {0.0, 30.0}) {
        const Image img = render(s, {.angle_deg = angle, .dark = 40, .light = 180});
        EXPECT_EQ(*std::min_element(img.pixels.begin(), img.pixels.end()), 40);
        EXPECT_EQ(*std::max_element(img.pixels.begin(), img.pixels.end()), 180);
    }
    const RenderOptions lit{.gradient = 0.4};
    const Image img = render(s, lit);
    for (int x = 0; x < img.width; ++x) {  // row 0 is quiet zone throughout
        EXPECT_NEAR(img.at(x, 0), 255 * (1 - 0.4 * (x + 0.5) / img.width), 0.51) << x;
    }
    EXPECT_EQ(*std::min_element(img.pixels.begin(), img.pixels.end()), 0);  // black reflects nothing
}

TEST(RendererImage, BlurSoftensEdgesAndKeepsTheMean) {
    const Symbol s = encode(Mode::Byte, "blur", {.version = 2});
    const RenderOptions sharp_o{.module_px = 6}, blur_o{.module_px = 6, .blur = 1.5};
    const Image sharp = render(s, sharp_o), blurred = render(s, blur_o);
    auto mean = [](const Image& i) {
        double sum = 0;
        for (uint8_t p : i.pixels) sum += p;
        return sum / i.pixels.size();
    };
    auto grey = [](const Image& i) {
        return std::count_if(i.pixels.begin(), i.pixels.end(), [](uint8_t p) { return p > 30 && p < 225; });
    };
    EXPECT_NEAR(mean(blurred), mean(sharp), 0.5);
    EXPECT_EQ(grey(sharp), 0);
    EXPECT_GT(grey(blurred), static_cast<long>(sharp.pixels.size() / 10));
    EXPECT_LT(at_module(s, blur_o, blurred, 3.5, 3.5), 5);  // finder core: 18 px of dark
}

TEST(RendererImage, NoiseIsGaussianAndSeeded) {
    const Symbol s = encode(Mode::Byte, "noise", {.version = 4});
    RenderOptions o{.module_px = 5, .dark = 60, .light = 190};
    const Image clean = render(s, o);
    o.seed = 99;
    EXPECT_EQ(render(s, o).pixels, clean.pixels);  // no noise, no seed effect
    o.noise = 8;
    const Image noisy = render(s, o);
    EXPECT_EQ(render(s, o).pixels, noisy.pixels);
    o.seed = 100;
    EXPECT_NE(render(s, o).pixels, noisy.pixels);
    double sum = 0, sum2 = 0;
    for (size_t i = 0; i < clean.pixels.size(); ++i) {
        const double d = static_cast<double>(noisy.pixels[i]) - clean.pixels[i];
        sum += d;
        sum2 += d * d;
    }
    const double n = static_cast<double>(clean.pixels.size());
    EXPECT_NEAR(sum / n, 0.0, 0.15);
    // Rounding adds 1/12 to the variance.
    EXPECT_NEAR(std::sqrt(sum2 / n - (sum / n) * (sum / n)), std::sqrt(64 + 1.0 / 12), 0.2);
}

TEST(RendererImage, PlacementOnTheCanvas) {
    const Symbol s = encode(Mode::Byte, "placed", {.version = 2});
    const int half = s.size * 2;  // module_px 4
    for (auto [cx, cy] : {std::pair{150.0, 300.0}, {-1.0, -1.0}}) {
        const RenderOptions o{.canvas_width = 640, .canvas_height = 480, .center_x = cx, .center_y = cy};
        const Image img = render(s, o);
        ASSERT_EQ(img.width, 640);
        ASSERT_EQ(img.height, 480);
        const int ex = cx < 0 ? 320 : static_cast<int>(cx), ey = cy < 0 ? 240 : static_cast<int>(cy);
        int x0 = img.width, x1 = -1, y0 = img.height, y1 = -1;
        for (int y = 0; y < img.height; ++y) {
            for (int x = 0; x < img.width; ++x) {
                if (img.at(x, y) != 0) continue;
                x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
            }
        }
        EXPECT_EQ(x0, ex - half);
        EXPECT_EQ(x1, ex + half - 1);
        EXPECT_EQ(y0, ey - half);
        EXPECT_EQ(y1, ey + half - 1);
    }
    // Partly off the canvas: what is on it is still right.
    const RenderOptions corner{.canvas_width = 60, .canvas_height = 40, .center_x = 0, .center_y = 0};
    const Image img = render(s, corner);
    EXPECT_EQ(at_module(s, corner, img, s.size - 3.5, s.size - 3.5),
              s.is_dark(s.size - 4, s.size - 4) ? 0 : 255);
}

TEST(RendererImage, DefaultCanvasFitsTheRotatedQuietZone) {
    const Symbol s = encode(Mode::Byte, "fit", {.version = 1});
    const RenderOptions o{.module_px = 3, .quiet_zone = 2, .angle_deg = 45};
    const Image img = render(s, o);
    EXPECT_EQ(img.width, static_cast<int>(std::ceil((s.size + 4) * 3 * std::sqrt(2.0))));
    EXPECT_EQ(img.height, img.width);
    for (auto [c, r] : {std::pair{-2, -2}, {s.size + 2, -2}, {-2, s.size + 2}, {s.size + 2, s.size + 2}}) {
        double x, y;
        module_center(s, o, img, c, r, &x, &y);
        EXPECT_TRUE(x >= 0 && x <= img.width && y >= 0 && y <= img.height);
        EXPECT_TRUE(x < 1 || y < 1 || x > img.width - 1 || y > img.height - 1);  // just fits
    }
    EXPECT_THROW(render(s, {.module_px = 0}), std::invalid_argument);
    EXPECT_THROW(render(s, {.perspective_x = 0.6}), std::invalid_argument);
    EXPECT_THROW(render(Symbol{}, {}), std::invalid_argument);
}

TEST(RendererPgm, WritesHeaderAndPixels) {
    const Image img{.width = 3, .height = 2, .pixels = {0, 1, 2, 250, 254, 255}};
    const std::string path = testing::TempDir() + "renderer_test.pgm";
    write_pgm(img, path);
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::remove(path.c_str());
    EXPECT_EQ(bytes, std::string("P5\n3 2\n255\n") + std::string(img.pixels.begin(), img.pixels.end()));
}
