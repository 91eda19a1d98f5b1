// The process heap as the decoder uses it: blocks that stay committed once
// freed, so that the next call finds its image, run tables and arrays
// already faulted in. The C library hands large freed blocks back to the
// system, and every call would then pay for page faults and zeroing again.
//
// Freed blocks are kept for reuse while everything kept and in use together
// stays within the most the decoder has ever asked for at once, so what
// stays between calls is at most the largest call's peak.
// decoder_release_memory() hands it all back.
#include <cstdlib>
#include <cstring>

#include "decoder.h"

namespace vorden {

namespace {

// Each block starts with a header that records its usable size and the size
// last asked of it; the header keeps the block's own alignment that of malloc.
struct alignas(16) Header {
    size_t capacity;
    size_t asked;
};

constexpr int32_t kKept = 32;

struct Heap {
    Header* kept[kKept];
    int32_t kept_count;
    size_t kept_bytes;   // capacities of the kept blocks
    size_t held_bytes;   // capacities of the blocks in use
    size_t asked_bytes;  // sizes asked of the blocks in use
    size_t asked_most;   // the most asked_bytes has ever been
    size_t asked_peak;   // the same since heap_reset_peak
    size_t refused;      // allocations that found no room
} heap;

Header* header_of(void* block) {
    return static_cast<Header*>(block) - 1;
}

void note_asked(size_t before, size_t now) {
    heap.asked_bytes = heap.asked_bytes - before + now;
    if (heap.asked_bytes > heap.asked_most) heap.asked_most = heap.asked_bytes;
    if (heap.asked_bytes > heap.asked_peak) heap.asked_peak = heap.asked_bytes;
}

int32_t smallest_kept() {
    int32_t smallest = 0;
    for (int32_t k = 1; k < heap.kept_count; ++k) {
        if (heap.kept[k]->capacity < heap.kept[smallest]->capacity) smallest = k;
    }
    return smallest;
}

// Takes kept block k out of the list.
Header* take(int32_t k) {
    Header* h = heap.kept[k];
    heap.kept_bytes -= h->capacity;
    heap.kept[k] = heap.kept[--heap.kept_count];
    return h;
}

// Hands the smallest kept blocks back until `extra` more bytes held would
// stay within `bound`.
void trim(size_t extra, size_t bound) {
    while (heap.kept_count > 0 && heap.held_bytes + heap.kept_bytes + extra > bound) {
        std::free(take(smallest_kept()));
    }
}

// The smallest kept block that holds `bytes`, or -1.
int32_t best_fit(size_t bytes) {
    int32_t best = -1;
    for (int32_t k = 0; k < heap.kept_count; ++k) {
        const size_t capacity = heap.kept[k]->capacity;
        if (capacity >= bytes && (best < 0 || capacity < heap.kept[best]->capacity)) best = k;
    }
    return best;
}

}  // namespace

void* heap_alloc(size_t bytes) {
    if (bytes > SIZE_MAX / 4) {  // no heap has room for it
        ++heap.refused;
        return nullptr;
    }
    if (bytes == 0) bytes = 1;
    const int32_t fit = best_fit(bytes);
    Header* h = nullptr;
    if (fit >= 0) {
        h = take(fit);
    } else {
        // Every kept block is too small for this one: the smallest make
        // room for it first.
        const size_t asked = heap.asked_bytes + bytes;
        trim(bytes, asked > heap.asked_most ? asked : heap.asked_most);
        h = static_cast<Header*>(std::malloc(sizeof(Header) + bytes));
        if (h == nullptr) {
            ++heap.refused;
            return nullptr;
        }
        h->capacity = bytes;
    }
    note_asked(0, bytes);
    h->asked = bytes;
    heap.held_bytes += h->capacity;
    return h + 1;
}

void heap_free(void* block) {
    if (block == nullptr) return;
    Header* h = header_of(block);
    heap.held_bytes -= h->capacity;
    note_asked(h->asked, 0);
    if (heap.kept_count == kKept) {
        if (heap.kept[smallest_kept()]->capacity >= h->capacity) {
            std::free(h);
            return;
        }
        std::free(take(smallest_kept()));
    }
    heap.kept[heap.kept_count++] = h;
    heap.kept_bytes += h->capacity;
    trim(0, heap.asked_most);
}

// Like realloc: on failure the block stays as it was.
void* heap_realloc(void* block, size_t bytes) {
    if (block == nullptr) return heap_alloc(bytes);
    Header* h = header_of(block);
    if (bytes > 0 && bytes <= h->capacity && bytes <= SIZE_MAX / 4) {
        note_asked(h->asked, bytes);
        h->asked = bytes;
        return block;
    }
    void* grown = heap_alloc(bytes);
    if (grown == nullptr) return nullptr;
    std::memcpy(grown, block, h->asked < bytes ? h->asked : bytes);
    heap_free(block);
    return grown;
}

// What is kept from here on is bounded by the calls that follow.
void heap_release() {
    while (heap.kept_count > 0) std::free(take(heap.kept_count - 1));
    heap.asked_most = heap.asked_bytes;
}

HeapFigures heap_figures() {
    return HeapFigures{heap.asked_bytes, heap.asked_peak, heap.asked_most,
                       heap.held_bytes,  heap.kept_bytes, heap.refused};
}

void heap_reset_peak() {
    heap.asked_peak = heap.asked_bytes;
}

}  // namespace vorden

extern "C" void decoder_release_memory(void) {
    vorden::heap_release();
}
