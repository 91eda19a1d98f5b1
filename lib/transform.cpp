// Image transforms for the thorough reader: a local threshold, for dark or
// for light modules, and a doubled image. Binary images use the stages' values:
// 64 dark, 0 light.
#include <algorithm>
#include <cstring>

#include "decoder.h"

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

}  // namespace

bool local_threshold(const uint8_t* image, int32_t width, int32_t height, bool lighter, uint8_t* binary) {
    const int32_t side = block_side(width, height);
    const int32_t bw = (width + side - 1) / side, bh = (height + side - 1) / side;
    const size_t blocks = static_cast<size_t>(bw) * bh;
    // Sums and pixel counts per block, then per neighbourhood: the limit
    // below which (above which, for light modules) a pixel is dark.
    auto* sums = static_cast<uint32_t*>(heap_alloc(4 * sizeof(uint32_t) * blocks));
    auto* limits = static_cast<uint8_t*>(heap_alloc(blocks));
    if (sums == nullptr || limits == nullptr) {
        heap_free(sums);
        heap_free(limits);
        return false;
    }
    uint32_t *counts = sums + blocks, *lows = counts + blocks, *highs = lows + blocks;
    std::memset(sums, 0, 2 * sizeof(uint32_t) * blocks);
    std::fill(lows, lows + blocks, 255u);
    std::fill(highs, highs + blocks, 0u);
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* row = image + static_cast<size_t>(y) * width;
        uint32_t* block_row = sums + static_cast<size_t>(y / side) * bw;
        for (int32_t bx = 0; bx < bw; ++bx) {
            uint32_t sum = 0, low = 255, high = 0;
            const int32_t end = std::min(width, (bx + 1) * side);
            for (int32_t x = bx * side; x < end; ++x) {
                sum += row[x];
                low = std::min<uint32_t>(low, row[x]);
                high = std::max<uint32_t>(high, row[x]);
            }
            const size_t b = static_cast<size_t>(y / side) * bw + bx;
            block_row[bx] += sum;
            counts[b] += static_cast<uint32_t>(end - bx * side);
            lows[b] = std::min(lows[b], low);
            highs[b] = std::max(highs[b], high);
        }
    }
    for (int32_t by = 0; by < bh; ++by) {
        for (int32_t bx = 0; bx < bw; ++bx) {
            uint64_t sum = 0, count = 0;
            uint32_t low = 255, high = 0;
            for (int32_t y = std::max(by - 2, 0); y <= std::min(by + 2, bh - 1); ++y)
                for (int32_t x = std::max(bx - 2, 0); x <= std::min(bx + 2, bw - 1); ++x) {
                    const size_t b = static_cast<size_t>(y) * bw + x;
                    sum += sums[b];
                    count += counts[b];
                    low = std::min(low, lows[b]);
                    high = std::max(high, highs[b]);
                }
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
            limits[static_cast<size_t>(by) * bw + bx] = static_cast<uint8_t>(std::min<uint64_t>(limit, 255));
        }
    }
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* in = image + static_cast<size_t>(y) * width;
        uint8_t* out = binary + static_cast<size_t>(y) * width;
        const uint8_t* row_limits = limits + static_cast<size_t>(y / side) * bw;
        for (int32_t bx = 0; bx < bw; ++bx) {
            const int32_t limit = row_limits[bx], end = std::min(width, (bx + 1) * side);
            if (lighter) {
                for (int32_t x = bx * side; x < end; ++x) out[x] = in[x] > limit ? 64 : 0;
            } else {
                for (int32_t x = bx * side; x < end; ++x) out[x] = in[x] + 1 <= limit ? 64 : 0;
            }
        }
    }
    heap_free(limits);
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
