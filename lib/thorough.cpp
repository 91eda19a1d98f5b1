// Thorough reader: when the designed call reads nothing, or reads only
// provisionally, further strategies try the same image: a finder triple's
// own angle and neighbouring versions, sampling through a perspective
// transform, a local threshold, light-on-dark and mirrored symbols, and
// small images doubled. Each ends in the designed stages, from the format
// information on (ISO/IEC 18004 7.9 to 7.4), on a module matrix it sampled.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "decoder.h"

namespace vorden {

namespace {

DecoderState& S = decoder_state;

const FinderPattern& finder(int32_t place) {
    return reinterpret_cast<const FinderPattern*>(S.finder_patterns.data)[S.selected_finders[place]];
}

// Fills the module matrix through the map; false when a module centre falls
// outside the image.
bool sample_through(const Homography& m) {
    const int32_t size = S.symbol_size;
    for (int32_t r = 0; r < size; ++r) {
        for (int32_t c = 0; c < size; ++c) {
            float x, y;
            if (!m.map(c, r, x, y) || !(x >= 0 && x < S.image_width && y >= 0 && y < S.image_height))
                return false;
            S.module_matrix[c + r * size] =
                S.binary_image[static_cast<size_t>(y) * S.image_width + static_cast<size_t>(x)];
        }
    }
    std::memset(S.function_map, 0, sizeof S.function_map);
    return true;
}

// ---------------------------------------------------------------------------
// Reading a sampled matrix with the designed stages.

// What a strategy is allowed to try.
struct Plan {
    bool grid;                // the designed grid of alignment patterns
    bool designed_estimates;  // the designed call's own version estimates
    int32_t neighbours;       // versions this far around the angle-corrected estimate
    bool perspective;         // the four-point map besides the grid
    bool other_triples;       // finder triples the designed choice passed over
};

// The best read so far in this call: a sure one ends the search; the first
// provisional one is kept in case no sure one follows.
struct Held {
    bool present;
    char text[sizeof S.result_text];
    int32_t length;
    StructuredAppendInfo append;
    ReadInfo info;
} held;

// The text the state holds now, with what decoder_query and
// decoder_last_read.info report of it.
Held held_now() {
    Held h{true, {}, S.text_length, S.structured_append, last_read.info};
    std::memcpy(h.text, S.result_text, sizeof h.text);
    return h;
}

// Puts a held provisional text back as the call's answer.
const char* give_back(const Held& h) {
    std::memcpy(S.result_text, h.text, sizeof S.result_text);
    S.text_length = h.length;
    S.structured_append = h.append;
    S.result_partial = -1;
    last_read.info = h.info;
    last_read.valid = true;
    return S.result_text;
}

uint8_t sampled[sizeof S.module_matrix];

// Format, mask, codewords and segments on the sampled matrix, as it stands
// or transposed. True on a sure read; a provisional one is held.
bool read_matrix(const float corners[4][2], bool transposed) {
    const int32_t size = S.symbol_size;
    std::memcpy(sampled, S.module_matrix, static_cast<size_t>(size) * size);
    if (transposed)
        for (int32_t r = 0; r < size; ++r)
            for (int32_t c = 0; c < size; ++c) S.module_matrix[c + r * size] = sampled[r + c * size];
    S.result_partial = 0;
    bool sure = false;
    if (read_format_information()) {
        remove_data_mask();
        if (read_codewords() && decode_data_segments() != nullptr) {
            sure = S.result_partial == 0;
            if (sure || !held.present) {
                keep_text(corners, transposed);
                if (!sure) held = held_now();
            }
        }
    }
    std::memcpy(S.module_matrix, sampled, static_cast<size_t>(size) * size);
    std::memset(S.function_map, 0, sizeof S.function_map);
    return sure;
}

// Whether the binary pixel under (x, y) is dark; outside the image is light.
bool dark_at(float x, float y) {
    if (!(x >= 0 && x < S.image_width && y >= 0 && y < S.image_height)) return false;
    return S.binary_image[static_cast<size_t>(y) * S.image_width + static_cast<size_t>(x)] == 64;
}

// A finder pattern's module size along direction (dx, dy) from its
// horizontal and vertical runs, every line through it averaged: through a
// turned pattern they cross it on a chord longer by 1 / cos of the angle,
// folded into 0 to 45 degrees.
float module_across_runs(const FinderPattern& f, float dx, float dy) {
    constexpr float kQuarter = std::numbers::pi_v<float> / 2;
    float turn = std::fmod(std::fabs(std::atan2(dy, dx)), kQuarter);
    if (turn > kQuarter / 2) turn = kQuarter - turn;
    return (f.width + f.height) / 2 * std::cos(turn) / 7;
}

// A finder pattern's module size along direction (dx, dy), from the chord
// through its centre: dark centre, light ring, dark ring on each side, seven
// modules edge to edge (ISO/IEC 18004 6.3.3) whatever the angle, shear or
// foreshortening; from the runs where the rings do not show.
float module_along(const FinderPattern& f, float dx, float dy) {
    const float length = std::hypot(dx, dy);
    const float reach = 0.75f * std::max(f.width, f.height);  // pixels from the centre
    if (length > 0 && dark_at(f.x, f.y)) {
        const float ux = dx / length, uy = dy / length;
        float chord = 0;
        for (const float sign : {1.0f, -1.0f}) {
            // Half-pixel steps to the third change of colour: the outer edge.
            int32_t changes = 0;
            float t = 0;
            for (bool dark = true; changes < 3 && t < reach;) {
                t += 0.5f;
                const bool now = dark_at(f.x + sign * t * ux, f.y + sign * t * uy);
                changes += now != dark;
                dark = now;
            }
            if (changes < 3) return module_across_runs(f, dx, dy);
            chord += t;
        }
        return chord / 7;
    }
    return module_across_runs(f, dx, dy);
}

// Units for `version` from the finder centres, as the designed estimate
// sets them once it has a version.
void set_version(int32_t version) {
    const FinderPattern &f0 = finder(0), &f1 = finder(1), &f2 = finder(2);
    const float q = static_cast<float>(4 * version + 10);
    S.symbol_version = version;
    S.symbol_size = 4 * version + 17;
    S.x_unit[0] = (f1.x - f0.x) / q;
    S.x_unit[1] = (f1.y - f0.y) / q;
    S.y_unit[0] = (f2.x - f0.x) / q;
    S.y_unit[1] = (f2.y - f0.y) / q;
}

// The map through the three finder centres and the point q that module
// (size - 4, size - 4) takes, where a fourth finder pattern would sit: the
// square between those four modules onto the quadrilateral of the four
// points, in closed form (Heckbert's square-to-quad map). False when the
// points are degenerate.
bool map_through(const float q[2], Homography& m) {
    const FinderPattern &f0 = finder(0), &f1 = finder(1), &f2 = finder(2);
    const double x0 = f0.x, y0 = f0.y, x1 = f1.x, y1 = f1.y, x2 = q[0], y2 = q[1], x3 = f2.x, y3 = f2.y;
    const double dx1 = x1 - x2, dx2 = x3 - x2, dx3 = x0 - x1 + x2 - x3;
    const double dy1 = y1 - y2, dy2 = y3 - y2, dy3 = y0 - y1 + y2 - y3;
    const double det = dx1 * dy2 - dx2 * dy1;
    if (!(std::fabs(det) > 1e-9)) return false;
    const double g = (dx3 * dy2 - dx2 * dy3) / det, h = (dx1 * dy3 - dx3 * dy1) / det;
    const double a = x1 - x0 + g * x1, b = x3 - x0 + h * x3, d = y1 - y0 + g * y1, e = y3 - y0 + h * y3;
    // From (u, v) on the unit square to module (c, r) = (3 + L u, 3 + L v).
    const double span = S.symbol_size - 7.0, k = 1 - 3 * (g + h) / span;
    if (!(std::fabs(k) > 1e-9)) return false;
    m = Homography{{a / span / k, b / span / k, (x0 - 3 * (a + b) / span) / k, d / span / k, e / span / k,
                    (y0 - 3 * (d + e) / span) / k, g / span / k, h / span / k}};
    return true;
}

// Modules of the lower right alignment pattern (dark ring, light ring, dark
// centre) that the map finds as they should be, of 25; any score below
// `needed` once it cannot reach it.
int32_t alignment_score(const Homography& m, int32_t needed) {
    const int32_t at = S.symbol_size - 7;
    int32_t score = 0, left = 25;
    for (int32_t r = -2; r <= 2; ++r) {
        for (int32_t c = -2; c <= 2; ++c) {
            float x, y;
            if (!m.map(at + c, at + r, x, y)) return 0;
            const bool ring = std::max(std::abs(r), std::abs(c)) == 1;
            score += dark_at(x, y) != ring;
            // Short of `needed` even if every module left matched: the
            // caller only wants to know that.
            if (score + --left < needed) return score;
        }
    }
    return score;
}

// The four-point map whose alignment pattern matches best. Perspective moves
// the parallelogram's fourth corner most, and the pattern beside it tells
// where it went: fourth points in whole modules up to three tenths of the
// symbol each way (6 to 16 modules: the search grows with the square, and a
// clutter triple taken for version 40 would search a hundred modules wide),
// then around the best few a module each way in quarters, the pattern
// sampled through each point's own map.
bool perspective_map(Homography& m) {
    if (S.symbol_version < 2) return false;
    const FinderPattern &f0 = finder(0), &f1 = finder(1), &f2 = finder(2);
    const float *xu = S.x_unit, *yu = S.y_unit;
    const float corner[2] = {f1.x + f2.x - f0.x, f1.y + f2.y - f0.y};
    const auto at = [&](const float from[2], float i, float j, float q[2]) {
        q[0] = from[0] + i * xu[0] + j * yu[0];
        q[1] = from[1] + i * xu[1] + j * yu[1];
    };
    constexpr int32_t kFew = 3;
    struct Candidate {
        int32_t score;
        float q[2];
    } few[kFew] = {{-1, {0, 0}}, {-1, {0, 0}}, {-1, {0, 0}}};
    const int32_t reach = std::clamp(S.symbol_size * 3 / 10, 6, 16);
    for (int32_t j = -reach; j <= reach; ++j) {
        for (int32_t i = -reach; i <= reach; ++i) {
            Candidate c{0, {0, 0}};
            at(corner, static_cast<float>(i), static_cast<float>(j), c.q);
            Homography h;
            if (!map_through(c.q, h)) continue;
            c.score = alignment_score(h, few[kFew - 1].score + 1);
            int32_t k = kFew;
            while (k > 0 && few[k - 1].score < c.score) --k;
            if (k == kFew) continue;
            std::copy_backward(few + k, few + kFew - 1, few + kFew);
            few[k] = c;
        }
    }
    // The fourth point is the mean of the best-matching ones around the best
    // candidate: the pattern matches over a range of points, and its middle
    // is the map's best guess.
    int32_t best = -1, hits = 0;
    float sum[2] = {0, 0};
    for (const Candidate& c : few) {
        if (c.score < 0) continue;
        for (int32_t j = -4; j <= 4; ++j) {
            for (int32_t i = -4; i <= 4; ++i) {
                float q[2];
                at(c.q, i / 4.0f, j / 4.0f, q);
                Homography h;
                if (!map_through(q, h)) continue;
                const int32_t score = alignment_score(h, best);
                if (score > best) best = score, hits = 0, sum[0] = sum[1] = 0;
                if (score == best) ++hits, sum[0] += q[0], sum[1] += q[1];
            }
        }
    }
    // Most of the 25 modules, or the match is no better than chance.
    if (best < 22) return false;
    const float q[2] = {sum[0] / static_cast<float>(hits), sum[1] / static_cast<float>(hits)};
    return map_through(q, m);
}

// Without an alignment pattern to go by, version 1 tries fourth points in
// half modules up to four modules around the parallelogram's corner, each map
// read through: the format and the codewords' check tell the right one.
bool read_through_fourth_points();

// Reads the sampled matrix, and transposed as a mirrored symbol needs it;
// true on a sure read.
bool read_sampled(const Homography& m) {
    float corners[4][2];
    corners_of(m, corners);
    return read_matrix(corners, false) || read_matrix(corners, true);
}

// One version through the designed grid and, if planned, the four-point map.
bool read_version(const Plan& plan, int32_t version) {
    set_version(version);
    bool sure = false;
    if (plan.grid && build_sampling_grid() && sample_modules()) sure = read_sampled(affine_map());
    release_sampling_grid();
    if (sure || !plan.perspective) return sure;
    // The finder centres alone, which read a turned symbol whose alignment
    // patterns the grid's run search misplaced, then the four-point map.
    set_version(version);
    const Homography affine = affine_map();
    if (sample_through(affine) && read_sampled(affine)) return true;
    Homography m;
    if (perspective_map(m)) return sample_through(m) && read_sampled(m);
    return version == 1 && read_through_fourth_points();
}

bool read_through_fourth_points() {
    const FinderPattern &f0 = finder(0), &f1 = finder(1), &f2 = finder(2);
    const float *xu = S.x_unit, *yu = S.y_unit;
    const float centre[2] = {f1.x + f2.x - f0.x, f1.y + f2.y - f0.y};
    for (int32_t j = -8; j <= 8; ++j) {
        for (int32_t i = -8; i <= 8; ++i) {
            const float q[2] = {centre[0] + (i * xu[0] + j * yu[0]) / 2,
                                centre[1] + (i * xu[1] + j * yu[1]) / 2};
            Homography m;
            if ((i != 0 || j != 0) && map_through(q, m) && sample_through(m) && read_sampled(m)) return true;
        }
    }
    return false;
}

// The version from the finder distance with module sizes measured along the
// symbol's own axes; `read` gets the version information's reading, or 0.
// The sizes come from each pattern's runs, every line through it averaged:
// a single chord is a pixel or so off, which at three pixels a module moves
// a version 10 estimate a whole version.
int32_t corrected_estimate(int32_t& read) {
    read = 0;
    const FinderPattern &f0 = finder(0), &f1 = finder(1), &f2 = finder(2);
    const float dx = f1.x - f0.x, dy = f1.y - f0.y;
    const float d1 = std::hypot(dx, dy), d2 = std::hypot(f2.x - f0.x, f2.y - f0.y);
    const float module =
        (module_across_runs(f0, dx, dy) + module_across_runs(f1, dx, dy) + module_across_runs(f2, dx, dy)) /
        3;
    if (!(module > 0) || !(d1 > 0) || !(d2 > 0)) return 0;
    const float modules = (d1 + d2) / (2 * module);
    if (!(modules < 1000)) return 0;
    const int32_t estimate = static_cast<int32_t>(std::lround((modules - 10) / 4));
    if (estimate < 7) return estimate;
    // Version information sampled with the corrected units.
    S.x_unit[0] = dx / d1 * module;
    S.x_unit[1] = dy / d1 * module;
    S.y_unit[0] = (f2.x - f0.x) / d2 * module;
    S.y_unit[1] = (f2.y - f0.y) / d2 * module;
    int32_t version = read_version_information(1, S.image_width, S.image_height);
    if (version < 0) version = read_version_information(2, S.image_width, S.image_height);
    read = std::max(version, 0);
    return estimate;
}

// Every version the plan names, once each, nearest the estimates first.
bool read_finders(const Plan& plan) {
    int32_t versions[12];
    int32_t count = 0;
    const auto add = [&](int32_t v) {
        if (v < 1 || v > 40 || std::find(versions, versions + count, v) != versions + count) return;
        versions[count++] = v;
    };
    if (plan.designed_estimates)
        for (int32_t attempt = 0; attempt < 2; ++attempt)
            add(estimate_version(attempt, S.image_width, S.image_height));
    // The version information first; under perspective it can be misread
    // within its correction, so the finder distance's estimate and its
    // neighbours follow.
    int32_t read = 0;
    const int32_t estimate = corrected_estimate(read);
    add(read);
    add(estimate);
    for (int32_t d = 1; d <= plan.neighbours; ++d) add(estimate - d), add(estimate + d);
    for (int32_t k = 0; k < count; ++k)
        if (read_version(plan, versions[k])) return true;
    return false;
}

// How far candidates a, b, c are from a symbol's finder triple seen at an
// angle, with k the corner: the legs of similar length at roughly a right
// angle, the pattern sizes within a factor of two; negative when they cannot
// be one. Perspective makes the designed choice, which wants similar
// patterns, pass over such triples.
float triple_distance(const FinderPattern& k, const FinderPattern& a, const FinderPattern& b) {
    const float ux = a.x - k.x, uy = a.y - k.y, vx = b.x - k.x, vy = b.y - k.y;
    const float lu = std::hypot(ux, uy), lv = std::hypot(vx, vy);
    const float smallest = std::min({k.width, a.width, b.width}),
                largest = std::max({k.width, a.width, b.width});
    // Centres two pattern widths apart at version 1 (14 modules), less where
    // perspective makes the nearer pattern larger and runs through a turned
    // one are longer.
    if (!(smallest > 0) || largest > 2 * smallest || std::min(lu, lv) < 1.5f * smallest) return -1;
    const float legs = std::max(lu, lv) / std::min(lu, lv), turn = std::fabs(ux * vx + uy * vy) / (lu * lv);
    if (legs > 1.35f || turn > 0.3f) return -1;
    return turn + (legs - 1) + (largest / smallest - 1) / 2;
}

// Whether the timing patterns (ISO/IEC 18004 6.3.5) start where they should
// beside each finder pattern: modules 8 to 10 of row 6 and of column 6 from
// each end, dark at even numbers whatever the version. Positions step from
// each pattern by the module sizes at both ends of the line, measured either
// way: the pattern's runs, every line through it averaged, place small
// modules best; its chords along the line tell modules shorter one way than
// the other. A triple of clutter mostly fails, most of it within the first
// two lines.
bool timing_starts(const FinderPattern& f0, const FinderPattern& f1, const FinderPattern& f2, int32_t least) {
    using Size = float (*)(const FinderPattern&, float, float);
    const float down[2] = {f2.x - f0.x, f2.y - f0.y}, right[2] = {f1.x - f0.x, f1.y - f0.y};
    // Modules 8 to 10 of the line from `from` toward `to`, three modules
    // over along `across`: row 6 lies below the finders' centre row, column
    // 6 right of their centre column. Perspective shrinks modules along the
    // line from one pattern's size to the other's; a one-dimensional
    // projective map with those sizes at its ends places them.
    const auto fits_on = [](Size size, const FinderPattern& from, const FinderPattern& to,
                            const float across[2]) {
        const float dx = to.x - from.x, dy = to.y - from.y, d = std::hypot(dx, dy);
        const float m0 = size(from, dx, dy), m1 = size(to, dx, dy);
        if (!(d > 0) || !(m0 > 0) || !(m1 > 0)) return 0;
        const float n = d / std::sqrt(m0 * m1), c = (std::sqrt(m0 / m1) - 1) / n;
        const float o = 3 * size(from, across[0], across[1]) / std::hypot(across[0], across[1]);
        int32_t fits = 0;
        for (int32_t k = 8; k <= 10; ++k) {
            const float steps = static_cast<float>(k - 3), t = m0 * steps / (1 + c * steps) / d;
            fits += dark_at(from.x + dx * t + across[0] * o, from.y + dy * t + across[1] * o) == (k % 2 == 0);
        }
        return fits;
    };
    const FinderPattern* lines[4][2] = {{&f0, &f1}, {&f1, &f0}, {&f0, &f2}, {&f2, &f0}};
    for (const Size size : {module_across_runs, module_along}) {
        int32_t misses = 0;
        for (int32_t k = 0; k < 4 && misses <= 12 - least; ++k)
            misses += 3 - fits_on(size, *lines[k][0], *lines[k][1], k < 2 ? down : right);
        if (misses <= 12 - least) return true;
    }
    return false;
}

// Up to eight triples the designed choice did not make, nearest first; each
// read as the plan says. The candidates of one place (the scan finds a
// pattern several times over) count once, and only 64 places, so that a
// frame full of clutter costs no more than a few tries.
bool read_other_triples(const Plan& plan) {
    const auto* found = reinterpret_cast<const FinderPattern*>(S.finder_patterns.data);
    const int32_t designed[3] = {S.selected_finders[0], S.selected_finders[1], S.selected_finders[2]};
    // Candidates crossed by most lines first: the speckle of a noisy ground
    // makes finder-like runs by the hundred, each only a line or two thick,
    // which would otherwise fill the places before a symbol further down.
    const int32_t count = S.finder_count;
    auto* order = static_cast<int32_t*>(heap_alloc(static_cast<size_t>(count) * sizeof(int32_t)));
    if (order == nullptr) return false;
    for (int32_t i = 0; i < count; ++i) order[i] = i;
    const auto lines = [&](int32_t i) { return std::min(found[i].row_hit_count, found[i].column_hit_count); };
    const int32_t ranked = std::min(count, 256);
    std::partial_sort(order, order + ranked, order + count, [&](int32_t a, int32_t b) {
        return lines(a) != lines(b) ? lines(a) > lines(b) : a < b;
    });
    int32_t places[64], n = 0;
    for (int32_t k = 0; k < ranked && n < 64; ++k) {
        const FinderPattern& f = found[order[k]];
        const auto near = [&](int32_t j) {
            const FinderPattern& g = found[j];
            return std::hypot(f.x - g.x, f.y - g.y) < std::max(f.width, g.width) / 2;
        };
        if (std::none_of(places, places + n, near)) places[n++] = order[k];
    }
    heap_free(order);
    constexpr int32_t kTries = 8;
    struct Triple {
        float distance;
        int32_t place[3];
    } best[kTries];
    int32_t kept = 0;
    for (int32_t a = 0; a < n; ++a)
        for (int32_t b = a + 1; b < n; ++b)
            for (int32_t c = b + 1; c < n; ++c) {
                const int32_t t[3] = {places[a], places[b], places[c]};
                if (std::is_permutation(t, t + 3, designed)) continue;
                for (int32_t corner = 0; corner < 3; ++corner) {
                    const int32_t k = t[corner], u = t[(corner + 1) % 3], v = t[(corner + 2) % 3];
                    const float d = triple_distance(found[k], found[u], found[v]);
                    if (d < 0 || (kept == kTries && d >= best[kTries - 1].distance)) continue;
                    // Data modules make finder-like triples by the dozen; the
                    // timing patterns tell most of them from a symbol's.
                    if (!timing_starts(found[k], found[u], found[v], 9)) continue;
                    int32_t at = std::min(kept, kTries - 1);
                    while (at > 0 && best[at - 1].distance > d) best[at] = best[at - 1], --at;
                    best[at] = Triple{d, {k, u, v}};
                    kept = std::min(kept + 1, kTries);
                }
            }
    // Most of these triples are clutter: each tries the maps alone, at the
    // estimate and next to it.
    Plan checked = plan;
    checked.grid = checked.designed_estimates = false;
    checked.neighbours = std::min(checked.neighbours, 1);
    for (int32_t i = 0; i < kept; ++i) {
        std::copy(best[i].place, best[i].place + 3, S.selected_finders);
        if (orient_finder_triple() && read_finders(checked)) return true;
    }
    return false;
}

// The binary image in place: finders, then the plan.
bool read_binary(const Plan& plan) {
    bool sure = false;
    const bool triple = find_finder_patterns();
    if (triple) {
        // A triple whose timing patterns do not start as they should is
        // most likely clutter: its estimate alone is tried, not the
        // versions around it.
        Plan narrow = plan;
        if (!timing_starts(finder(0), finder(1), finder(2), 7)) narrow.neighbours = 0;
        sure = read_finders(narrow);
    }
    if (!sure && plan.other_triples && S.finder_count >= 3) sure = read_other_triples(plan);
    release_finder_patterns();
    return sure;
}

// ---------------------------------------------------------------------------
// The strategies, cheapest and most often useful first.

enum class Binarize { global, local, inverted };

struct Strategy {
    const char* name;
    Binarize binarize;
    bool enlarge;
    Plan plan;
};

constexpr Strategy kStrategies[] = {
    {"geometry", Binarize::global, false, {true, false, 2, true, true}},
    {"local threshold", Binarize::local, false, {true, true, 2, true, true}},
    {"inverted", Binarize::inverted, false, {true, true, 2, true, true}},
    {"enlarged", Binarize::local, true, {true, true, 2, true, false}},
};
constexpr int32_t kStrategyCount = sizeof kStrategies / sizeof kStrategies[0];

// Images this small are doubled by the "enlarged" strategy: their modules
// may be too few pixels for the run tests.
constexpr int32_t kEnlargeBelow = 480;

// Grey levels of a two-level image, for the transforms that need grey.
void two_level_grey(const uint8_t* image, size_t pixels, uint8_t* grey) {
    for (size_t i = 0; i < pixels; ++i) grey[i] = image[i] == 0 ? 0 : 255;
}

bool binarize_for(const Strategy& k, const uint8_t* grey, int32_t pixel_depth) {
    const size_t pixels = static_cast<size_t>(S.image_width) * S.image_height;
    // A frame mostly darker than its mean is light on dark, left to the
    // inverted strategy: at one threshold its dark ground joins every finder
    // candidate into regions that cost many frames' time to walk. (The local
    // threshold keeps a plain ground light, and photographs of a light page
    // in a dark room need it.)
    if (k.binarize == Binarize::global) {
        if (mostly_dark(grey, pixels)) return false;
        binarize(0, grey, pixel_depth);
        return true;
    }
    return local_threshold(grey, S.image_width, S.image_height, k.binarize == Binarize::inverted,
                           S.binary_image);
}

// Runs strategy k on the image; true on a sure read.
bool run_strategy(int32_t k, const uint8_t* image, int32_t width, int32_t height, int32_t pixel_depth) {
    const Strategy& strategy = kStrategies[k];
    const size_t pixels = static_cast<size_t>(width) * height;
    const bool two_level = is_two_level(pixel_depth);
    if (strategy.enlarge && std::max(width, height) >= kEnlargeBelow) return false;
    uint8_t* grey = nullptr;
    const uint8_t* source = image;
    if (two_level && strategy.binarize != Binarize::global) {
        grey = static_cast<uint8_t*>(heap_alloc(pixels));
        if (grey == nullptr) return false;
        two_level_grey(image, pixels, grey);
        source = grey;
    }
    uint8_t* large = nullptr;
    if (strategy.enlarge) {
        large = static_cast<uint8_t*>(heap_alloc(4 * pixels));
        if (large == nullptr) {
            heap_free(grey);
            return false;
        }
        enlarge_twice(source, width, height, large);
        source = large;
        width *= 2;
        height *= 2;
    }
    S.image_width = width;
    S.image_height = height;
    last_read.strategy = k + 1;
    last_read.name = strategy.name;
    last_read.scale = strategy.enlarge ? 0.5f : 1.0f;
    bool sure = false;
    S.binary_image = static_cast<uint8_t*>(heap_alloc(static_cast<size_t>(width) * height));
    if (S.binary_image != nullptr && binarize_for(strategy, source, large != nullptr ? 8 : pixel_depth))
        sure = read_binary(strategy.plan);
    heap_free(S.binary_image);
    S.binary_image = nullptr;
    heap_free(large);
    heap_free(grey);
    return sure;
}

}  // namespace

int32_t thorough_strategy_count() {
    return kStrategyCount;
}

const char* thorough_strategy_name(int32_t k) {
    return k >= 0 && k < kStrategyCount ? kStrategies[k].name : nullptr;
}

const char* read_with_strategy(int32_t k, const uint8_t* image, int32_t width, int32_t height,
                               int32_t pixel_depth) {
    if (k < 0 || k >= kStrategyCount || !image_fits(image, width, height)) return nullptr;
    FILE* const log = S.log_stream;
    S.log_stream = nullptr;  // the stages inside a strategy write nothing
    held.present = false;
    last_read.valid = false;
    const bool sure = run_strategy(k, image, width, height, pixel_depth);
    S.log_stream = log;
    if (sure) {
        S.result_partial = 0;
        return S.result_text;
    }
    return held.present ? give_back(held) : nullptr;
}

}  // namespace vorden

