// The chunk pool when its storage cannot be had.
#include <gtest/gtest.h>

#include "decoder.h"

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
