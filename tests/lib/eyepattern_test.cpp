// The finder-pattern scan on hand-made run tables, and refinement's shared
// walks against walks alone. Grouping and scoring are checked in
// hostile_test; choice, orientation and the alignment search are held to the
// golden logs and to grid_test.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
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

// Candidates of one refinement share the rows their walks have in common; each
// centre, size and hit count must be bit for bit the candidate's alone. Discs
// make one ragged region, entered by hundreds of walks, reaching the sides.
TEST(FinderRefinement, SharedWalksGiveEachCandidatesOwnCentre) {
    constexpr int kSide = 240;
    BinaryImage image(kSide, kSide);
    uint32_t state = 11;
    const auto next = [&](int n) {
        return static_cast<int>((state = state * 1664525u + 1013904223u) >> 8) % n;
    };
    for (int k = 0; k < 90; ++k) {
        const int cx = next(kSide), cy = next(kSide), r = 4 + next(18);
        for (int y = std::max(0, cy - r); y < std::min(kSide, cy + r); ++y)
            for (int x = std::max(0, cx - r); x < std::min(kSide, cx + r); ++x)
                if ((x - cx) * (x - cx) + (y - cy) * (y - cy) < r * r) image.fill(x, y, 1, 1);
    }
    // The refinement walks the packed image that comes with the row table.
    ASSERT_EQ(build_row_runs(), -1);
    empty_pool(&S.finder_patterns, sizeof(FinderPattern));
    std::vector<FinderPattern> alone;
    for (int k = 0; k < 400; ++k) {
        FinderPattern f{};
        f.x = static_cast<float>(next(kSide));
        f.y = static_cast<float>(next(kSide));
        f.row_hit_count = f.column_hit_count = 1;
        ASSERT_NE(memchunk_add(&S.finder_patterns, &f), 0);
        refine_finder_center(&f);
        if (f.row_hit_count != 0) alone.push_back(f);
    }
    S.finder_count = static_cast<int32_t>(S.finder_patterns.count);
    ASSERT_EQ(refine_finder_centers(), static_cast<int32_t>(alone.size()));
    ASSERT_GT(alone.size(), 100u);
    const auto* shared = reinterpret_cast<const FinderPattern*>(S.finder_patterns.data);
    for (size_t k = 0; k < alone.size(); ++k)
        EXPECT_EQ(std::memcmp(&shared[k], &alone[k], sizeof(FinderPattern)), 0) << "candidate " << k;
}
