// Hostile images: each gives a text or null, never a crash or a read outside
// the image. The sanitizer build is what catches the reads; the images are
// exact-size heap buffers so that one pixel too far is reported.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "decoder.h"
#include "renderer.h"
#include "stages.h"
#include "vorden.h"

using namespace vorden::test;

namespace {

// Decodes from a heap block of exactly width x height bytes.
const char* decode_exact(const std::vector<uint8_t>& pixels, int width, int height, int depth = 8) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[pixels.size()]);
    std::memcpy(exact.get(), pixels.data(), pixels.size());
    return decode_symbol(exact.get(), width, height, depth, nullptr);
}

std::vector<uint8_t> image_of(int width, int height, const std::function<bool(int, int)>& light) {
    std::vector<uint8_t> out(static_cast<size_t>(width) * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) out[static_cast<size_t>(y) * width + x] = light(x, y) ? 255 : 0;
    return out;
}

// A damaged or partial symbol may be unreadable, but never misread.
void expect_null_or_the_text(const Image& image, int left = 0, int top = 0, int width = 0, int height = 0) {
    Image cut{width > 0 ? width : image.width - left, height > 0 ? height : image.height - top, {}};
    for (int y = top; y < top + cut.height; ++y)
        for (int x = left; x < left + cut.width; ++x) cut.pixels.push_back(image.at(x, y));
    const char* text = decode_exact(cut.pixels, cut.width, cut.height);
    EXPECT_TRUE(text == nullptr || std::string(text) == "hostile") << text;
}

Symbol symbol(int version) {
    return encode(Mode::Byte, "hostile", {.version = version});
}

}  // namespace

TEST(Hostile, DegenerateShapesUniformCheckerboardsAndStripes) {
    for (int depth : {8, 1}) {
        EXPECT_EQ(decode_exact({0}, 1, 1, depth), nullptr);
        // The widest line the run tables hold, with finder-like proportions.
        const auto line = image_of(32767, 1, [](int x, int) { return (x / 7) % 7 == 2; });
        EXPECT_EQ(decode_exact(line, 32767, 1, depth), nullptr);
        EXPECT_EQ(decode_exact(line, 1, 32767, depth), nullptr);
    }
    const int w = 160, h = 120;
    for (uint8_t level : {0, 255}) EXPECT_EQ(decode_exact(std::vector<uint8_t>(w * h, level), w, h), nullptr);
    // A checkerboard, row stripes and column stripes of period p.
    for (int p = 1; p <= 8; ++p) {
        for (auto [kx, ky] : {std::pair{1, 1}, {1, 0}, {0, 1}}) {
            const auto image =
                image_of(w, h, [&](int x, int y) { return (kx * x / p + ky * y / p) % 2 == 1; });
            EXPECT_EQ(decode_exact(image, w, h), nullptr) << p << " " << kx << ky;
        }
    }
}

TEST(Hostile, SymbolsCutByEachBorderAndAtTheEdges) {
    for (int version : {2, 7}) {
        const Image full = render(symbol(version), {.module_px = 4});
        const int q = 4 * 4, size = (17 + 4 * version) * 4;
        // No quiet zone at all, then each border cutting a module and half the symbol in.
        expect_null_or_the_text(full, q, q, size, size);
        for (int cut : {4, size / 2}) {
            expect_null_or_the_text(full, q + cut, 0);
            expect_null_or_the_text(full, 0, q + cut);
            expect_null_or_the_text(full, 0, 0, full.width - q - cut);
            expect_null_or_the_text(full, 0, 0, 0, full.height - q - cut);
        }
    }
    // Alignment patterns just inside the image, turned so that the search
    // windows around them reach the borders.
    for (double angle : {7.0, 183.0})
        expect_null_or_the_text(render(symbol(10), {.module_px = 3, .quiet_zone = 0, .angle_deg = angle}));
    const Image image = render(symbol(3), {.module_px = 5, .quiet_zone = 0});
    EXPECT_STREQ(decode_exact(image.pixels, image.width, image.height), "hostile");
}

