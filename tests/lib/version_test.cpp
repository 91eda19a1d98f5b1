// Version estimation and version information: the tables against their
// definitions, matching, and estimation from finder geometry.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "decoder.h"

using namespace vorden;

namespace {

DecoderState& S = decoder_state;

// Empties a pool of the state, releasing what an earlier case left in it.
void fresh(MemChunk* pool, int32_t element_size) {
    memchunk_free(pool);
    memchunk_init(pool, element_size);
}

uint32_t bch_18_6(uint32_t version) {
    // Generator x^12 + x^11 + x^10 + x^9 + x^8 + x^5 + x^2 + 1.
    uint32_t r = version << 12;
    for (int bit = 17; bit >= 12; --bit) {
        if (r & (1u << bit)) r ^= 0x1F25u << (bit - 12);
    }
    return (version << 12) | r;
}

std::string logged_match(uint32_t bits, int32_t* result) {
    char* buffer = nullptr;
    size_t size = 0;
    S.log_stream = open_memstream(&buffer, &size);
    *result = match_version_information(bits);
    std::fclose(S.log_stream);
    S.log_stream = nullptr;
    std::string text(buffer, size);
    std::free(buffer);
    return text;
}

// Three finder records as the finder stage leaves them, all `size` pixels
// across, at the given centres.
struct Finders {
    std::vector<uint8_t> pixels;
    Finders(float x0, float y0, float x1, float y1, float x2, float y2, float size, int w = 400, int h = 400)
        : pixels(static_cast<size_t>(w) * h, 0) {
        S.image_width = w;
        S.image_height = h;
        S.binary_image = pixels.data();
        S.log_stream = nullptr;
        fresh(&S.finder_patterns, sizeof(FinderPattern));
        const float centres[3][2] = {{x0, y0}, {x1, y1}, {x2, y2}};
        for (int i = 0; i < 3; ++i) {
            FinderPattern f{};
            f.x = centres[i][0];
            f.y = centres[i][1];
            f.width = f.height = f.size = size;
            memchunk_add(&S.finder_patterns, &f);
            S.selected_finders[i] = i;
        }
    }
    ~Finders() {
        memchunk_free(&S.finder_patterns);
        S.binary_image = nullptr;
    }
};

}  // namespace

TEST(VersionTables, WordsAreTheBchCodeWithDistanceAtLeastEight) {
    for (uint32_t v = 0; v <= 6; ++v) EXPECT_EQ(version_info_words[v], 0u);
    for (uint32_t v = 7; v <= 40; ++v) EXPECT_EQ(version_info_words[v], bch_18_6(v)) << v;
    for (int a = 7; a <= 40; ++a) {
        for (int b = a + 1; b <= 40; ++b) {
            EXPECT_GE(__builtin_popcount(version_info_words[a] ^ version_info_words[b]), 8) << a << " " << b;
        }
    }
}

