// Reed-Solomon correction of arbitrary blocks of the block table's shapes:
// 1 byte version, 1 byte level row, 1 byte group, then the block's bytes.
// A successful call must leave a code word changed in at most capacity places.
#include <cstring>
#include <vector>

#include "decoder.h"
#include "fuzz_input.h"

namespace {

uint8_t syndrome(const std::vector<uint8_t>& block, int i) {
    using namespace vorden;
    uint8_t sum = 0;
    const int n = static_cast<int>(block.size());
    for (int p = 0; p < n; ++p) {
        if (block[p] != 0) sum ^= gf_exp[(gf_logarithm(block[p]) + (n - 1 - p) * i) % 255];
    }
    return sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vorden;
    FuzzInput in{data, size};
    const int version = 1 + in.byte() % 40;
    const int row = in.byte() % 4;
    int group = in.byte() % 2;
    if (ec_block_table[version][row][group][0] == 0) group = 0;
    const int32_t* shape = ec_block_table[version][row][group];
    const int length = shape[1];
    const int capacity = shape[3];
    std::vector<uint8_t> block(length, 0);
    std::memcpy(block.data(), in.rest(), in.rest_size() < block.size() ? in.rest_size() : block.size());
    const std::vector<uint8_t> before = block;
    if (rs_decode(block.data(), length, capacity)) {
        int changed = 0;
        for (int i = 0; i < length; ++i) changed += block[i] != before[i];
        if (changed > capacity) __builtin_trap();
        for (int i = 0; i < 2 * capacity; ++i) {
            if (syndrome(block, i) != 0) __builtin_trap();
        }
    } else if (block != before) {
        __builtin_trap();
    }
    return 0;
}