// Noise above a symbol uses up the refinement walks' rows before the
// symbol's own finder patterns are refined; they keep to their bands.
TEST(Hostile, SymbolBelowNoiseThatUsesUpTheWalksStillReads) {
    const Image image = render(symbol(2), {.module_px = 4});
    const int w = 640, h = 480, x0 = w - image.width, y0 = h - image.height;
    std::mt19937 dice(7);
    const auto frame = image_of(w, h, [&](int x, int y) {
        return x >= x0 && y >= y0 ? image.at(x - x0, y - y0) > 127 : dice() % 2 == 1;
    });
    EXPECT_STREQ(decode_exact(frame, w, h), "hostile");
}

// ---------------------------------------------------------------------------
// Grouping on crowded hit sets ends each hit in the group relabelling gives:
// a row and a column hit cross when each passes through the other's centre
// run; two ungrouped hits open the next group, a grouped one lends its group,
// and two groups merge into the smaller number.

namespace {

using vorden::ScanHit;

bool crosses(const ScanHit& h, const ScanHit& v) {
    return h.center_start <= v.line && v.line <= h.center_start + h.center_length &&
           v.center_start <= h.line && h.line <= v.center_start + v.center_length;
}

int relabel(std::vector<ScanHit>& rows, std::vector<ScanHit>& columns) {
    int next = 0;
    for (ScanHit& h : rows) {
        for (ScanHit& v : columns) {
            if (!crosses(h, v)) continue;
            if (h.group < 0 && v.group < 0) {
                h.group = v.group = next++;
            } else if (h.group < 0 || v.group < 0) {
                h.group = v.group = std::max(h.group, v.group);
            } else if (h.group != v.group) {
                const int from = std::max(h.group, v.group), to = std::min(h.group, v.group);
                for (auto* hits : {&rows, &columns})
                    for (ScanHit& x : *hits)
                        if (x.group == from) x.group = to;
            }
        }
    }
    return next;
}

// Hits in scan order: by line, then along it, centre runs apart.
std::vector<ScanHit> random_hits(std::mt19937& dice, int lines, int length, int per_line) {
    std::vector<ScanHit> hits;
    for (int line = 0; line < lines; ++line) {
        int at = static_cast<int>(dice() % 4);
        for (int k = 0; k < per_line && at + 9 < length; ++k) {
            const int centre = 1 + static_cast<int>(dice() % 6);
            hits.push_back(ScanHit{line, std::max(0, at - 2), at, centre, centre + 4, -1});
            at += centre + 1 + static_cast<int>(dice() % 5);
        }
    }
    return hits;
}

}  // namespace

TEST(Hostile, GroupingMatchesRelabellingOnRandomHitSets) {
    std::mt19937 dice(18004);
    const int w = 48, h = 40;
    std::vector<uint8_t> dark(w * h, 64);
    for (int round = 0; round < 60; ++round) {
        std::vector<ScanHit> rows = random_hits(dice, h, w, 1 + round % 5);
        std::vector<ScanHit> columns = random_hits(dice, w, h, 1 + round % 4);
        vorden::DecoderState& s = vorden::decoder_state;
        s.image_width = w;
        s.image_height = h;
        s.binary_image = dark.data();
        for (auto [pool, hits] : {std::pair{&s.row_hits, &rows}, {&s.column_hits, &columns}}) {
            empty_pool(pool, sizeof(ScanHit));
            for (const ScanHit& x : *hits) vorden::memchunk_add(pool, &x);
        }
        empty_pool(&s.finder_patterns, sizeof(vorden::FinderPattern));
        vorden::group_crossing_hits();
        const int groups = relabel(rows, columns);
        ASSERT_GT(groups, 0);
        for (auto [pool, hits] : {std::pair{&s.row_hits, &rows}, {&s.column_hits, &columns}}) {
            const auto* got = reinterpret_cast<const ScanHit*>(pool->data);
            for (size_t i = 0; i < hits->size(); ++i)
                ASSERT_EQ(got[i].group, (*hits)[i].group) << "round " << round << " hit " << i;
        }
        // Each surviving group with hits both ways is a candidate.
        std::set<int> seen_rows, both;
        for (const ScanHit& x : rows) seen_rows.insert(x.group);
        for (const ScanHit& x : columns)
            if (x.group >= 0 && seen_rows.count(x.group)) both.insert(x.group);
        EXPECT_EQ(s.finder_count, static_cast<int>(both.size())) << "round " << round;
        s.binary_image = nullptr;
    }
    vorden::release_finder_patterns();
}

