// The finder-pattern scan and the alignment search on hand-made binary
// images. Grouping and scoring are checked in hostile_test; refinement,
// choice and orientation are held to the golden logs and to grid_test.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "decoder.h"
#include "stages.h"

using namespace vorden;
using vorden::test::empty_pool;
using vorden::test::log_of;

namespace {

DecoderState& S = decoder_state;

// Owns a binary image installed in the decoder state for one test.
struct BinaryImage {
    std::vector<uint8_t> pixels;
    BinaryImage(int w, int h) : pixels(static_cast<size_t>(w) * h, 0) {
        S.image_width = w;
        S.image_height = h;
        S.binary_image = pixels.data();
    }
    ~BinaryImage() {
        release_finder_patterns();
        S.binary_image = nullptr;
    }
    void fill(int x, int y, int w, int h, uint8_t value = 64) {
        for (int r = y; r < y + h; ++r)
            for (int c = x; c < x + w; ++c) pixels[static_cast<size_t>(r) * S.image_width + c] = value;
    }
    // A finder (7 modules) or alignment (5 modules) pattern, top-left corner at (x, y).
    void pattern(int x, int y, int modules, int module) {
        const int n = modules * module;
        fill(x, y, n, n);
        fill(x + module, y + module, n - 2 * module, n - 2 * module, 0);
        fill(x + 2 * module, y + 2 * module, n - 4 * module, n - 4 * module);
    }
};

std::vector<ScanHit> hits_of(const MemChunk& pool) {
    const auto* hits = reinterpret_cast<const ScanHit*>(pool.data);
    return std::vector<ScanHit>(hits, hits + pool.count);
}

// The run table of one line of runs, dark first.
std::vector<int16_t> row_table(const std::vector<int>& runs) {
    int length = 0;
    for (int r : runs) length += r;
    BinaryImage image(length, 1);
    for (size_t i = 0, x = 0; i < runs.size(); x += runs[i], ++i)
        if (i % 2 == 0) image.fill(static_cast<int>(x), 0, runs[i], 1);
    EXPECT_EQ(build_row_runs(), -1);
    return std::vector<int16_t>(S.row_runs, S.row_runs + length + 2);
}

std::vector<ScanHit> scan_line(const std::vector<int>& runs) {
    std::vector<int16_t> table = row_table(runs);
    MemChunk hits;
    memchunk_init(&hits, sizeof(ScanHit));
    scan_finder_runs(table.data(), static_cast<int>(table.size()) - 2, 1, &hits);
    const std::vector<ScanHit> out = hits_of(hits);
    memchunk_free(&hits);
    return out;
}

}  // namespace

TEST(FiveRunTest, ProportionsBoundsAndWindows) {
    const auto hits = scan_line({1, 1, 3, 1, 1});
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].center_length, 3);
    EXPECT_EQ(hits[0].length, 7);
    EXPECT_EQ(hits[0].group, -1);
    const struct {
        std::vector<int> runs;
        std::vector<std::pair<int, int>> hits;  // start, centre start
    } cases[] = {
        // 1/15 exactly passes as the lower outer bound; 7/13 for the centre
        // and 3/13 for an outer run fail exactly on the bound.
        {{1, 2, 7, 2, 3}, {{0, 3}}},
        {{1, 2, 7, 2, 1}, {}},
        {{3, 3, 3, 3, 1}, {}},
        {{1, 1, 3, 1}, {}},  // fewer than five runs
        // Light first: run 0 is empty, the window at run 2 is tested next.
        {{0, 5, 2, 2, 6, 2, 2, 9}, {{5, 9}}},
        // Windows sharing a run are each tested, sliding by pairs.
        {{1, 1, 3, 1, 1, 1, 3, 1, 1}, {{0, 2}, {6, 8}}},
    };
    for (const auto& c : cases) {
        std::vector<std::pair<int, int>> found;
        for (const ScanHit& h : scan_line(c.runs)) found.emplace_back(h.start, h.center_start);
        EXPECT_EQ(found, c.hits) << ::testing::PrintToString(c.runs);
    }
}

namespace {

// Finder records and units as a grid would see them: F0 centre at (x0, y0),
// 4 pixels per module; then the search for module (18, 18).
int32_t search_from(float x0, float y0, GridPoint* p) {
    empty_pool(&S.row_hits, sizeof(ScanHit));
    empty_pool(&S.column_hits, sizeof(ScanHit));
    empty_pool(&S.finder_patterns, sizeof(FinderPattern));
    for (int i = 0; i < 3; ++i) {
        FinderPattern f{};
        f.x = x0, f.y = y0, f.width = f.height = 28;
        memchunk_add(&S.finder_patterns, &f);
        S.selected_finders[i] = i;
    }
    S.finder_count = 3;
    S.x_unit[0] = S.y_unit[1] = 4;
    S.x_unit[1] = S.y_unit[0] = 0;
    *p = {0, 0, 18, 18, -1, {0, 0}, {0, 0}};
    return find_alignment_pattern(p);
}

}  // namespace

TEST(Alignment, FoundNearThePredictionAndWindowsOutsideTheImageFail) {
    BinaryImage image(200, 200);
    image.pattern(90, 90, 5, 4);  // centre (100, 100)
    ASSERT_EQ(build_row_runs(), -1);
    ASSERT_EQ(build_column_runs(), -1);
    GridPoint p;
    // Module (18, 18) predicted 2 pixels off the true centre.
    ASSERT_EQ(search_from(100 - 60 + 2, 100 - 60 - 1, &p), -1);
    EXPECT_NEAR(p.x, 100, 0.01);
    EXPECT_NEAR(p.y, 100, 0.01);
    // Windows reaching past any edge fail without scanning.
    for (auto [x, y] : {std::pair{-70.0f, 20.0f}, {20, -70}, {150, 20}, {20, 150}, {std::nanf(""), 20}})
        EXPECT_EQ(search_from(x, y, &p), 0) << x << "," << y;
}
