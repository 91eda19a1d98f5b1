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
//
// Every condition repeats every 12 rows (i div 2 mod 2 has period 4, the
// others 2, 3 or 6) and every 6 columns, so the pattern is worked out once
// for 12 rows as wide as the symbol and then applied row by row, without a
// test per module.
void remove_data_mask() {
    DecoderState& s = decoder_state;
    const int32_t pattern = s.mask_pattern;
    if (pattern < 0 || pattern > 7) return;
    constexpr int32_t kRowPeriod = 12;
    const int32_t size = s.symbol_size;
    uint8_t rows[kRowPeriod][177];
    for (int32_t i = 0; i < kRowPeriod && i < size; ++i) {
        for (int32_t j = 0; j < 6; ++j) rows[i][j] = masked(pattern, i, j) ? 0x40 : 0;
        for (int32_t j = 6; j < size; ++j) rows[i][j] = rows[i][j - 6];
    }
    for (int32_t i = 0; i < size; ++i) {
        const uint8_t* flips = rows[i % kRowPeriod];
        uint8_t* modules = s.module_matrix + i * size;
        for (int32_t j = 0; j < size; ++j) modules[j] ^= flips[j];
    }
}

}  // namespace vorden
