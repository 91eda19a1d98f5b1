// Finder-pattern scan, choice and orientation, and the alignment search, on
// hand-made binary images.
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

// Owns a binary image installed in the decoder state for one test.
struct BinaryImage {
    std::vector<uint8_t> pixels;
    BinaryImage(int w, int h) : pixels(static_cast<size_t>(w) * h, 0) {
        S.image_width = w;
        S.image_height = h;
        S.binary_image = pixels.data();
        S.log_stream = nullptr;
    }
    ~BinaryImage() {
        release_finder_patterns();
        S.binary_image = nullptr;
    }
    void set(int x, int y) { pixels[static_cast<size_t>(y) * S.image_width + x] = 64; }
    void fill(int x, int y, int w, int h) {
        for (int r = y; r < y + h; ++r)
            for (int c = x; c < x + w; ++c) set(c, r);
    }
    // A finder pattern of 7 x 7 modules with its top-left corner at (x, y).
    void finder(int x, int y, int module) {
        fill(x, y, 7 * module, 7 * module);
        for (int r = y + module; r < y + 6 * module; ++r)
            for (int c = x + module; c < x + 6 * module; ++c)
                pixels[static_cast<size_t>(r) * S.image_width + c] = 0;
        fill(x + 2 * module, y + 2 * module, 3 * module, 3 * module);
    }
};

// Runs of one line, dark first, as a line of pixels.
std::vector<int16_t> row_table(const std::vector<int>& runs) {
    int length = 0;
    for (int r : runs) length += r;
    BinaryImage image(length, 1);
    int x = 0;
    for (size_t i = 0; i < runs.size(); ++i) {
        if (i % 2 == 0) image.fill(x, 0, runs[i], 1);
        x += runs[i];
    }
    EXPECT_EQ(build_row_runs(), -1);
    std::vector<int16_t> table(S.row_runs, S.row_runs + length + 2);
    return table;
}

std::vector<ScanHit> scan_line(const std::vector<int>& runs) {
    std::vector<int16_t> table = row_table(runs);
    int length = static_cast<int>(table.size()) - 2;
    MemChunk hits;
    memchunk_init(&hits, sizeof(ScanHit));
    scan_finder_runs(table.data(), length, 1, &hits);
    std::vector<ScanHit> out(reinterpret_cast<ScanHit*>(hits.data),
                             reinterpret_cast<ScanHit*>(hits.data) + hits.count);
    memchunk_free(&hits);
    return out;
}

FinderPattern& candidate(int i) {
    return reinterpret_cast<FinderPattern*>(S.finder_patterns.data)[i];
}

std::string captured_log(int32_t (*stage)()) {
    char* buffer = nullptr;
    size_t size = 0;
    S.log_stream = open_memstream(&buffer, &size);
    stage();
    std::fclose(S.log_stream);
    S.log_stream = nullptr;
    std::string text(buffer, size);
    std::free(buffer);
    return text;
}

}  // namespace

TEST(RunTables, LinesStartDarkAndEndWithTerminator) {
    EXPECT_EQ(row_table({2, 3, 1}), (std::vector<int16_t>{2, 3, 1, -1, 0, 0, 0, 0}));
    EXPECT_EQ(row_table({0, 4}), (std::vector<int16_t>{0, 4, -1, 0, 0, 0}));  // light first
    EXPECT_EQ(row_table({5}), (std::vector<int16_t>{5, -1, 0, 0, 0, 0, 0}));
}

TEST(RunTables, ColumnsWalkDownEachColumn) {
    BinaryImage image(2, 3);
    image.set(0, 1);
    image.set(1, 0);
    image.set(1, 2);
    ASSERT_EQ(build_column_runs(), -1);
    EXPECT_EQ(std::vector<int16_t>(S.column_runs, S.column_runs + 10),
              (std::vector<int16_t>{0, 1, 1, 1, -1, 1, 1, 1, -1, 0}));
}

TEST(FiveRunTest, ProportionsAndBounds) {
    auto hits = scan_line({1, 1, 3, 1, 1});
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].start, 0);
    EXPECT_EQ(hits[0].center_start, 2);
    EXPECT_EQ(hits[0].center_length, 3);
    EXPECT_EQ(hits[0].length, 7);
    EXPECT_EQ(hits[0].group, -1);
    // 1/15 exactly passes as the lower outer bound.
    EXPECT_EQ(scan_line({1, 2, 7, 2, 3}).size(), 1u);
    // 7/13 for the centre and 3/13 for an outer run fail exactly on the bound.
    EXPECT_TRUE(scan_line({1, 2, 7, 2, 1}).empty());
    EXPECT_TRUE(scan_line({3, 3, 3, 3, 1}).empty());
    // A line with fewer than five runs is skipped.
    EXPECT_TRUE(scan_line({1, 1, 3, 1}).empty());
}

