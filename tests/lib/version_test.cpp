// Version estimation and version information: the tables against their
// definitions, matching, estimation from finder geometry, and the copies
// read from rendered symbols.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "decoder.h"
#include "renderer.h"
#include "stages.h"

using namespace vorden;
using namespace vorden::test;

namespace {

DecoderState& S = decoder_state;

// Estimates the version from three finder records `size` pixels across at
// the given centres, in a blank 400 x 400 image.
int32_t estimate(std::vector<float> xy, float size, int attempt = 0) {
    std::vector<uint8_t> pixels(400 * 400, 0);
    S.image_width = S.image_height = 400;
    S.binary_image = pixels.data();
    empty_pool(&S.finder_patterns, sizeof(FinderPattern));
    for (int i = 0; i < 3; ++i) {
        FinderPattern f{};
        f.x = xy[2 * i];
        f.y = xy[2 * i + 1];
        f.width = f.height = f.size = size;
        memchunk_add(&S.finder_patterns, &f);
        S.selected_finders[i] = i;
    }
    const int32_t version = estimate_version(attempt, 400, 400);
    memchunk_free(&S.finder_patterns);
    S.binary_image = nullptr;
    return version;
}

// Finders of a symbol at 4 pixels per module, centres `modules` apart from (50, 50).
int32_t estimate_square(float modules, float size, int attempt = 0) {
    return estimate({50, 50, 50 + modules * 4, 50, 50, 50 + modules * 4}, size, attempt);
}

// The log of finding the finders and estimating the version, from the first units on.
std::string estimate_logged(const Image& image, int32_t* version) {
    Stages stages(image);
    const std::string log = log_of([&](FILE*) {
        EXPECT_EQ(find_finder_patterns(), -1);
        *version = estimate_version(0, image.width, image.height);
    });
    return log.substr(log.find("x_unit("));
}

}  // namespace

TEST(VersionTables, BchWordsAtDistanceEightAndOffsetsOnTheStandardModules) {
    for (uint32_t v = 0; v <= 40; ++v) {
        // Generator x^12 + x^11 + x^10 + x^9 + x^8 + x^5 + x^2 + 1 (ISO/IEC 18004 Annex D).
        uint32_t r = v < 7 ? 0 : v << 12;
        for (int bit = 17; bit >= 12; --bit)
            if (r & (1u << bit)) r ^= 0x1F25u << (bit - 12);
        EXPECT_EQ(version_info_words[v], v < 7 ? 0 : v << 12 | r) << v;
        for (uint32_t w = 7; w < v; ++w)
            EXPECT_GE(__builtin_popcount(version_info_words[v] ^ version_info_words[w]), 8) << v << " " << w;
    }
    // Bit i of copy 1 sits at column size - 11 + i mod 3, row i div 3, and
    // F1's centre at (size - 4, 3); copy 2 is the transpose beside F2.
    for (int k = 0; k < 18; ++k) {
        const int i = 17 - k;
        EXPECT_EQ(version_info_offsets[0][k][0], -7 + i % 3) << k;
        EXPECT_EQ(version_info_offsets[0][k][1], i / 3 - 3) << k;
        EXPECT_EQ(version_info_offsets[1][k][0], version_info_offsets[0][k][1]) << k;
        EXPECT_EQ(version_info_offsets[1][k][1], version_info_offsets[0][k][0]) << k;
    }
}

TEST(VersionMatch, UpToThreeBitsAreCorrectedAndMoreOrNoDarkModuleIsNoVersion) {
    int32_t v = 0;
    EXPECT_EQ(
        log_of([&](FILE*) { v = match_version_information(version_info_words[7] ^ 0b10000000000000101); }),
        "version bit different 3 bits.\n");
    EXPECT_EQ(v, 7);
    for (int version = 7; version <= 40; ++version)
        EXPECT_EQ(match_version_information(version_info_words[version] ^ (1u << (version % 18))), version);
    // One to three dark modules lie within three bits of the zero word of versions 1 to 6.
    EXPECT_EQ(match_version_information(0b100000000000000011), 1);
    EXPECT_EQ(log_of([&](FILE*) { v = match_version_information(0); }), "");
    EXPECT_EQ(v, -1);
    // A reading four bits from word 7 and at least four from every other.
    const uint32_t reading = version_info_words[7] ^ 0b1111;
    for (int version = 1; version <= 40; ++version)
        ASSERT_GE(__builtin_popcount(reading ^ version_info_words[version]), 4);
    EXPECT_EQ(match_version_information(reading), -1);
}

