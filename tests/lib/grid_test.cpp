// Sampling: rendered symbols of every version come back module for module.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "decoder.h"
#include "renderer.h"
#include "stages.h"

using namespace vorden;
using namespace vorden::test;

namespace {

DecoderState& S = decoder_state;

const Level kLevels[] = {Level::L, Level::M, Level::Q, Level::H};

// Data of a length that fits every version at level H.
Symbol symbol_of(int version, int variant) {
    EncodeOptions options;
    options.version = version;
    options.level = kLevels[variant % 4];
    options.mask = variant % 8;
    return encode(Mode::Byte, "V" + std::to_string(version), options);
}

struct Pose {
    double module_px;
    double angle;
    double perspective = 0;
};

::testing::AssertionResult samples_exactly(const Symbol& symbol, const Pose& pose) {
    RenderOptions options;
    options.module_px = pose.module_px;
    options.angle_deg = pose.angle;
    options.perspective_x = pose.perspective;
    options.perspective_y = pose.perspective / 2;
    const Image image = render(symbol, options);
    Stages stages(image);
    if (!stages.sample()) {
        return ::testing::AssertionFailure()
               << "version " << symbol.version << " at " << pose.module_px << " px, " << pose.angle
               << " deg: stages failed, version " << S.symbol_version;
    }
    if (S.symbol_version != symbol.version) {
        return ::testing::AssertionFailure()
               << "estimated version " << S.symbol_version << " for " << symbol.version;
    }
    const int wrong = Stages::mismatches(symbol);
    if (wrong != 0) {
        return ::testing::AssertionFailure()
               << "version " << symbol.version << " at " << pose.module_px << " px, " << pose.angle
               << " deg: " << wrong << " modules wrong";
    }
    return ::testing::AssertionSuccess();
}

}  // namespace

TEST(Sampling, EveryVersionAtQuarterTurns) {
    for (int version = 1; version <= 40; ++version) {
        const Symbol symbol = symbol_of(version, version);
        const double module_px = 3 + version % 4;  // 3 to 6 pixels per module
        const double angle = 90.0 * (version % 4);
        EXPECT_TRUE(samples_exactly(symbol, {module_px, angle}));
    }
}

TEST(Sampling, SmallAnglesAndMildPerspective) {
    // Below version 7 the version comes from the finder distance alone, which
    // run widths through a turned pattern overstate by 1/cos(angle); larger
    // symbols read their version information. Predictions of alignment
    // centres are linear from the corner, so perspective stays mild.
    struct Case {
        int version;
        Pose pose;
    };
    const Case cases[] = {{1, {4, 3}},       {3, {5, -4}},      {6, {6, 2}},         {8, {4, 8}},
                          {12, {5, 12}},     {20, {4, -20}},    {30, {4, 30}},       {10, {6, 5}},
                          {2, {6, 0, 0.01}}, {9, {4, 3, 0.01}}, {15, {4, 0, -0.01}}, {25, {5, 0, 0.01}}};
    int variant = 0;
    for (const Case& c : cases) EXPECT_TRUE(samples_exactly(symbol_of(c.version, variant++), c.pose));
}

TEST(Sampling, FinderOrderFollowsTheSymbolsOwnFrame) {
    // Places 0, 1, 2: top-left, top-right, bottom-left of the symbol as
    // encoded, whichever way it is turned.
    for (int version : {1, 2, 7, 20, 40}) {
        const Symbol symbol = symbol_of(version, 3);
        for (double module_px : {3.0, 5.0, 8.0}) {
            if (version == 40 && module_px > 5) continue;  // keep images modest
            for (double angle : {0.0, 90.0, 180.0, 270.0, 10.0, 30.0, 45.0}) {
                RenderOptions options;
                options.module_px = module_px;
                options.angle_deg = angle;
                const Image image = render(symbol, options);
                Stages stages(image);
                ASSERT_EQ(find_finder_patterns(), -1) << version << " " << module_px << " " << angle;
                const double centres[3][2] = {{3.5, 3.5}, {symbol.size - 3.5, 3.5}, {3.5, symbol.size - 3.5}};
                for (int place = 0; place < 3; ++place) {
                    double x, y;
                    module_center(symbol, options, image, centres[place][0], centres[place][1], &x, &y);
                    const FinderPattern& f =
                        reinterpret_cast<FinderPattern*>(S.finder_patterns.data)[S.selected_finders[place]];
                    EXPECT_NEAR(f.x, x, module_px)
                        << version << " " << module_px << " " << angle << " " << place;
                    EXPECT_NEAR(f.y, y, module_px)
                        << version << " " << module_px << " " << angle << " " << place;
                }
            }
        }
    }
}

