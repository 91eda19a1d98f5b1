// Image transforms for the thorough reader: a local threshold, for dark or
// for light modules, and a doubled image. Binary images use the stages' values:
// 64 dark, 0 light.
#include <algorithm>
#include <cstring>

#include "decoder.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vorden {

// ---------------------------------------------------------------------------
// Local threshold: a pixel is dark when it is darker than the mean of the
// 5 x 5 blocks around its own block. One global threshold loses symbols under
// a lighting gradient or beside a dark border; the local mean follows both.
// Block means cost one pass over the image, a window per pixel several.

namespace {

// Blocks of about a fortieth of the image's smaller side: five of them span
// several modules of any symbol that fills a useful part of it.
int32_t block_side(int32_t width, int32_t height) {
    return std::clamp(std::min(width, height) / 40, 4, 26);
}

// Adds a row into a block row's column sums and grey ranges.
void gather_row(const uint8_t* row, size_t width, uint16_t* sums, uint8_t* lows, uint8_t* highs) {
    size_t x = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (; x + 16 <= width; x += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x));
        auto* low = reinterpret_cast<__m128i*>(lows + x);
        auto* high = reinterpret_cast<__m128i*>(highs + x);
        _mm_storeu_si128(low, _mm_min_epu8(_mm_loadu_si128(low), v));
        _mm_storeu_si128(high, _mm_max_epu8(_mm_loadu_si128(high), v));
        auto* sum = reinterpret_cast<__m128i*>(sums + x);
        _mm_storeu_si128(sum, _mm_add_epi16(_mm_loadu_si128(sum), _mm_unpacklo_epi8(v, zero)));
        _mm_storeu_si128(sum + 1, _mm_add_epi16(_mm_loadu_si128(sum + 1), _mm_unpackhi_epi8(v, zero)));
    }
#endif
    for (; x < width; ++x) {
        sums[x] = static_cast<uint16_t>(sums[x] + row[x]);
        lows[x] = std::min(lows[x], row[x]);
        highs[x] = std::max(highs[x], row[x]);
    }
}

// One row against its limits: dark (64) below them, or above them for
// light modules.
void threshold_row(const uint8_t* in, const uint8_t* limits, size_t width, bool lighter, uint8_t* out) {
    size_t x = 0;
#if defined(__SSE2__)
    // Unsigned order through signed compares, both sides shifted by 128.
    const __m128i flip = _mm_set1_epi8(static_cast<char>(0x80)), dark = _mm_set1_epi8(64);
    for (; x + 16 <= width; x += 16) {
        const __m128i v = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + x)), flip);
        const __m128i l = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(limits + x)), flip);
        const __m128i mask = lighter ? _mm_cmpgt_epi8(v, l) : _mm_cmplt_epi8(v, l);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), _mm_and_si128(mask, dark));
    }
#endif
    for (; x < width; ++x) out[x] = (lighter ? in[x] > limits[x] : in[x] < limits[x]) ? 64 : 0;
}

// Sums, pixel counts and grey ranges of blocks, one array each.
struct BlockStats {
    uint32_t *sums, *counts, *lows, *highs;
};

// Each block's window of five along one direction (itself and two each
// side, fewer at the ends), from `in` into `out`: `lines` lines of `length`
// blocks, `step` apart along a line and `stride` from one line to the next.
void gather_five(const BlockStats& in, const BlockStats& out, int32_t lines, int32_t length, size_t stride,
                 size_t step) {
    for (int32_t line = 0; line < lines; ++line) {
        for (int32_t at = 0; at < length; ++at) {
            uint32_t sum = 0, count = 0, low = 255, high = 0;
            for (int32_t k = std::max(at - 2, 0); k <= std::min(at + 2, length - 1); ++k) {
                const size_t b = static_cast<size_t>(line) * stride + static_cast<size_t>(k) * step;
                sum += in.sums[b];
                count += in.counts[b];
                low = std::min(low, in.lows[b]);
                high = std::max(high, in.highs[b]);
            }
            const size_t b = static_cast<size_t>(line) * stride + static_cast<size_t>(at) * step;
            out.sums[b] = sum;
            out.counts[b] = count;
            out.lows[b] = low;
            out.highs[b] = high;
        }
    }
}

}  // namespace