TEST(FiveRunTest, SlidesByPairsAndCountsStartsFromLineStart) {
    // Light first: run 0 is empty, so the first window fails and the one at
    // run 2 is tested next.
    auto hits = scan_line({0, 5, 2, 2, 6, 2, 2, 9});
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].start, 5);
    EXPECT_EQ(hits[0].center_start, 9);
    // Windows sharing a run are each tested: hits at runs 0 and 4.
    hits = scan_line({1, 1, 3, 1, 1, 1, 3, 1, 1});
    ASSERT_EQ(hits.size(), 2u);
    EXPECT_EQ(hits[1].start, 6);
    EXPECT_EQ(hits[1].center_start, 8);
    EXPECT_EQ(hits[1].length, 7);
}

TEST(Grouping, CrossingHitsShareAGroupAndEmptyImagesGiveNone) {
    BinaryImage image(40, 40);
    EXPECT_EQ(captured_log(find_finder_patterns), "cross 0 \ncross 0 \nonly 0 eye pattern found.\n");
}

TEST(Grouping, MergesAndEndBoundCrossing) {
    BinaryImage image(10, 10);
    fresh(&S.row_hits, sizeof(ScanHit));
    fresh(&S.column_hits, sizeof(ScanHit));
    fresh(&S.finder_patterns, sizeof(FinderPattern));
    // Row hits on rows 2 and 6; column hits on columns 2, 6 and 4.
    const ScanHit rows[] = {{2, 0, 1, 2, 5, -1}, {6, 4, 5, 2, 5, -1}};
    const ScanHit columns[] = {{3, 0, 1, 2, 5, -1}, {7, 4, 5, 2, 5, -1}, {6, 4, 5, 2, 5, -1}};
    for (const ScanHit& h : rows) memchunk_add(&S.row_hits, &h);
    for (const ScanHit& v : columns) memchunk_add(&S.column_hits, &v);
    // Column 3 equals row hit 0's centre_start + centre_length: still a crossing.
    image.set(2, 2);
    image.set(6, 6);
    group_crossing_hits();
    const ScanHit* r = reinterpret_cast<ScanHit*>(S.row_hits.data);
    const ScanHit* c = reinterpret_cast<ScanHit*>(S.column_hits.data);
    EXPECT_EQ(r[0].group, 0);
    EXPECT_EQ(c[0].group, 0);
    // Row 6 opens group 1 with column 7; column 6 then joins it.
    EXPECT_EQ(r[1].group, 1);
    EXPECT_EQ(c[1].group, 1);
    EXPECT_EQ(c[2].group, 1);
    ASSERT_EQ(S.finder_count, 2);
    EXPECT_FLOAT_EQ(candidate(0).x, 2.5f);  // start 0 + length 5 / 2
    EXPECT_FLOAT_EQ(candidate(0).y, 2.5f);
    EXPECT_FLOAT_EQ(candidate(1).y, 6.5f);
    EXPECT_EQ(candidate(1).column_hit_count, 2);
    EXPECT_EQ(candidate(1).left, 4);
    EXPECT_EQ(candidate(1).right, 9);
}

TEST(Grouping, MergeKeepsSmallerNumberAndDropsOneDirectionGroups) {
    BinaryImage image(20, 20);
    image.fill(0, 0, 20, 20);
    fresh(&S.row_hits, sizeof(ScanHit));
    fresh(&S.column_hits, sizeof(ScanHit));
    fresh(&S.finder_patterns, sizeof(FinderPattern));
    // Row 1 opens group 0 with column 1 and row 10 group 1 with column 10;
    // row 5 joins group 1 through column 10, then crosses column 1 (group 0):
    // group 1 becomes 0.
    const ScanHit rows[] = {{1, 0, 0, 3, 3, -1}, {10, 9, 9, 3, 3, -1}, {5, 0, 0, 12, 12, -1}};
    const ScanHit columns[] = {{10, 0, 0, 12, 12, -1}, {1, 0, 0, 12, 12, -1}, {15, 0, 0, 2, 2, -1}};
    for (const ScanHit& h : rows) memchunk_add(&S.row_hits, &h);
    for (const ScanHit& v : columns) memchunk_add(&S.column_hits, &v);
    const std::string log = captured_log([] {
        group_crossing_hits();
        return 0;
    });
    const ScanHit* r = reinterpret_cast<ScanHit*>(S.row_hits.data);
    const ScanHit* c = reinterpret_cast<ScanHit*>(S.column_hits.data);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(r[i].group, 0) << i;
    EXPECT_EQ(c[0].group, 0);
    EXPECT_EQ(c[1].group, 0);
    EXPECT_EQ(c[2].group, -1);  // crosses nothing
    EXPECT_EQ(log, "cross 2 \ncross 1 \n");
    EXPECT_EQ(S.finder_count, 1);
}

