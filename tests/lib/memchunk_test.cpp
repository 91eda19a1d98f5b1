// The decoder's memory: the chunk pool when its storage cannot be had, and
// the heap, from which nothing stays in use after a call, what is kept for the
// next call never exceeding the largest call's peak.
#include <gtest/gtest.h>

#include <algorithm>

#include "decoder.h"
#include "renderer.h"
#include "vorden.h"

using namespace vorden;

TEST(MemChunk, FailedAllocationOrOverflowLeavesAnEmptyPoolThatCanStartAgain) {
    // Records too large for any heap: neither the first block nor a doubled
    // one can be had, and a failed growth releases the old block.
    static const uint8_t byte = 0;
    MemChunk first{nullptr, 1 << 30, 0, 0};
    MemChunk grown{static_cast<uint8_t*>(heap_alloc(1)), 1 << 30, 128, 128};
    // A capacity that cannot double within int32_t.
    MemChunk full{static_cast<uint8_t*>(heap_alloc(1)), 1, 1 << 30, 1 << 30};
    for (MemChunk* pool : {&first, &grown, &full}) {
        EXPECT_EQ(memchunk_add(pool, &byte), 0);
        EXPECT_EQ(pool->data, nullptr);
        EXPECT_EQ(pool->count, 0);
        EXPECT_EQ(pool->capacity, 0);
        pool->element_size = 1;
        EXPECT_EQ(memchunk_add(pool, &byte), -1);
        EXPECT_EQ(pool->count, 1);
        memchunk_free(pool);
    }
}

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
