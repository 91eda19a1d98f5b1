// The decoder's heap: nothing stays in use after a call, what is kept for the
// next call never exceeds the largest call's peak, and decoder_release_memory
// empties it.
#include <gtest/gtest.h>

#include <algorithm>

#include "decoder.h"
#include "renderer.h"
#include "vorden.h"

using namespace vorden;

namespace {

test::Image frame(int width, int height) {
    return test::render(test::encode(test::Mode::Byte, "warm blocks"),
                        {.module_px = 3, .canvas_width = width, .canvas_height = height});
}

}  // namespace

TEST(Heap, KeepsNoMoreThanTheLargestCallsPeakUntilReleased) {
    decoder_release_memory();
    std::vector<uint8_t> noise(320 * 240);
    for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<uint8_t>((i * 2654435761u) >> 24);
    size_t largest_peak = 0;
    for (const test::Image& image : {frame(1280, 960), frame(640, 480), frame(200, 150),
                                     test::Image{320, 240, noise}, frame(1280, 960)}) {
        heap_reset_peak();
        decode_symbol(image.pixels.data(), image.width, image.height, 8, nullptr);
        const HeapFigures f = heap_figures();
        largest_peak = std::max(largest_peak, f.peak);
        EXPECT_GE(f.peak, image.pixels.size());  // the binary image at least
        EXPECT_EQ(f.in_use, 0u);
        EXPECT_EQ(f.held, 0u);
        EXPECT_GT(f.kept, 0u);
        EXPECT_LE(f.kept, largest_peak);
    }
    decoder_release_memory();
    EXPECT_EQ(heap_figures().kept, 0u);
    const test::Image again = frame(640, 480);
    EXPECT_STREQ(decode_symbol(again.pixels.data(), again.width, again.height, 8, nullptr), "warm blocks");
}