TEST(Refinement, CentroidOfCentreSquareAndSize) {
    BinaryImage image(60, 60);
    image.finder(10, 10, 4);  // centre square at 18..29, centre (24, 24)
    fresh(&S.finder_patterns, sizeof(FinderPattern));
    FinderPattern f{};
    f.x = 23.2f;
    f.y = 23.6f;
    f.row_hit_count = f.column_hit_count = 1;
    refine_finder_center(&f);
    // Rows other than the first count their two bounding columns, and the
    // starting row (24) counts twice: rows 18..29 weigh 14 except one 12.
    EXPECT_FLOAT_EQ(f.x, 24.0f);
    EXPECT_NEAR(f.y,
                (12 * 24 + 14 * (18 + 19 + 20 + 21 + 22 + 23 + 24 + 25 + 26 + 27 + 28 + 29)) / 180.0 + 0.5,
                1e-4);
    // Square of 12 pixels, rows counted with their two bounding columns: the
    // diagonal of 14 x 12 gives about 28 pixels for the 7-module pattern.
    EXPECT_NEAR(f.size, std::sqrt(14.0 * 14 + 12 * 12) / 1.41421356 / 3 * 7, 1e-4);
    EXPECT_EQ(f.row_hit_count, 1);
}

TEST(Refinement, LightCentreOrOutsideDropsAndSinglePixelKeepsItself) {
    BinaryImage image(20, 20);
    FinderPattern f{};
    f.row_hit_count = f.column_hit_count = 3;
    f.x = 5;
    f.y = 5;
    refine_finder_center(&f);  // light pixel
    EXPECT_EQ(f.row_hit_count, 0);
    EXPECT_EQ(f.column_hit_count, 0);

    f.row_hit_count = f.column_hit_count = 3;
    f.x = 20.6f;  // rounds to column 21, outside
    refine_finder_center(&f);
    EXPECT_EQ(f.row_hit_count, 0);

    image.set(7, 9);
    image.set(7, 8);  // the row above is not followed: the centre run is one pixel
    f.row_hit_count = f.column_hit_count = 3;
    f.x = 7.4f;
    f.y = 9.2f;
    refine_finder_center(&f);
    EXPECT_EQ(f.row_hit_count, 3);
    EXPECT_FLOAT_EQ(f.x, 7.5f);
    EXPECT_FLOAT_EQ(f.y, 9.5f);
    EXPECT_NEAR(f.size, std::sqrt(2.0) / 1.41421356 / 3 * 7, 1e-5);
}

TEST(Refinement, SquareAtLeftEdgeReadsThroughPixelIndex) {
    BinaryImage image(30, 30);
    image.fill(0, 10, 5, 5);
    FinderPattern f{};
    f.row_hit_count = f.column_hit_count = 1;
    f.x = 2;
    f.y = 12;
    refine_finder_center(&f);
    EXPECT_EQ(f.row_hit_count, 1);
    EXPECT_NEAR(f.y, 12.5f, 1e-5);
    EXPECT_GT(f.x, 0.0f);
    EXPECT_LT(f.x, 5.0f);
}

namespace {

void three_candidates(const float (&centres)[3][2]) {
    fresh(&S.finder_patterns, sizeof(FinderPattern));
    for (int i = 0; i < 3; ++i) {
        FinderPattern f{};
        f.x = centres[i][0];
        f.y = centres[i][1];
        f.group = i;
        memchunk_add(&S.finder_patterns, &f);
    }
    S.finder_count = 3;
}

std::vector<std::pair<float, float>> oriented() {
    std::vector<std::pair<float, float>> out;
    for (int p = 0; p < 3; ++p) {
        const FinderPattern& f = candidate(S.selected_finders[p]);
        out.emplace_back(f.x, f.y);
    }
    return out;
}

}  // namespace

