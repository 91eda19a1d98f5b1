// Codeword placement (ISO/IEC 18004 7.7.3) and block de-interleaving
// (7.6): the data modules are read in two-column strips into codewords, which
// are split into their Reed-Solomon blocks and corrected.
#include <cstring>

#include "decoder.h"

namespace vorden {

// Error correction characteristics (ISO/IEC 18004 Table 9) by version and by
// level row L, M, Q, H: per group {blocks, codewords, data codewords,
// correctable errors}. The capacity is the standard's, which keeps back
// misdecode-protection codewords for version 1 and for versions 2 and 3 at L.
const int32_t ec_block_table[41][4][2][4] = {
    {},  // version 0 is no symbol
    {{{1, 26, 19, 2}, {0, 0, 0, 0}},
     {{1, 26, 16, 4}, {0, 0, 0, 0}},
     {{1, 26, 13, 6}, {0, 0, 0, 0}},
     {{1, 26, 9, 8}, {0, 0, 0, 0}}},  // 1
    {{{1, 44, 34, 4}, {0, 0, 0, 0}},
     {{1, 44, 28, 8}, {0, 0, 0, 0}},
     {{1, 44, 22, 11}, {0, 0, 0, 0}},
     {{1, 44, 16, 14}, {0, 0, 0, 0}}},  // 2
    {{{1, 70, 55, 7}, {0, 0, 0, 0}},
     {{1, 70, 44, 13}, {0, 0, 0, 0}},
     {{2, 35, 17, 9}, {0, 0, 0, 0}},
     {{2, 35, 13, 11}, {0, 0, 0, 0}}},  // 3
    {{{1, 100, 80, 10}, {0, 0, 0, 0}},
     {{2, 50, 32, 9}, {0, 0, 0, 0}},
     {{2, 50, 24, 13}, {0, 0, 0, 0}},
     {{4, 25, 9, 8}, {0, 0, 0, 0}}},  // 4
    {{{1, 134, 108, 13}, {0, 0, 0, 0}},
     {{2, 67, 43, 12}, {0, 0, 0, 0}},
     {{2, 33, 15, 9}, {2, 34, 16, 9}},
     {{2, 33, 11, 11}, {2, 34, 12, 11}}},  // 5
    {{{2, 86, 68, 9}, {0, 0, 0, 0}},
     {{4, 43, 27, 8}, {0, 0, 0, 0}},
     {{4, 43, 19, 12}, {0, 0, 0, 0}},
     {{4, 43, 15, 14}, {0, 0, 0, 0}}},  // 6
    {{{2, 98, 78, 10}, {0, 0, 0, 0}},
     {{4, 49, 31, 9}, {0, 0, 0, 0}},
     {{2, 32, 14, 9}, {4, 33, 15, 9}},
     {{4, 39, 13, 13}, {1, 40, 14, 13}}},  // 7
    {{{2, 121, 97, 12}, {0, 0, 0, 0}},
     {{2, 60, 38, 11}, {2, 61, 39, 11}},
     {{4, 40, 18, 11}, {2, 41, 19, 11}},
     {{4, 40, 14, 13}, {2, 41, 15, 13}}},  // 8
    {{{2, 146, 116, 15}, {0, 0, 0, 0}},
     {{3, 58, 36, 11}, {2, 59, 37, 11}},
     {{4, 36, 16, 10}, {4, 37, 17, 10}},
     {{4, 36, 12, 12}, {4, 37, 13, 12}}},  // 9
    {{{2, 86, 68, 9}, {2, 87, 69, 9}},
     {{4, 69, 43, 13}, {1, 70, 44, 13}},
     {{6, 43, 19, 12}, {2, 44, 20, 12}},
     {{6, 43, 15, 14}, {2, 44, 16, 14}}},  // 10
    {{{4, 101, 81, 10}, {0, 0, 0, 0}},
     {{1, 80, 50, 15}, {4, 81, 51, 15}},
     {{4, 50, 22, 14}, {4, 51, 23, 14}},
     {{3, 36, 12, 12}, {8, 37, 13, 12}}},  // 11
    {{{2, 116, 92, 12}, {2, 117, 93, 12}},
     {{6, 58, 36, 11}, {2, 59, 37, 11}},
     {{4, 46, 20, 13}, {6, 47, 21, 13}},
     {{7, 42, 14, 14}, {4, 43, 15, 14}}},  // 12
    {{{4, 133, 107, 13}, {0, 0, 0, 0}},
     {{8, 59, 37, 11}, {1, 60, 38, 11}},
     {{8, 44, 20, 12}, {4, 45, 21, 12}},
     {{12, 33, 11, 11}, {4, 34, 12, 11}}},  // 13
    {{{3, 145, 115, 15}, {1, 146, 116, 15}},
     {{4, 64, 40, 12}, {5, 65, 41, 12}},
     {{11, 36, 16, 10}, {5, 37, 17, 10}},
     {{11, 36, 12, 12}, {5, 37, 13, 12}}},  // 14
    {{{5, 109, 87, 11}, {1, 110, 88, 11}},
     {{5, 65, 41, 12}, {5, 66, 42, 12}},
     {{5, 54, 24, 15}, {7, 55, 25, 15}},
     {{11, 36, 12, 12}, {7, 37, 13, 12}}},  // 15
    {{{5, 122, 98, 12}, {1, 123, 99, 12}},
     {{7, 73, 45, 14}, {3, 74, 46, 14}},
     {{15, 43, 19, 12}, {2, 44, 20, 12}},
     {{3, 45, 15, 15}, {13, 46, 16, 15}}},  // 16
    {{{1, 135, 107, 14}, {5, 136, 108, 14}},
     {{10, 74, 46, 14}, {1, 75, 47, 14}},
     {{1, 50, 22, 14}, {15, 51, 23, 14}},
     {{2, 42, 14, 14}, {17, 43, 15, 14}}},  // 17
    {{{5, 150, 120, 15}, {1, 151, 121, 15}},
     {{9, 69, 43, 13}, {4, 70, 44, 13}},
     {{17, 50, 22, 14}, {1, 51, 23, 14}},
     {{2, 42, 14, 14}, {19, 43, 15, 14}}},  // 18
    {{{3, 141, 113, 14}, {4, 142, 114, 14}},
     {{3, 70, 44, 13}, {11, 71, 45, 13}},
     {{17, 47, 21, 13}, {4, 48, 22, 13}},
     {{9, 39, 13, 13}, {16, 40, 14, 13}}},  // 19
    {{{3, 135, 107, 14}, {5, 136, 108, 14}},
     {{3, 67, 41, 13}, {13, 68, 42, 13}},
     {{15, 54, 24, 15}, {5, 55, 25, 15}},
     {{15, 43, 15, 14}, {10, 44, 16, 14}}},  // 20
    {{{4, 144, 116, 14}, {4, 145, 117, 14}},
     {{17, 68, 42, 13}, {0, 0, 0, 0}},
     {{17, 50, 22, 14}, {6, 51, 23, 14}},
     {{19, 46, 16, 15}, {6, 47, 17, 15}}},  // 21
    {{{2, 139, 111, 14}, {7, 140, 112, 14}},
     {{17, 74, 46, 14}, {0, 0, 0, 0}},
     {{7, 54, 24, 15}, {16, 55, 25, 15}},
     {{34, 37, 13, 12}, {0, 0, 0, 0}}},  // 22
    {{{4, 151, 121, 15}, {5, 152, 122, 15}},
     {{4, 75, 47, 14}, {14, 76, 48, 14}},
     {{11, 54, 24, 15}, {14, 55, 25, 15}},
     {{16, 45, 15, 15}, {14, 46, 16, 15}}},  // 23
    {{{6, 147, 117, 15}, {4, 148, 118, 15}},
     {{6, 73, 45, 14}, {14, 74, 46, 14}},
     {{11, 54, 24, 15}, {16, 55, 25, 15}},
     {{30, 46, 16, 15}, {2, 47, 17, 15}}},  // 24
    {{{8, 132, 106, 13}, {4, 133, 107, 13}},
     {{8, 75, 47, 14}, {13, 76, 48, 14}},
     {{7, 54, 24, 15}, {22, 55, 25, 15}},
     {{22, 45, 15, 15}, {13, 46, 16, 15}}},  // 25
    {{{10, 142, 114, 14}, {2, 143, 115, 14}},
     {{19, 74, 46, 14}, {4, 75, 47, 14}},
     {{28, 50, 22, 14}, {6, 51, 23, 14}},
     {{33, 46, 16, 15}, {4, 47, 17, 15}}},  // 26
    {{{8, 152, 122, 15}, {4, 153, 123, 15}},
     {{22, 73, 45, 14}, {3, 74, 46, 14}},
     {{8, 53, 23, 15}, {26, 54, 24, 15}},
     {{12, 45, 15, 15}, {28, 46, 16, 15}}},  // 27
    {{{3, 147, 117, 15}, {10, 148, 118, 15}},
     {{3, 73, 45, 14}, {23, 74, 46, 14}},
     {{4, 54, 24, 15}, {31, 55, 25, 15}},
     {{11, 45, 15, 15}, {31, 46, 16, 15}}},  // 28
    {{{7, 146, 116, 15}, {7, 147, 117, 15}},
     {{21, 73, 45, 14}, {7, 74, 46, 14}},
     {{1, 53, 23, 15}, {37, 54, 24, 15}},
     {{19, 45, 15, 15}, {26, 46, 16, 15}}},  // 29
    {{{5, 145, 115, 15}, {10, 146, 116, 15}},
     {{19, 75, 47, 14}, {10, 76, 48, 14}},
     {{15, 54, 24, 15}, {25, 55, 25, 15}},
     {{23, 45, 15, 15}, {25, 46, 16, 15}}},  // 30
    {{{13, 145, 115, 15}, {3, 146, 116, 15}},
     {{2, 74, 46, 14}, {29, 75, 47, 14}},
     {{42, 54, 24, 15}, {1, 55, 25, 15}},
     {{23, 45, 15, 15}, {28, 46, 16, 15}}},  // 31
    {{{17, 145, 115, 15}, {0, 0, 0, 0}},
     {{10, 74, 46, 14}, {23, 75, 47, 14}},
     {{10, 54, 24, 15}, {35, 55, 25, 15}},
     {{19, 45, 15, 15}, {35, 46, 16, 15}}},  // 32
    {{{17, 145, 115, 15}, {1, 146, 116, 15}},
     {{14, 74, 46, 14}, {21, 75, 47, 14}},
     {{29, 54, 24, 15}, {19, 55, 25, 15}},
     {{11, 45, 15, 15}, {46, 46, 16, 15}}},  // 33
    {{{13, 145, 115, 15}, {6, 146, 116, 15}},
     {{14, 74, 46, 14}, {23, 75, 47, 14}},
     {{44, 54, 24, 15}, {7, 55, 25, 15}},
     {{59, 46, 16, 15}, {1, 47, 17, 15}}},  // 34
    {{{12, 151, 121, 15}, {7, 152, 122, 15}},
     {{12, 75, 47, 14}, {26, 76, 48, 14}},
     {{39, 54, 24, 15}, {14, 55, 25, 15}},
     {{22, 45, 15, 15}, {41, 46, 16, 15}}},  // 35
    {{{6, 151, 121, 15}, {14, 152, 122, 15}},
     {{6, 75, 47, 14}, {34, 76, 48, 14}},
     {{46, 54, 24, 15}, {10, 55, 25, 15}},
     {{2, 45, 15, 15}, {64, 46, 16, 15}}},  // 36
    {{{17, 152, 122, 15}, {4, 153, 123, 15}},
     {{29, 74, 46, 14}, {14, 75, 47, 14}},
     {{49, 54, 24, 15}, {10, 55, 25, 15}},
     {{24, 45, 15, 15}, {46, 46, 16, 15}}},  // 37
    {{{4, 152, 122, 15}, {18, 153, 123, 15}},
     {{13, 74, 46, 14}, {32, 75, 47, 14}},
     {{48, 54, 24, 15}, {14, 55, 25, 15}},
     {{42, 45, 15, 15}, {32, 46, 16, 15}}},  // 38
    {{{20, 147, 117, 15}, {4, 148, 118, 15}},
     {{40, 75, 47, 14}, {7, 76, 48, 14}},
     {{43, 54, 24, 15}, {22, 55, 25, 15}},
     {{10, 45, 15, 15}, {67, 46, 16, 15}}},  // 39
    {{{19, 148, 118, 15}, {6, 149, 119, 15}},
     {{18, 75, 47, 14}, {31, 76, 48, 14}},
     {{34, 54, 24, 15}, {34, 55, 25, 15}},
     {{20, 45, 15, 15}, {61, 46, 16, 15}}},  // 40
};

namespace {

DecoderState& S = decoder_state;

constexpr int32_t kLargestBlock = 153;

void mark(int32_t column, int32_t row) {
    const int32_t m = column + row * S.symbol_size;
    S.function_map[m >> 3] |= static_cast<uint8_t>(1u << (m & 7));
}

bool marked(int32_t column, int32_t row) {
    const int32_t m = column + row * S.symbol_size;
    return (S.function_map[m >> 3] >> (m & 7)) & 1;
}

void mark_rect(int32_t column, int32_t row, int32_t width, int32_t height) {
    for (int32_t r = row; r < row + height; ++r) {
        for (int32_t c = column; c < column + width; ++c) mark(c, r);
    }
}

void dump(const uint8_t* codewords) {
    if (S.log_stream == nullptr) return;
    for (int32_t i = 0; i < S.total_codewords; ++i) log_line("0x%02x ", codewords[i]);
    log_line("\n");
}

}  // namespace

void mark_function_patterns() {
    const int32_t s = S.symbol_size;
    // Finder patterns with their separators.
    mark_rect(0, 0, 8, 8);
    mark_rect(s - 8, 0, 8, 8);
    mark_rect(0, s - 8, 8, 8);
    // Format information, the dark module (8, s - 8) among it.
    mark_rect(0, 8, 9, 1);
    mark_rect(s - 8, 8, 8, 1);
    mark_rect(8, 0, 1, 8);
    mark_rect(8, s - 8, 1, 8);
    // Timing patterns.
    mark_rect(0, 6, s, 1);
    mark_rect(6, 0, 1, s);
    if (S.symbol_version >= 7) {
        mark_rect(s - 11, 0, 3, 6);
        mark_rect(0, s - 11, 6, 3);
    }
    const int32_t* a = alignment_centres_row(S.symbol_version);
    for (int32_t i = 0; i < 8 && a[i] > 0; ++i) {
        for (int32_t j = 0; j < 8 && a[j] > 0; ++j) {
            const int32_t cx = a[j];
            const int32_t cy = a[i];
            if ((cx < 7 && cy < 7) || (cx < 7 && cy >= s - 7) || (cx >= s - 7 && cy < 7)) continue;
            mark_rect(cx - 2, cy - 2, 5, 5);
        }
    }
}

namespace {

// Two-column strips from the right, alternately upward and downward; the
// vertical timing pattern's column is skipped (ISO/IEC 18004 7.7.3). Past
// the last strip placement_column is negative. Inlined into the walk of
// collect_codewords, where a call per module would cost a quarter of it.
[[gnu::always_inline]] inline void placement_step(int32_t& column, int32_t& row, int32_t& placement_column,
                                                  int32_t& placement_upward) {
    if (column == placement_column) {
        --column;
        return;
    }
    column = placement_column;
    row += placement_upward ? -1 : 1;
    if (row >= 0 && row < S.symbol_size) return;
    row = row < 0 ? 0 : S.symbol_size - 1;
    placement_upward = placement_upward ? 0 : -1;
    placement_column -= 2;
    if (placement_column == 6) placement_column = 5;
    column = placement_column;
}

}  // namespace

void next_module(int32_t& column, int32_t& row, int32_t& placement_column, int32_t& placement_upward) {
    placement_step(column, row, placement_column, placement_upward);
}

int32_t collect_codewords() {
    const int32_t s = S.symbol_size;
    const int32_t(*groups)[4] = ec_block_table[S.symbol_version][(S.ec_level ^ 1) & 3];
    for (int32_t g = 0; g < 2; ++g) {
        S.block_layout[g] = BlockGroup{groups[g][0], groups[g][1], groups[g][2], groups[g][3]};
    }
    const BlockGroup* b = S.block_layout;
    S.total_codewords = b[0].block_count * b[0].block_length + b[1].block_count * b[1].block_length;
    S.data_codeword_count = b[0].block_count * b[0].data_length + b[1].block_count * b[1].data_length;

    // The data modules in next_module's order, eight to a codeword, most
    // significant bit first. Running out of strips before the last codeword
    // fails, as leaving the symbol does there.
    const int32_t total = S.total_codewords;
    if (total <= 0) return -1;
    int32_t n = 0, bits = 0, codeword = 0;
    int32_t column = s - 1, row = s - 1, placement_column = s - 1, placement_upward = -1;
    while (placement_column >= 0) {
        if (!marked(column, row)) {
            codeword = (codeword << 1) | (S.module_matrix[column + row * s] == 0x40 ? 1 : 0);
            if (++bits == 8) {
                S.raw_codewords[n] = static_cast<uint8_t>(codeword);
                if (++n == total) return -1;
                bits = 0;
                codeword = 0;
            }
        }
        placement_step(column, row, placement_column, placement_upward);
    }
    return 0;
}

int32_t correct_blocks() {
    const BlockGroup& g1 = S.block_layout[0];
    const BlockGroup& g2 = S.block_layout[1];
    const int32_t blocks = g1.block_count + g2.block_count;
    const int32_t ec_length = g1.block_length - g1.data_length;
    const uint8_t* raw = S.raw_codewords;
    uint8_t* out = S.data_codewords;
    auto group_of = [&](int32_t i) -> const BlockGroup& { return i < g1.block_count ? g1 : g2; };

    // Interleaved order (ISO/IEC 18004 7.6): the first k1 data codewords of
    // every block in turn, then group 2's extra codeword, then the error
    // correction codewords of every block in turn.
    int32_t offset = 0;
    for (int32_t i = 0; i < blocks; ++i) {
        for (int32_t j = 0; j < g1.data_length; ++j) out[offset + j] = raw[j * blocks + i];
        offset += group_of(i).data_length;
    }
    const int32_t extra = g2.data_length - g1.data_length;
    for (int32_t g = 0; g < g2.block_count && extra > 0; ++g) {
        const int32_t start = g1.block_count * g1.data_length + g * g2.data_length + g1.data_length;
        for (int32_t j = 0; j < extra; ++j)
            out[start + j] = raw[blocks * g1.data_length + j * g2.block_count + g];
    }

    const int32_t data_end = S.data_codeword_count;
    int32_t data_offset = 0;
    for (int32_t i = 0; i < blocks; ++i) {
        const BlockGroup& g = group_of(i);
        uint8_t work[kLargestBlock];
        for (int32_t j = 0; j < ec_length; ++j) {
            const uint8_t codeword = raw[data_end + j * blocks + i];
            work[g.data_length + j] = codeword;
            out[data_end + i * ec_length + j] = codeword;
        }
        std::memcpy(work, out + data_offset, static_cast<size_t>(g.data_length));
        if (!rs_decode(work, g.block_length, g.correctable_errors)) return 0;
        // A correction that used the whole capacity may be a miscorrection.
        if (S.block_clean == 0) S.result_partial = -1;
        std::memcpy(out + data_offset, work, static_cast<size_t>(g.data_length));
        data_offset += g.data_length;
    }
    return -1;
}

int32_t read_codewords() {
    if (S.symbol_version < 1 || S.symbol_version > 40) return 0;
    mark_function_patterns();
    if (!collect_codewords()) return 0;
    dump(S.raw_codewords);
    if (!correct_blocks()) return 0;
    dump(S.data_codewords);
    return -1;
}

}  // namespace vorden