TEST(VersionTables, OffsetsLandOnTheStandardModules) {
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

TEST(VersionMatch, UpToThreeBitsAreCorrectedAndTheCountLogged) {
    int32_t v = 0;
    EXPECT_EQ(logged_match(version_info_words[7] ^ 0b10000000000000101, &v),
              "version bit different 3 bits.\n");
    EXPECT_EQ(v, 7);
    EXPECT_EQ(logged_match(version_info_words[40], &v), "version bit different 0 bits.\n");
    EXPECT_EQ(v, 40);
    for (int version = 7; version <= 40; ++version) {
        EXPECT_EQ(match_version_information(version_info_words[version] ^ (1u << (version % 18))), version);
    }
    // One to three dark modules lie within three bits of the zero word of
    // versions 1 to 6.
    EXPECT_EQ(match_version_information(0b100000000000000011), 1);
}

TEST(VersionMatch, FourBitsAwayOrNoDarkModuleIsNoVersion) {
    int32_t v = 0;
    EXPECT_EQ(logged_match(0, &v), "");
    EXPECT_EQ(v, -1);
    // A reading four bits from word 7 and at least four from every other.
    uint32_t reading = version_info_words[7] ^ 0b1111;
    bool far_from_all = true;
    for (int version = 1; version <= 40; ++version) {
        far_from_all &= __builtin_popcount(reading ^ version_info_words[version]) >= 4;
    }
    ASSERT_TRUE(far_from_all);
    EXPECT_EQ(match_version_information(reading), -1);
}

TEST(EstimateVersion, FinderDistanceGivesSmallVersions) {
    // 4 pixels per module: centres 14 modules apart are version 1.
    {
        Finders f(50, 50, 50 + 14 * 4, 50, 50, 50 + 14 * 4, 28);
        EXPECT_EQ(estimate_version(0, 400, 400), 1);
        EXPECT_FLOAT_EQ(S.x_unit[0], 4);
        EXPECT_FLOAT_EQ(S.y_unit[1], 4);
    }
    {
        Finders f(50, 50, 50 + 34 * 4, 50, 50, 50 + 34 * 4, 28);
        EXPECT_EQ(estimate_version(1, 400, 400), 6);  // used without version information
    }
}

TEST(EstimateVersion, LogsProvisionalUnitsFromModuleSizes) {
    // Patterns 30 pixels across (module 30/7), centres 14 modules of 4 apart:
    // the logged units use the sizes, the final ones the version.
    Finders f(50, 50, 50 + 56, 50, 50, 50 + 56, 30);
    char* buffer = nullptr;
    size_t size = 0;
    S.log_stream = open_memstream(&buffer, &size);
    const int32_t version = estimate_version(0, 400, 400);
    std::fclose(S.log_stream);
    S.log_stream = nullptr;
    const std::string log(buffer, size);
    std::free(buffer);
    // 56 / (30/7) = 13.07 modules: n = 13 estimates version 0.
    EXPECT_EQ(version, 0);
    EXPECT_EQ(log, "x_unit(4.285714, 0.000000)\ny_unit(0.000000, 4.285714)\nversion 0\n");
}

TEST(EstimateVersion, LargeEstimateWithBothCopiesOutsideFails) {
    // 38 modules apart estimates version 7, but copy 1 reaches above y = 0
    // and copy 2 left of x = 0: the estimate itself is not used.
    Finders f(10, 10, 10 + 38 * 4, 10, 10, 10 + 38 * 4, 28);
    EXPECT_EQ(estimate_version(0, 400, 400), -1);
}

TEST(EstimateVersion, DegenerateGeometryIsNoVersion) {
    {
        Finders f(50, 50, 50, 50, 50, 90, 28);  // corner and x-axis pattern coincide
        EXPECT_EQ(estimate_version(0, 400, 400), 0);
        EXPECT_EQ(S.x_unit[0], 0);
        EXPECT_EQ(S.x_unit[1], 0);
    }
    {
        Finders f(50, 50, 150, 50, 50, 150, 0);  // zero module size
        EXPECT_EQ(estimate_version(1, 400, 400), 0);
    }
    {
        Finders f(50, 50, std::nanf(""), 50, 50, 150, 28);
        EXPECT_EQ(estimate_version(0, 400, 400), 0);
    }
    {
        Finders f(50, 50, 3.0e38f, 50, 50, 150, 28);
        EXPECT_EQ(estimate_version(0, 400, 400), 0);
    }
}

// ---------------------------------------------------------------------------
// Version information read from rendered symbols.

#include "renderer.h"
#include "stages.h"

namespace {

// Modules of version-information copy 1 (left of the upper right finder):
// bit i at column size - 11 + i % 3, row i / 3.
void flip_copy1_bit(vorden::test::Symbol& s, int bit) {
    s.flip(s.size - 11 + bit % 3, bit / 3);
}

std::string estimate_logged(const vorden::test::Image& image, int32_t* version) {
    vorden::test::Stages stages(image, 0, true);
    EXPECT_EQ(find_finder_patterns(), -1);
    *version = estimate_version(0, image.width, image.height);
    const std::string log = stages.log();
    return log.substr(log.find("x_unit("));
}

}  // namespace

TEST(VersionInformation, UpToThreeWrongModulesInCopyOne) {
    using namespace vorden::test;
    for (int version : {7, 18, 32, 40}) {
        EncodeOptions options;
        options.version = version;
        Symbol s = encode(Mode::Byte, "version information", options);
        for (int wrong = 0; wrong <= 3; ++wrong) {
            Symbol damaged = s;
            for (int k = 0; k < wrong; ++k) flip_copy1_bit(damaged, 5 * k + 1);
            RenderOptions render_options;
            render_options.module_px = 3;
            int32_t found = 0;
            const std::string log = estimate_logged(render(damaged, render_options), &found);
            EXPECT_EQ(found, version) << log;
            EXPECT_NE(log.find("version bit different " + std::to_string(wrong) + " bits.\n"),
                      std::string::npos)
                << log;
            EXPECT_EQ(log.find("version info bit"), log.rfind("version info bit")) << "copy 2 read: " << log;
        }
    }
}

TEST(VersionInformation, CopyOneOutsideTheImageFallsBackToCopyTwo) {
    using namespace vorden::test;
    EncodeOptions options;
    options.version = 9;
    const Symbol s = encode(Mode::Byte, "cut at the top", options);
    RenderOptions render_options;
    render_options.module_px = 11;
    const Image full = render(s, render_options);
    // Crop the top through row 0 of the symbol, 6 of its 11 pixels: row 0's
    // centre is then above the image, while the finder patterns' shortened
    // outer rings still pass the 1:1:3:1:1 test.
    const int top = render_options.quiet_zone * 11 + 6;
    Image cut;
    cut.width = full.width;
    cut.height = full.height - top;
    cut.pixels.assign(full.pixels.begin() + static_cast<size_t>(top) * full.width, full.pixels.end());
    int32_t found = 0;
    const std::string log = estimate_logged(cut, &found);
    EXPECT_EQ(found, 9) << log;
    // Copy 1 fails before sampling anything; copy 2 is read.
    EXPECT_EQ(log.find("version info bit"), log.rfind("version info bit")) << log;
    EXPECT_NE(log.find("version info bit 0x9a99\n"), std::string::npos) << log;
}
