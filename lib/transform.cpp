// Image transforms for the thorough reader: a local threshold, a doubled
// image and a light-on-dark swap. Binary images use the stages' values:
// 64 dark, 0 light.
#include <algorithm>
#include <cstring>

#include "decoder.h"

namespace vorden {

// ---------------------------------------------------------------------------
// Local threshold: a pixel is dark when it is darker than the mean of the
// square around it. One global threshold loses symbols under a lighting
// gradient or beside a dark border; the local mean follows both.

namespace {

// Half the side of the averaging square: about a sixteenth of the image,
// enough to span several modules of any symbol that fills a useful part of
// it, and never so small that a module's own interior decides.
int32_t window_radius(int32_t width, int32_t height) {
    return std::clamp(std::min(width, height) / 16, 8, 64);
}

}  // namespace

bool local_threshold(const uint8_t* image, int32_t width, int32_t height, uint8_t* binary) {
    const int32_t r = window_radius(width, height);
    // Sums over 2r + 1 rows of each column; a window of them stays below
    // 255 * 129 * 129, well inside 32 bits.
    auto* columns = static_cast<uint32_t*>(heap_alloc(sizeof(uint32_t) * static_cast<size_t>(width)));
    if (columns == nullptr) return false;
    std::memset(columns, 0, sizeof(uint32_t) * static_cast<size_t>(width));
    const auto row = [&](int32_t y) { return image + static_cast<size_t>(y) * width; };
    for (int32_t y = 0; y < std::min(r, height); ++y)
        for (int32_t x = 0; x < width; ++x) columns[x] += row(y)[x];
    for (int32_t y = 0; y < height; ++y) {
        // The rows y - r .. y + r that lie in the image.
        if (y + r < height)
            for (int32_t x = 0; x < width; ++x) columns[x] += row(y + r)[x];
        if (y - r - 1 >= 0)
            for (int32_t x = 0; x < width; ++x) columns[x] -= row(y - r - 1)[x];
        const uint32_t rows = static_cast<uint32_t>(std::min(y + r, height - 1) - std::max(y - r, 0) + 1);
        uint32_t sum = 0;
        for (int32_t x = 0; x < std::min(r, width); ++x) sum += columns[x];
        const uint8_t* in = row(y);
        uint8_t* out = binary + static_cast<size_t>(y) * width;
        for (int32_t x = 0; x < width; ++x) {
            if (x + r < width) sum += columns[x + r];
            if (x - r - 1 >= 0) sum -= columns[x - r - 1];
            const uint32_t count =
                rows * static_cast<uint32_t>(std::min(x + r, width - 1) - std::max(x - r, 0) + 1);
            // Darker than the mean by more than one level: flat areas keep
            // most of their pixels light instead of turning to noise.
            out[x] = (static_cast<uint32_t>(in[x]) + 1) * count < sum ? 64 : 0;
        }
    }
    heap_free(columns);
    return true;
}

void invert_binary(uint8_t* binary, size_t pixels) {
    for (size_t i = 0; i < pixels; ++i) binary[i] ^= 64;
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
