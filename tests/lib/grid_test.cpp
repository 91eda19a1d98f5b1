// Sampling: the alignment table, and rendered symbols coming back module for
// module at quarter turns, which holds the finder order to the symbol's own
// frame.
#include <gtest/gtest.h>

#include <string>

#include "decoder.h"
#include "renderer.h"
#include "stages.h"

using namespace vorden;
using namespace vorden::test;

namespace {

DecoderState& S = decoder_state;

// Data that fits every version at level H; levels and masks varied.
Symbol symbol_of(int version, int variant) {
    const Level levels[] = {Level::L, Level::M, Level::Q, Level::H};
    return encode(Mode::Byte, "V" + std::to_string(version),
                  {.version = version, .level = levels[variant % 4], .mask = variant % 8});
}

::testing::AssertionResult samples_exactly(int version, int variant, double module_px, double angle,
                                           double k = 0) {
    const Symbol symbol = symbol_of(version, variant);
    Stages stages(render(
        symbol, {.module_px = module_px, .angle_deg = angle, .perspective_x = k, .perspective_y = k / 2}));
    const bool sampled = stages.sample();
    const int wrong = sampled && S.symbol_version == version ? Stages::mismatches(symbol) : -1;
    if (wrong == 0 && symbol.version == version) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "version " << version << " at " << module_px << " px, " << angle << " deg: estimated version "
           << S.symbol_version << (sampled ? "" : ", not sampled") << ", " << wrong << " modules wrong";
}

}  // namespace

TEST(AlignmentCentres, FollowTheSpacingRule) {
    // ISO/IEC 18004 Annex E: the first at 6, the last at size - 7, every step
    // even, and all but the first equal.
    for (int version = 2; version <= 40; ++version) {
        const int* a = alignment_centres[version];
        const int count = version / 7 + 2;
        EXPECT_EQ(a[0], 6) << version;
        EXPECT_EQ(a[count - 1], 4 * version + 10) << version;
        for (int i = count; i < 8; ++i) EXPECT_EQ(a[i], 0) << version;
        for (int i = 1; i < count; ++i) EXPECT_EQ((a[i] - a[i - 1]) % 2, 0) << version;
        for (int i = 2; i < count; ++i) EXPECT_EQ(a[i] - a[i - 1], a[count - 1] - a[count - 2]) << version;
    }
}

TEST(Sampling, EveryVersionAtQuarterTurnsSmallAnglesAndMildPerspective) {
    for (int version = 1; version <= 40; ++version)
        EXPECT_TRUE(samples_exactly(version, version, 3 + version % 4, 90.0 * (version % 4)));
    // Below version 7 the version comes from the finder distance alone, which
    // run widths through a turned pattern overstate by 1/cos(angle); larger
    // symbols read their version information. Predictions of alignment
    // centres are linear from the corner, so perspective stays mild.
    struct Case {
        int version;
        double module_px, angle, perspective;
    };
    const Case cases[] = {{1, 4, 3, 0},    {3, 5, -4, 0},     {6, 6, 2, 0},    {8, 4, 8, 0},
                          {12, 5, 12, 0},  {20, 4, -20, 0},   {30, 4, 30, 0},  {2, 6, 0, 0.01},
                          {9, 4, 3, 0.01}, {15, 4, 0, -0.01}, {25, 5, 0, 0.01}};
    int variant = 0;
    for (const Case& c : cases)
        EXPECT_TRUE(samples_exactly(c.version, variant++, c.module_px, c.angle, c.perspective));
}