TEST(EstimateVersion, FromTheFinderDistanceAndNoVersionFromDegenerateGeometry) {
    // 4 pixels per module: centres 14 modules apart are version 1.
    EXPECT_EQ(estimate_square(14, 28), 1);
    EXPECT_FLOAT_EQ(S.x_unit[0], 4);
    EXPECT_FLOAT_EQ(S.y_unit[1], 4);
    EXPECT_EQ(estimate_square(34, 28, 1), 6);  // used without version information
    // Patterns 30 pixels across (module 30/7): 56 / (30/7) = 13.07 modules,
    // n = 13 estimates version 0.
    EXPECT_EQ(estimate_square(14, 30), 0);
    // 38 modules apart estimates version 7, but copy 1 reaches above y = 0
    // and copy 2 left of x = 0: the estimate itself is not used.
    EXPECT_EQ(estimate({10, 10, 162, 10, 10, 162}, 28), -1);

    EXPECT_EQ(estimate({50, 50, 50, 50, 50, 90}, 28), 0);  // corner and x-axis pattern coincide
    EXPECT_EQ(S.x_unit[0], 0);
    EXPECT_EQ(S.x_unit[1], 0);
    EXPECT_EQ(estimate_square(25, 0, 1), 0);  // zero module size
    for (float x1 : {std::nanf(""), 3.0e38f}) EXPECT_EQ(estimate({50, 50, x1, 50, 50, 150}, 28), 0) << x1;
}

TEST(VersionInformation, UpToThreeWrongModulesInCopyOne) {
    for (int version : {7, 18, 32, 40}) {
        const Symbol s = encode(Mode::Byte, "version information", {.version = version});
        for (int wrong = 0; wrong <= 3; ++wrong) {
            Symbol damaged = s;
            // Bit i of copy 1 at column size - 11 + i % 3, row i / 3.
            for (int k = 0; k < wrong; ++k) damaged.flip(s.size - 11 + (5 * k + 1) % 3, (5 * k + 1) / 3);
            int32_t found = 0;
            const std::string log = estimate_logged(render(damaged, {.module_px = 3}), &found);
            EXPECT_EQ(found, version) << log;
            EXPECT_NE(log.find("version bit different " + std::to_string(wrong) + " bits.\n"),
                      std::string::npos)
                << log;
            EXPECT_EQ(log.find("version info bit"), log.rfind("version info bit")) << "copy 2 read: " << log;
        }
    }
}

TEST(VersionInformation, CopyOneOutsideTheImageFallsBackToCopyTwo) {
    const Image full = render(encode(Mode::Byte, "cut at the top", {.version = 9}), {.module_px = 11});
    // Crop the top through row 0 of the symbol, 6 of its 11 pixels: row 0's
    // centre is then above the image, while the finder patterns' shortened
    // outer rings still pass the 1:1:3:1:1 test.
    const size_t top = 4 * 11 + 6;
    const Image cut{full.width, full.height - static_cast<int>(top),
                    std::vector<uint8_t>(full.pixels.begin() + top * full.width, full.pixels.end())};
    int32_t found = 0;
    const std::string log = estimate_logged(cut, &found);
    EXPECT_EQ(found, 9) << log;
    // Copy 1 fails before sampling anything; copy 2 is read.
    EXPECT_EQ(log.find("version info bit"), log.rfind("version info bit")) << log;
    EXPECT_NE(log.find("version info bit 0x9a99\n"), std::string::npos) << log;
}
