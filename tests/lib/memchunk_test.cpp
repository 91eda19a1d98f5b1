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

TEST(MemChunk, GrowsByDoublingKeepsRecordsAndClearingKeepsStorage) {
    MemChunk pool;
    memchunk_init(&pool, sizeof(Record));
    memchunk_free(&pool);  // never received a record
    for (int32_t i = 0; i < 600; ++i) {
        const Record r{i, -i, 7};
        ASSERT_EQ(memchunk_add(&pool, &r), -1);
        if (i == 127 || i == 128) {
            EXPECT_EQ(pool.capacity, i == 127 ? 128 : 256);  // the 128th still fits the first block
        }
    }
    EXPECT_EQ(pool.capacity, 1024);
    EXPECT_EQ(pool.count, 600);
    for (int32_t i = 0; i < 600; ++i) ASSERT_EQ(records(pool)[i].b, -i);
    uint8_t* storage = pool.data;
    memchunk_clear(&pool);
    const Record s{9, 9, 9};
    ASSERT_EQ(memchunk_add(&pool, &s), -1);
    EXPECT_EQ(pool.data, storage);  // slot 0 reused, no new block
    EXPECT_EQ(pool.count, 1);
    memchunk_free(&pool);
    EXPECT_EQ(pool.data, nullptr);
    EXPECT_EQ(pool.count, 0);
    EXPECT_EQ(pool.capacity, 0);
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
    EXPECT_EQ(records(pool)[0].c, 7);
    memchunk_free(&pool);
}
