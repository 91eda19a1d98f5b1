// The camera's reduction.
#include "reduce.h"

#include <algorithm>
#include <cstddef>

namespace vorden::tools {

int32_t reduction_factor(int64_t width, int64_t height) {
    if (width < 1280 && height < 1280) return 1;
    return static_cast<int32_t>(std::max(width / 640, height / 640));
}

void reduce_by_blocks(const uint8_t* pixels, int32_t width, int32_t height, int32_t f, uint8_t* out) {
    const int32_t reduced_width = (width + f - 1) / f;
    for (int32_t y = 0; y < height; y += f) {
        const int32_t bottom = std::min(y + f, height);
        for (int32_t x = 0; x < width; x += f) {
            const int32_t right = std::min(x + f, width);
            uint64_t sum = 0;
            for (int32_t v = y; v < bottom; ++v) {
                const uint8_t* row = pixels + static_cast<size_t>(v) * static_cast<size_t>(width);
                for (int32_t u = x; u < right; ++u) sum += row[u];
            }
            const auto count = static_cast<uint64_t>(bottom - y) * static_cast<uint64_t>(right - x);
            out[static_cast<size_t>(y / f) * static_cast<size_t>(reduced_width) +
                static_cast<size_t>(x / f)] = static_cast<uint8_t>(sum / count);
        }
    }
}

}  // namespace vorden::tools
