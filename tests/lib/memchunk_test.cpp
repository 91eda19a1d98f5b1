// The chunk pool: growth keeping order, clearing, failure.
#include <gtest/gtest.h>

#include "decoder.h"

using namespace vorden;

TEST(MemChunk, GrowsKeepingRecordsAndClearingKeepsStorage) {
    MemChunk pool;
    memchunk_init(&pool, sizeof(int32_t));
    memchunk_free(&pool);  // never received a record
    for (int32_t i = 0; i < 600; ++i) {
        ASSERT_EQ(memchunk_add(&pool, &i), -1);
    }
    EXPECT_EQ(pool.count, 600);
    for (int32_t i = 0; i < 600; ++i) ASSERT_EQ(reinterpret_cast<int32_t*>(pool.data)[i], i);
    uint8_t* storage = pool.data;
    memchunk_clear(&pool);
    const int32_t again = 9;
    ASSERT_EQ(memchunk_add(&pool, &again), -1);
    EXPECT_EQ(pool.data, storage);  // slot 0 reused, no new block
    EXPECT_EQ(pool.count, 1);
    memchunk_free(&pool);
    EXPECT_EQ(pool.data, nullptr);
    EXPECT_EQ(pool.count, 0);
    EXPECT_EQ(pool.capacity, 0);
}

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
