// Drawing helpers for the generated images: a deterministic die, blank
// canvases, rectangles, per-pixel patterns and finder-like squares.
#ifndef VORDEN_BENCH_DRAW_H
#define VORDEN_BENCH_DRAW_H

#include <algorithm>
#include <cstdint>

#include "image_input.h"

namespace vorden::bench {

using tools::GreyImage;

// splitmix64, so that every generated image is the same on every run and
// machine.
struct Dice {
    uint64_t state;
    explicit Dice(uint64_t seed) : state(seed) {}
    uint32_t next(uint32_t bound) {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return static_cast<uint32_t>((z ^ (z >> 31)) % bound);
    }
};

inline GreyImage blank(int width, int height, uint8_t level) {
    GreyImage g;
    g.width = width;
    g.height = height;
    g.pixels.assign(static_cast<size_t>(width) * height, level);
    return g;
}

// Clipped to the image.
inline void fill(GreyImage& image, int x0, int y0, int w, int h, uint8_t level) {
    for (int y = std::max(y0, 0); y < std::min(y0 + h, image.height); ++y)
        for (int x = std::max(x0, 0); x < std::min(x0 + w, image.width); ++x)
            image.pixels[static_cast<size_t>(y) * image.width + x] = level;
}

template <typename F>
GreyImage drawn(int width, int height, F pixel) {
    GreyImage g = blank(width, height, 0);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) g.pixels[static_cast<size_t>(y) * width + x] = pixel(x, y);
    return g;
}

// A finder pattern (ISO/IEC 18004 6.3.3: dark 7x7, light 5x5, dark 3x3
// modules) of `module` pixels a module, its top left corner at (x, y).
inline void finder(GreyImage& image, int x, int y, int module) {
    fill(image, x, y, 7 * module, 7 * module, 0);
    fill(image, x + module, y + module, 5 * module, 5 * module, 255);
    fill(image, x + 2 * module, y + 2 * module, 3 * module, 3 * module, 0);
}

}  // namespace vorden::bench

#endif