bool local_threshold(const uint8_t* image, int32_t width, int32_t height, bool lighter, uint8_t* binary) {
    const int32_t side = block_side(width, height);
    const int32_t bw = (width + side - 1) / side, bh = (height + side - 1) / side;
    const size_t blocks = static_cast<size_t>(bw) * bh, w = static_cast<size_t>(width);
    // Sums, pixel counts and grey ranges per block, then per neighbourhood
    // the limit below which (above which, for light modules) a pixel is dark.
    // Each block row is gathered column by column first and each limit
    // spread over a row of pixels, so that both pixel passes run the whole
    // width at once.
    auto* sums = static_cast<uint32_t*>(heap_alloc(8 * sizeof(uint32_t) * blocks));
    auto* columns = static_cast<uint16_t*>(heap_alloc(w * sizeof(uint16_t)));
    auto* spread = static_cast<uint8_t*>(heap_alloc(3 * w + blocks));
    if (sums == nullptr || columns == nullptr || spread == nullptr) {
        heap_free(sums);
        heap_free(columns);
        heap_free(spread);
        return false;
    }
    uint32_t *counts = sums + blocks, *lows = counts + blocks, *highs = lows + blocks;
    uint8_t *column_low = spread + w, *column_high = column_low + w, *limits = column_high + w;
    for (int32_t by = 0; by < bh; ++by) {
        const int32_t y0 = by * side, y1 = std::min(height, y0 + side);
        std::fill(columns, columns + w, uint16_t{0});
        std::fill(column_low, column_low + w, uint8_t{255});
        std::fill(column_high, column_high + w, uint8_t{0});
        for (int32_t y = y0; y < y1; ++y)
            gather_row(image + static_cast<size_t>(y) * w, w, columns, column_low, column_high);
        for (int32_t bx = 0; bx < bw; ++bx) {
            uint32_t sum = 0, low = 255, high = 0;
            const int32_t end = std::min(width, (bx + 1) * side);
            for (int32_t x = bx * side; x < end; ++x) {
                sum += columns[x];
                low = std::min<uint32_t>(low, column_low[x]);
                high = std::max<uint32_t>(high, column_high[x]);
            }
            const size_t b = static_cast<size_t>(by) * bw + bx;
            sums[b] = sum;
            counts[b] = static_cast<uint32_t>((end - bx * side) * (y1 - y0));
            lows[b] = low;
            highs[b] = high;
        }
    }
    // The 5 x 5 neighbourhood in two passes: five blocks across into the
    // second half of the arrays, then five of those down back into the first.
    const BlockStats block{sums, counts, lows, highs};
    const BlockStats across{sums + 4 * blocks, sums + 5 * blocks, sums + 6 * blocks, sums + 7 * blocks};
    gather_five(block, across, bh, bw, static_cast<size_t>(bw), 1);
    gather_five(across, block, bw, bh, 1, static_cast<size_t>(bw));
    for (size_t b = 0; b < blocks; ++b) {
        const uint64_t sum = sums[b], count = counts[b];
        const uint32_t low = lows[b], high = highs[b];
        // Dark when more than one level below the mean, (p + 1) * count <
        // sum, or more than one above it for light modules: flat areas
        // stay light either way, so no dark ground joins what the finder
        // search walks.
        // A neighbourhood of less contrast than this holds no symbol:
        // all of it light, where sensor noise would otherwise scatter
        // dark pixels over a plain ground.
        constexpr uint32_t kFlat = 24;
        uint64_t limit = lighter ? sum / count + 1 : (sum - 1) / count;
        if (high - low < kFlat) limit = lighter ? 255 : 0;
        limits[b] = static_cast<uint8_t>(std::min<uint64_t>(limit, 255));
    }
    for (int32_t by = 0; by < bh; ++by) {
        for (size_t x = 0; x < w; ++x) spread[x] = limits[static_cast<size_t>(by) * bw + x / side];
        for (int32_t y = by * side; y < std::min(height, (by + 1) * side); ++y) {
            const size_t at = static_cast<size_t>(y) * w;
            threshold_row(image + at, spread, w, lighter, binary + at);
        }
    }
    heap_free(spread);
    heap_free(columns);
    heap_free(sums);
    return true;
}

// Output pixel (x, y) samples the input at ((x - 0.5) / 2, (y - 0.5) / 2):
// each input pixel covers the four output pixels that share its centre.
void enlarge_twice(const uint8_t* image, int32_t width, int32_t height, uint8_t* out) {
    const int32_t w2 = 2 * width;
    for (int32_t y = 0; y < 2 * height; ++y) {
        // The input rows around y / 2 - 0.25, weighted in quarters.
        const int32_t y0 = std::max((y - 1) / 2, 0), y1 = std::min(y0 + 1, height - 1);
        const int32_t wy = y == 0 ? 0 : (y % 2 == 1 ? 1 : 3);  // quarter weight of row y1
        for (int32_t x = 0; x < w2; ++x) {
            const int32_t x0 = std::max((x - 1) / 2, 0), x1 = std::min(x0 + 1, width - 1);
            const int32_t wx = x == 0 ? 0 : (x % 2 == 1 ? 1 : 3);
            const auto at = [&](int32_t xx, int32_t yy) {
                return image[static_cast<size_t>(yy) * width + xx];
            };
            const int32_t top = at(x0, y0) * (4 - wx) + at(x1, y0) * wx;
            const int32_t bottom = at(x0, y1) * (4 - wx) + at(x1, y1) * wx;
            out[static_cast<size_t>(y) * w2 + x] =
                static_cast<uint8_t>((top * (4 - wy) + bottom * wy + 8) / 16);
        }
    }
}

}  // namespace vorden