// The partner rule on crowded candidate sets: a candidate keeps its score
// only with two live others of similar centre width and height, candidates
// dropped earlier in the same sweep no longer counting. Without hits the
// other scoring passes leave the scores alone, bar the square-centre test.
TEST(Hostile, PartnerRuleHoldsOnCrowdedCandidateSets) {
    const auto similar = [](float a, float b) {
        const float q = a / b, d = a - b;
        return (q >= 0.7 && q <= 1.4) || (d >= -2 && d <= 2);
    };
    std::mt19937 dice(7);
    vorden::DecoderState& s = vorden::decoder_state;
    for (int round = 0; round < 40; ++round) {
        const int count = 3 + round * 25;
        std::vector<vorden::FinderPattern> candidates(count);
        // Triples far apart in size, the second on or beside an edge of
        // similarity to the first (a difference of 2, a ratio of 0.7 or 1.4),
        // the third next to the second; every few rounds a crowd of one size.
        for (int i = 0; i < count; i += 3) {
            const float base = std::exp2(static_cast<float>(dice() % 1600) / 100.0f - 1);
            std::vector<float> edges;
            for (float e : {base + 2, base - 2, base / 0.7f, base / 1.4f, base * 0.7f, base * 1.4f})
                for (float f : {std::nextafter(e, 0.0f), e, std::nextafter(e, 1e9f)})
                    if (f > 0) edges.push_back(f);
            for (int k = i; k < std::min(i + 3, count); ++k) {
                vorden::FinderPattern& f = candidates[k];
                f = {};
                f.center_width = k == i ? base : edges[dice() % edges.size()];
                // The third beside the second: each partner of the first counts.
                if (k == i + 2)
                    f.center_width = std::nextafter(candidates[k - 1].center_width, dice() % 2 ? 0.0f : 1e9f);
                if (round % 5 == 4) f.center_width = 3.0f;
                const int shape = static_cast<int>(dice() % 8);  // mostly square centres
                f.center_height = shape == 0   ? f.center_width * 3
                                  : shape == 1 ? f.center_width * 1.4f
                                               : f.center_width;
                f.score = static_cast<int32_t>(dice() % 6) - 1;
            }
        }
        std::shuffle(candidates.begin(), candidates.end(), dice);
        std::vector<vorden::FinderPattern> expected = candidates;
        for (vorden::FinderPattern& p : expected) {
            const float q = p.center_width / p.center_height, d = p.center_width - p.center_height;
            if ((q > 1.2 || q < 0.8) && (d < -2 || d > 2)) p.score = -1;
        }
        for (vorden::FinderPattern& p : expected) {
            if (p.score < 0) continue;
            int partners = 0;
            for (const vorden::FinderPattern& q : expected)
                partners += &q != &p && q.score >= 0 && similar(p.center_width, q.center_width) &&
                            similar(p.center_height, q.center_height);
            if (partners < 2) p.score = -1;
        }
        for (vorden::MemChunk* pool : {&s.row_hits, &s.column_hits}) empty_pool(pool, sizeof(ScanHit));
        empty_pool(&s.finder_patterns, sizeof(vorden::FinderPattern));
        for (const vorden::FinderPattern& f : candidates) vorden::memchunk_add(&s.finder_patterns, &f);
        s.finder_count = count;
        vorden::score_finder_candidates();
        const auto* got = reinterpret_cast<const vorden::FinderPattern*>(s.finder_patterns.data);
        for (int i = 0; i < count; ++i)
            ASSERT_EQ(got[i].score, expected[i].score) << "round " << round << " #" << i;
    }
    vorden::release_finder_patterns();
}