// ---------------------------------------------------------------------------
// Public face.

using namespace vorden;

extern "C" const char* decode_symbol_thorough(const uint8_t* image, int32_t width, int32_t height,
                                              int32_t pixel_depth, FILE* log_stream) {
    const char* designed = decode_symbol(image, width, height, pixel_depth, log_stream);
    if (designed != nullptr && S.result_partial == 0) return designed;
    if (!image_fits(image, width, height)) return nullptr;

    // The designed call's provisional text, kept while the strategies look
    // for a sure one.
    Held fallback{};
    if (designed != nullptr) fallback = held_now();
    // A mostly dark frame more likely holds a light-on-dark symbol, which
    // the inverted strategy reads at a fraction of what the local threshold
    // spends on that dark ground first.
    int32_t order[kStrategyCount];
    for (int32_t k = 0; k < kStrategyCount; ++k) order[k] = k;
    if (!is_two_level(pixel_depth) && mostly_dark(image, static_cast<size_t>(width) * height))
        std::swap(order[1], order[2]);
    for (const int32_t k : order) {
        const char* text = read_with_strategy(k, image, width, height, pixel_depth);
        const bool sure = text != nullptr && S.result_partial == 0;
        if (log_stream != nullptr && !(kStrategies[k].enlarge && std::max(width, height) >= kEnlargeBelow))
            std::fprintf(log_stream, "thorough: %s %s\n", kStrategies[k].name, sure ? "read" : "failed");
        if (sure) return text;
        if (text != nullptr && !fallback.present) fallback = held_now();
    }
    if (fallback.present) return give_back(fallback);
    last_read.valid = false;
    return nullptr;
}