TEST(Orientation, CornerThenXAxisThenYAxisForAnyOrder) {
    BinaryImage image(1, 1);
    const std::vector<std::pair<float, float>> upright = {{100, 100}, {200, 100}, {100, 200}};
    const int orders[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
    for (const auto& order : orders) {
        three_candidates({{100, 100}, {200, 100}, {100, 200}});
        for (int p = 0; p < 3; ++p) S.selected_finders[p] = order[p];
        ASSERT_EQ(orient_finder_triple(), -1);
        EXPECT_EQ(oriented(), upright);
    }
    // A quarter turn clockwise on screen.
    three_candidates({{100, 100}, {200, 200}, {200, 100}});
    S.selected_finders[0] = 0, S.selected_finders[1] = 1, S.selected_finders[2] = 2;
    ASSERT_EQ(orient_finder_triple(), -1);
    EXPECT_EQ(oriented(), (std::vector<std::pair<float, float>>{{200, 100}, {200, 200}, {100, 100}}));
    memchunk_free(&S.finder_patterns);
}

TEST(Orientation, CollinearOrRepeatedCentresCannotBeOrdered) {
    BinaryImage image(1, 1);
    three_candidates({{200, 100}, {100, 100}, {0, 100}});
    S.selected_finders[0] = 0, S.selected_finders[1] = 1, S.selected_finders[2] = 2;
    EXPECT_EQ(orient_finder_triple(), 0);
    three_candidates({{100, 100}, {200, 100}, {100, 200}});
    S.selected_finders[0] = 0, S.selected_finders[1] = 1, S.selected_finders[2] = 0;
    EXPECT_EQ(orient_finder_triple(), 0);
}

TEST(Choice, HighestScoreFirstEarlierOnTiesAndIndexZeroWhenNoneQualifies) {
    BinaryImage image(1, 1);
    fresh(&S.finder_patterns, sizeof(FinderPattern));
    const int scores[] = {-1, 30, 12, 30, -1};
    for (int s : scores) {
        FinderPattern f{};
        f.score = s;
        memchunk_add(&S.finder_patterns, &f);
    }
    S.finder_count = 5;
    choose_finder_triple();
    EXPECT_EQ(S.selected_finders[0], 1);
    EXPECT_EQ(S.selected_finders[1], 3);
    EXPECT_EQ(S.selected_finders[2], 2);
    candidate(2).score = -5;
    choose_finder_triple();
    EXPECT_EQ(S.selected_finders[2], 0);  // nothing qualifies: index 0, rejected or not
}

TEST(Scoring, SquareCentreRuleUsesQuotientOrDifference) {
    BinaryImage image(1, 1);
    fresh(&S.row_hits, sizeof(ScanHit));
    fresh(&S.column_hits, sizeof(ScanHit));
    fresh(&S.finder_patterns, sizeof(FinderPattern));
    const float sizes[][2] = {{12, 10}, {18, 15}, {10, 10}, {10, 10}};
    for (int i = 0; i < 4; ++i) {
        FinderPattern f{};
        f.center_width = sizes[i][0];
        f.center_height = sizes[i][1];
        f.width = f.height = 7;
        f.group = i;
        memchunk_add(&S.finder_patterns, &f);
    }
    S.finder_count = 4;
    score_finder_candidates();
    // 12/10 lies above 1.2 in 32 bits, but within 2 pixels: kept.
    EXPECT_GE(candidate(0).score, 0);
    EXPECT_EQ(candidate(1).score, -1);
}

TEST(FindFinderPatterns, SyntheticSymbolListsAndOrients) {
    BinaryImage image(120, 120);
    image.finder(10, 10, 4);
    image.finder(80, 10, 4);
    image.finder(10, 80, 4);
    const std::string log = captured_log(find_finder_patterns);
    ASSERT_EQ(S.finder_count, 3) << log;
    // Three candidates are not scored; each is listed once, marked once.
    int listed = 0;
    for (size_t at = log.find("*Cross "); at != std::string::npos; at = log.find("*Cross ", at + 1)) {
        const size_t end = log.find('\n', at);
        EXPECT_EQ(log.substr(end - 2, 3), " 0\n") << log;
        EXPECT_NE(log[at - 1], '*') << log;
        ++listed;
    }
    EXPECT_EQ(listed, 3) << log;
    auto centres = oriented();
    EXPECT_NEAR(centres[0].first, 24, 0.1);
    EXPECT_NEAR(centres[0].second, 24, 0.1);
    EXPECT_NEAR(centres[1].first, 94, 0.1);
    EXPECT_NEAR(centres[1].second, 24, 0.1);
    EXPECT_NEAR(centres[2].first, 24, 0.1);
    EXPECT_NEAR(centres[2].second, 94, 0.1);
}

// ---------------------------------------------------------------------------

namespace {

// A module-4 alignment pattern (5 x 5 modules) centred on pixel (cx, cy).
void alignment(BinaryImage& image, int cx, int cy) {
    image.fill(cx - 10, cy - 10, 20, 20);
    for (int y = cy - 6; y < cy + 6; ++y)
        for (int x = cx - 6; x < cx + 6; ++x) image.pixels[static_cast<size_t>(y) * S.image_width + x] = 0;
    image.fill(cx - 2, cy - 2, 4, 4);
}

// Finder records and units as a grid would see them: F0 centre at (x0, y0),
// 4 pixels per module.
void predict_from(float x0, float y0) {
    fresh(&S.finder_patterns, sizeof(FinderPattern));
    for (int i = 0; i < 3; ++i) {
        FinderPattern f{};
        f.x = x0;
        f.y = y0;
        f.width = f.height = 28;
        memchunk_add(&S.finder_patterns, &f);
        S.selected_finders[i] = i;
    }
    S.x_unit[0] = 4, S.x_unit[1] = 0;
    S.y_unit[0] = 0, S.y_unit[1] = 4;
}

}  // namespace

TEST(Alignment, FoundNearPredictionAndFailsOutside) {
    BinaryImage image(200, 200);
    alignment(image, 100, 100);
    ASSERT_EQ(build_row_runs(), -1);
    ASSERT_EQ(build_column_runs(), -1);
    fresh(&S.row_hits, sizeof(ScanHit));
    fresh(&S.column_hits, sizeof(ScanHit));
    // Module (18, 18) predicted at 2 pixels off the true centre.
    predict_from(100 - 60 + 2, 100 - 60 - 1);
    GridPoint p{0, 0, 18, 18, -1, {0, 0}, {0, 0}};
    ASSERT_EQ(find_alignment_pattern(&p), -1);
    EXPECT_NEAR(p.x, 100, 0.01);
    EXPECT_NEAR(p.y, 100, 0.01);
    // Windows reaching past any edge fail without scanning.
    predict_from(-50, 20);
    EXPECT_EQ(find_alignment_pattern(&p), 0);
    predict_from(150, 20);
    EXPECT_EQ(find_alignment_pattern(&p), 0);
    predict_from(20, 150);
    EXPECT_EQ(find_alignment_pattern(&p), 0);
    predict_from(std::nanf(""), 20);
    EXPECT_EQ(find_alignment_pattern(&p), 0);
}

TEST(Alignment, RunBoundsRoundDifferently) {
    // module 3: lo 1, hi 5 (4.5 rounds up); module 4: lo 2, hi 6.
    auto table = row_table({0, 5, 6, 5, 9});
    MemChunk hits;
    memchunk_init(&hits, sizeof(ScanHit));
    EXPECT_EQ(scan_alignment_runs(table.data(), 25, &hits, 0, 0, 1, 25, 3.0f), 0);
    EXPECT_EQ(scan_alignment_runs(table.data(), 25, &hits, 0, 0, 1, 25, 4.0f), -1);
    ASSERT_EQ(hits.count, 1);
    EXPECT_EQ(reinterpret_cast<ScanHit*>(hits.data)[0].start, 5);
    EXPECT_EQ(reinterpret_cast<ScanHit*>(hits.data)[0].length, 6);
    // A window ending at the line's end: the triple needs all three runs.
    auto short_table = row_table({0, 4, 4});
    memchunk_clear(&hits);
    EXPECT_EQ(scan_alignment_runs(short_table.data(), 8, &hits, 0, 0, 1, 8, 4.0f), 0);
    EXPECT_EQ(scan_alignment_runs(short_table.data(), 8, &hits, -1, 0, 1, 8, 4.0f), 0);
    memchunk_free(&hits);
}

TEST(Alignment, TwoClustersTakeTheFirstCrossing) {
    // Dark ground with a light area holding two dots: A (4 x 4) and, to its
    // right, B (5 x 5, more hits). The first crossing found is A's.
    BinaryImage image(200, 200);
    image.fill(0, 0, 200, 200);
    for (int y = 92; y < 101; ++y)
        for (int x = 92; x < 109; ++x) image.pixels[static_cast<size_t>(y) * 200 + x] = 0;
    image.fill(94, 94, 4, 4);
    image.fill(102, 94, 5, 5);
    ASSERT_EQ(build_row_runs(), -1);
    ASSERT_EQ(build_column_runs(), -1);
    fresh(&S.row_hits, sizeof(ScanHit));
    fresh(&S.column_hits, sizeof(ScanHit));
    predict_from(100 - 60, 96 - 60);
    GridPoint p{0, 0, 18, 18, -1, {0, 0}, {0, 0}};
    ASSERT_EQ(find_alignment_pattern(&p), -1);
    EXPECT_FLOAT_EQ(p.x, 96);
    EXPECT_FLOAT_EQ(p.y, 96);
}
