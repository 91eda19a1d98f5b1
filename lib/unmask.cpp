// Data mask removal: the eight mask patterns of ISO/IEC 18004 7.8.2
// (Table 10), i the row and j the column.
#include "decoder.h"

namespace vorden {

namespace {

bool masked(int32_t pattern, int32_t i, int32_t j) {
    switch (pattern) {
        case 0:
            return (i + j) % 2 == 0;
        case 1:
            return i % 2 == 0;
        case 2:
            return j % 3 == 0;
        case 3:
            return (i + j) % 3 == 0;
        case 4:
            return (i / 2 + j / 3) % 2 == 0;
        case 5:
            return (i * j) % 2 + (i * j) % 3 == 0;
        case 6:
            return ((i * j) % 2 + (i * j) % 3) % 2 == 0;
        case 7:
            return ((i * j) % 3 + (i + j) % 2) % 2 == 0;
        default:
            return false;
    }
}

}  // namespace

// Every module is tested, function patterns included: the format has been
// read already and codeword placement skips the function modules.
void remove_data_mask() {
    DecoderState& s = decoder_state;
    const int32_t pattern = s.mask_pattern;
    if (pattern < 0 || pattern > 7) return;
    const int32_t size = s.symbol_size;
    for (int32_t i = 0; i < size; ++i) {
        for (int32_t j = 0; j < size; ++j) {
            if (masked(pattern, i, j)) s.module_matrix[j + i * size] ^= 0x40;
        }
    }
}

}  // namespace vorden
