// Chunk pool: growable arrays of fixed-size records in one heap block, so the
// scan loops append cheaply and users index the records as a plain array.
#include <cstdlib>
#include <cstring>

#include "decoder.h"

namespace vorden {

namespace {
constexpr int32_t kFirstCapacity = 128;
}

void memchunk_init(MemChunk* pool, int32_t element_size) {
    pool->data = nullptr;
    pool->element_size = element_size;
    pool->count = 0;
    pool->capacity = 0;
}

void memchunk_free(MemChunk* pool) {
    heap_free(pool->data);
    pool->data = nullptr;
    pool->count = 0;
    pool->capacity = 0;
}

void memchunk_clear(MemChunk* pool) {
    pool->count = 0;
}

void* memchunk_realloc(void* block, size_t bytes) {
    void* grown = heap_realloc(block, bytes);
    if (grown == nullptr) heap_free(block);
    return grown;
}

int32_t memchunk_add(MemChunk* pool, const void* record) {
    const size_t size = static_cast<size_t>(pool->element_size);
    if (pool->count < pool->capacity) {
        uint8_t* slot = pool->data + static_cast<size_t>(pool->count) * size;
        // Scan hits are most of what is ever added, often hundreds of
        // thousands a pass: a copy of known size is a few moves, not a call.
        if (size == sizeof(ScanHit)) {
            std::memcpy(slot, record, sizeof(ScanHit));
        } else {
            std::memcpy(slot, record, size);
        }
        ++pool->count;
        return -1;
    }
    if (pool->capacity == 0) {
        pool->data = static_cast<uint8_t*>(heap_alloc(kFirstCapacity * size));
        if (pool->data == nullptr) {
            pool->count = 0;
            return 0;
        }
        pool->capacity = kFirstCapacity;
        std::memcpy(pool->data, record, size);
        pool->count = 1;
        return -1;
    }
    // A failed growth loses every record: the old block is released with it.
    if (pool->capacity > INT32_MAX / 2) {
        memchunk_free(pool);
        return 0;
    }
    const int32_t capacity = pool->capacity * 2;
    pool->data = static_cast<uint8_t*>(memchunk_realloc(pool->data, static_cast<size_t>(capacity) * size));
    if (pool->data == nullptr) {
        pool->count = 0;
        pool->capacity = 0;
        return 0;
    }
    pool->capacity = capacity;
    std::memcpy(pool->data + static_cast<size_t>(pool->count) * size, record, size);
    ++pool->count;
    return -1;
}

}  // namespace vorden
