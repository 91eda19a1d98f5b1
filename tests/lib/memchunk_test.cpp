// The chunk pool: growth by doubling, order kept, clearing, failure.
#include <gtest/gtest.h>

#include <cstdint>

#include "decoder.h"

using namespace vorden;

namespace {

struct Record {
    int32_t a, b, c;
};

Record* records(MemChunk& pool) {
    return reinterpret_cast<Record*>(pool.data);
}

}  // namespace

TEST(MemChunk, GrowsByDoublingAndKeepsRecords) {
    MemChunk pool;
    memchunk_init(&pool, sizeof(Record));
    EXPECT_EQ(pool.data, nullptr);
    EXPECT_EQ(pool.capacity, 0);
    for (int32_t i = 0; i < 128; ++i) {
        const Record r{i, -i, 7};
        ASSERT_EQ(memchunk_add(&pool, &r), -1);
    }
    EXPECT_EQ(pool.capacity, 128);  // the 128th still fits the first block
    const Record r{128, -128, 7};
    ASSERT_EQ(memchunk_add(&pool, &r), -1);
    EXPECT_EQ(pool.capacity, 256);
    EXPECT_EQ(pool.count, 129);
    for (int32_t i = 0; i <= 128; ++i) {
        EXPECT_EQ(records(pool)[i].a, i);
        EXPECT_EQ(records(pool)[i].b, -i);
    }
    for (int32_t i = 129; i < 600; ++i) {
        const Record more{i, 0, 0};
        ASSERT_EQ(memchunk_add(&pool, &more), -1);
    }
    EXPECT_EQ(pool.capacity, 1024);
    EXPECT_EQ(records(pool)[599].a, 599);
    memchunk_free(&pool);
    EXPECT_EQ(pool.data, nullptr);
    EXPECT_EQ(pool.count, 0);
    EXPECT_EQ(pool.capacity, 0);
}

TEST(MemChunk, ClearKeepsStorageAndFreeIsHarmlessWhenEmpty) {
    MemChunk pool;
    memchunk_init(&pool, sizeof(Record));
    memchunk_free(&pool);  // never received a record
    EXPECT_EQ(pool.capacity, 0);
    const Record r{1, 2, 3};
    memchunk_add(&pool, &r);
    memchunk_add(&pool, &r);
    uint8_t* storage = pool.data;
    memchunk_clear(&pool);
    EXPECT_EQ(pool.count, 0);
    const Record s{9, 9, 9};
    ASSERT_EQ(memchunk_add(&pool, &s), -1);
    EXPECT_EQ(pool.data, storage);  // slot 0 reused, no new block
    EXPECT_EQ(records(pool)[0].a, 9);
    memchunk_free(&pool);
}

TEST(MemChunk, FailedAllocationLeavesAnEmptyPoolThatCanStartAgain) {
    // Records too large for any heap: the first block cannot be had.
    MemChunk pool;
    memchunk_init(&pool, 1 << 30);
    static const uint8_t byte = 0;
    EXPECT_EQ(memchunk_add(&pool, &byte), 0);
    EXPECT_EQ(pool.data, nullptr);
    EXPECT_EQ(pool.count, 0);
    EXPECT_EQ(pool.capacity, 0);
    memchunk_init(&pool, sizeof(Record));
    const Record r{5, 6, 7};
    EXPECT_EQ(memchunk_add(&pool, &r), -1);
    EXPECT_EQ(pool.capacity, 128);
    memchunk_free(&pool);
}