TEST(Sampling, VersionOneUsesTheUnitsFromTheCorner) {
    const Symbol symbol = symbol_of(1, 0);
    RenderOptions options;
    options.module_px = 5;
    Stages stages(render(symbol, options));
    ASSERT_TRUE(stages.sample());
    EXPECT_EQ(S.sampling_grid.count, 3);
    for (int i = 0; i < 3917; ++i) ASSERT_EQ(S.function_map[i], 0) << i;
}

TEST(Sampling, GridHoldsFindersThenAlignmentsAndLogsEach) {
    const Symbol symbol = symbol_of(7, 1);
    RenderOptions options;
    options.module_px = 4;
    Stages stages(render(symbol, options), 0, true);
    ASSERT_TRUE(stages.sample());
    // Version 7: centres 6, 22, 38; six of the nine are alignment patterns.
    ASSERT_EQ(S.sampling_grid.count, 9);
    const GridPoint* grid = reinterpret_cast<GridPoint*>(S.sampling_grid.data);
    EXPECT_EQ(grid[0].column, 3);
    EXPECT_EQ(grid[1].column, 41);
    EXPECT_EQ(grid[2].row, 41);
    EXPECT_EQ(grid[3].column, 22);
    EXPECT_EQ(grid[3].row, 6);
    EXPECT_EQ(find_grid_point(38, 38), &grid[8]);
    EXPECT_EQ(find_grid_point(6, 6), nullptr);
    const std::string log = stages.log();
    size_t lines = 0;
    for (size_t at = log.find("grid("); at != std::string::npos; at = log.find("grid(", at + 1)) ++lines;
    EXPECT_EQ(lines, 6u) << log;
}

TEST(Sampling, MissingAlignmentPatternFailsAfterSearchingAll) {
    Symbol symbol = symbol_of(7, 2);
    // Wipe the alignment pattern at (22, 22).
    for (int r = 20; r <= 24; ++r)
        for (int c = 20; c <= 24; ++c) symbol.dark[c + r * symbol.size] = 0;
    RenderOptions options;
    options.module_px = 4;
    Stages stages(render(symbol, options), 0, true);
    ASSERT_EQ(find_finder_patterns(), -1);
    S.symbol_version = estimate_version(0, S.image_width, S.image_height);
    ASSERT_EQ(S.symbol_version, 7);
    EXPECT_EQ(build_sampling_grid(), 0);
    const std::string log = stages.log();
    size_t lines = 0;
    for (size_t at = log.find("grid("); at != std::string::npos; at = log.find("grid(", at + 1)) ++lines;
    EXPECT_EQ(lines, 5u) << log;
}

TEST(Sampling, ModulesMappingOutsideTheImageFail) {
    const Symbol symbol = symbol_of(2, 0);
    RenderOptions options;
    options.module_px = 4;
    options.quiet_zone = 0;
    Image image = render(symbol, options);
    // Cut the last column of modules short of its centre (2 of its 4
    // pixels stay, so the finder pattern there is still found).
    Image cut;
    cut.width = image.width - 2;
    cut.height = image.height;
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < cut.width; ++x) cut.pixels.push_back(image.at(x, y));
    Stages stages(cut);
    ASSERT_EQ(find_finder_patterns(), -1);
    S.symbol_version = estimate_version(0, S.image_width, S.image_height);
    ASSERT_EQ(S.symbol_version, 2);
    ASSERT_EQ(build_sampling_grid(), -1);
    EXPECT_EQ(sample_modules(), 0);
    EXPECT_EQ(sample_module(0, 0), 64);
    EXPECT_EQ(sample_module(symbol.size - 2, 0), 64);
    EXPECT_EQ(sample_module(symbol.size - 1, 0), -1);
}
