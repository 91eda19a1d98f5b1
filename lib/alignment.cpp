// Alignment patterns (ISO/IEC 18004 6.3.6): light-dark-light triples of one
// module each, found in the pass's run tables within small windows around
// each predicted centre, and grouped like the finder hits.
#include <cmath>
#include <cstdlib>

#include "decoder.h"

namespace vorden {

namespace {

DecoderState& S = decoder_state;

const FinderPattern* patterns() {
    return reinterpret_cast<const FinderPattern*>(S.finder_patterns.data);
}

}  // namespace

int32_t scan_alignment_runs(const int16_t* table, int32_t line_length, MemChunk* hits, int32_t first_line,
                            int32_t first_position, int32_t line_count, int32_t span, float module) {
    if (first_line < 0 || first_position < 0) return 0;
    const int32_t lo = static_cast<int32_t>(std::floor(0.5 * module));
    const int32_t hi = static_cast<int32_t>(round_nearest(1.5 * module));
    const int32_t end = first_position + span;
    auto fits = [lo, hi](int32_t run) { return run >= lo && run <= hi; };

    int32_t found = 0;
    for (int32_t j = first_line; j < first_line + line_count; ++j) {
        const int16_t* r = table + static_cast<size_t>(j) * (line_length + 2);
        int32_t p = 0;
        int32_t k = 0;
        while (p < first_position && r[k] != -1) p += r[k++];
        if (r[k] == -1) continue;
        if (k % 2 == 0) p += r[k++];  // start the test on a light run

        while (p < end) {
            if (r[k] == -1 || r[k + 1] == -1 || p + r[k] + r[k + 1] > end) break;
            if (fits(r[k]) && fits(r[k + 1]) && r[k + 2] != -1 && fits(r[k + 2])) {
                const ScanHit hit{j, p + r[k], 0, 0, r[k + 1], -1};
                memchunk_add(hits, &hit);
                ++found;
            }
            p += r[k] + r[k + 1];
            if (r[k + 2] == -1 || r[k + 3] == -1) break;
            k += 2;
        }
    }
    return found > 0 ? -1 : 0;
}

namespace {

// Integer window [first, first + length) along an axis of `limit` pixels, or
// false when it leaves the image. The checks run in floating point first so
// that a wild prediction never reaches an integer conversion.
bool window(float start, float extent, int32_t limit, int32_t& first, int32_t& length) {
    if (!(start >= 0) || !(extent >= 0) || !(static_cast<double>(start) + extent <= limit + 1.0))
        return false;
    first = static_cast<int32_t>(round_nearest(start));
    length = static_cast<int32_t>(round_nearest(extent));
    return static_cast<int64_t>(first) + length <= limit;
}

// Mean of start + length / 2 over the hits of group 1.
bool group_one_mean(const MemChunk& pool, float& mean) {
    const ScanHit* hits = reinterpret_cast<const ScanHit*>(pool.data);
    float sum = 0;
    int32_t n = 0;
    for (int32_t i = 0; i < pool.count; ++i) {
        if (hits[i].group != 1) continue;
        sum += static_cast<float>(hits[i].start) + static_cast<float>(hits[i].length) / 2;
        ++n;
    }
    if (n == 0) return false;
    mean = sum / static_cast<float>(n);
    return true;
}

}  // namespace

int32_t find_alignment_pattern(GridPoint* point) {
    memchunk_clear(&S.row_hits);
    memchunk_clear(&S.column_hits);
    const FinderPattern* found = patterns();
    const FinderPattern& f0 = found[S.selected_finders[0]];
    const float mc = static_cast<float>(point->column - 3);
    const float mr = static_cast<float>(point->row - 3);
    const float ex = f0.x + mc * S.x_unit[0] + mr * S.y_unit[0];
    const float ey = f0.y + mc * S.x_unit[1] + mr * S.y_unit[1];
    // The pixel extent of one module whatever the symbol's rotation.
    const float sx = std::fabs(S.x_unit[0]) + std::fabs(S.y_unit[0]);
    const float sy = std::fabs(S.x_unit[1]) + std::fabs(S.y_unit[1]);

    float widths = 0, heights = 0;
    for (int32_t p = 0; p < 3; ++p) {
        widths += found[S.selected_finders[p]].width;
        heights += found[S.selected_finders[p]].height;
    }

    int32_t first_row, rows, first_column, columns;
    // Rows: 5 modules wide, 3 high.
    if (!window(ey - 1.5f * sy, 3 * sy, S.image_height, first_row, rows)) return 0;
    if (!window(ex - 2.5f * sx, 5 * sx, S.image_width, first_column, columns)) return 0;
    if (!scan_alignment_runs(S.row_runs, S.image_width, &S.row_hits, first_row, first_column, rows, columns,
                             widths / 21)) {
        return 0;
    }
    // Columns: 3 modules wide, 5 high.
    if (!window(ex - 1.5f * sx, 3 * sx, S.image_width, first_column, columns)) return 0;
    if (!window(ey - 2.5f * sy, 5 * sy, S.image_height, first_row, rows)) return 0;
    if (!scan_alignment_runs(S.column_runs, S.image_height, &S.column_hits, first_column, first_row, columns,
                             rows, heights / 21)) {
        return 0;
    }

    if (!group_alignment_hits(first_column, columns)) {
        log_line("malloc() failed.\n");
        return 0;
    }
    // The first crossing's group wins, whatever the size of any other.
    float x, y;
    if (!group_one_mean(S.row_hits, x) || !group_one_mean(S.column_hits, y)) return 0;
    point->x = x;
    point->y = y;
    return -1;
}

}  // namespace vorden
