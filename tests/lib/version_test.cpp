// Version information: the tables against their definitions, matching, and
// the second copy read when the first lies outside the image.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "decoder.h"
#include "renderer.h"
#include "stages.h"

using namespace vorden;
using namespace vorden::test;

namespace {

DecoderState& S = decoder_state;

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

// The finder distance in modules, n, gives (n - 10) / 4: coincident corner
// and x-axis centres make n = 0 and version -2; a zero size makes the
// quotient no number, and no version.
TEST(VersionEstimate, CoincidentCentresAndZeroSizes) {
    const struct {
        float f1_x, size;
        int32_t attempt, version;
    } cases[] = {{40, 21, 0, -2}, {40, 21, 1, -2}, {40, 0, 1, 0}, {140, 0, 1, 0}};
    for (const auto& c : cases) {
        empty_pool(&S.finder_patterns, sizeof(FinderPattern));
        for (const auto& [x, y] : {std::pair{40.0f, 40.0f}, {c.f1_x, 40.0f}, {40.0f, 140.0f}}) {
            FinderPattern f{};
            f.x = x, f.y = y, f.width = f.height = 21, f.size = c.size;
            ASSERT_NE(memchunk_add(&S.finder_patterns, &f), 0);
        }
        S.selected_finders[0] = 0, S.selected_finders[1] = 1, S.selected_finders[2] = 2;
        int32_t version = 99;
        const std::string log = log_of([&](FILE*) { version = estimate_version(c.attempt, 200, 200); });
        EXPECT_EQ(version, c.version) << c.f1_x << " " << c.size;
        EXPECT_NE(log.find("version " + std::to_string(c.version) + "\n"), std::string::npos) << log;
    }
    release_finder_patterns();
}
