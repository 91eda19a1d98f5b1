// Codeword placement (ISO/IEC 18004 7.7.3) and block de-interleaving
// (7.6): the data modules are read in two-column strips into codewords, which
// are split into their Reed-Solomon blocks and corrected.
#include <cstring>

#include "decoder.h"

namespace vorden {

namespace {

// Error correction characteristics (ISO/IEC 18004 Table 9) by version and by
// level row L, M, Q, H: {error correction codewords per block, blocks}.
struct LevelBlocks {
    int32_t check, blocks;
};
constexpr LevelBlocks kLevelBlocks[41][4] = {
    {},                                        // version 0 is no symbol
    {{7, 1}, {10, 1}, {13, 1}, {17, 1}},       // 1
    {{10, 1}, {16, 1}, {22, 1}, {28, 1}},      // 2
    {{15, 1}, {26, 1}, {18, 2}, {22, 2}},      // 3
    {{20, 1}, {18, 2}, {26, 2}, {16, 4}},      // 4
    {{26, 1}, {24, 2}, {18, 4}, {22, 4}},      // 5
    {{18, 2}, {16, 4}, {24, 4}, {28, 4}},      // 6
    {{20, 2}, {18, 4}, {18, 6}, {26, 5}},      // 7
    {{24, 2}, {22, 4}, {22, 6}, {26, 6}},      // 8
    {{30, 2}, {22, 5}, {20, 8}, {24, 8}},      // 9
    {{18, 4}, {26, 5}, {24, 8}, {28, 8}},      // 10
    {{20, 4}, {30, 5}, {28, 8}, {24, 11}},     // 11
    {{24, 4}, {22, 8}, {26, 10}, {28, 11}},    // 12
    {{26, 4}, {22, 9}, {24, 12}, {22, 16}},    // 13
    {{30, 4}, {24, 9}, {20, 16}, {24, 16}},    // 14
    {{22, 6}, {24, 10}, {30, 12}, {24, 18}},   // 15
    {{24, 6}, {28, 10}, {24, 17}, {30, 16}},   // 16
    {{28, 6}, {28, 11}, {28, 16}, {28, 19}},   // 17
    {{30, 6}, {26, 13}, {28, 18}, {28, 21}},   // 18
    {{28, 7}, {26, 14}, {26, 21}, {26, 25}},   // 19
    {{28, 8}, {26, 16}, {30, 20}, {28, 25}},   // 20
    {{28, 8}, {26, 17}, {28, 23}, {30, 25}},   // 21
    {{28, 9}, {28, 17}, {30, 23}, {24, 34}},   // 22
    {{30, 9}, {28, 18}, {30, 25}, {30, 30}},   // 23
    {{30, 10}, {28, 20}, {30, 27}, {30, 32}},  // 24
    {{26, 12}, {28, 21}, {30, 29}, {30, 35}},  // 25
    {{28, 12}, {28, 23}, {28, 34}, {30, 37}},  // 26
    {{30, 12}, {28, 25}, {30, 34}, {30, 40}},  // 27
    {{30, 13}, {28, 26}, {30, 35}, {30, 42}},  // 28
    {{30, 14}, {28, 28}, {30, 38}, {30, 45}},  // 29
    {{30, 15}, {28, 29}, {30, 40}, {30, 48}},  // 30
    {{30, 16}, {28, 31}, {30, 43}, {30, 51}},  // 31
    {{30, 17}, {28, 33}, {30, 45}, {30, 54}},  // 32
    {{30, 18}, {28, 35}, {30, 48}, {30, 57}},  // 33
    {{30, 19}, {28, 37}, {30, 51}, {30, 60}},  // 34
    {{30, 19}, {28, 38}, {30, 53}, {30, 63}},  // 35
    {{30, 20}, {28, 40}, {30, 56}, {30, 66}},  // 36
    {{30, 21}, {28, 43}, {30, 59}, {30, 70}},  // 37
    {{30, 22}, {28, 45}, {30, 62}, {30, 74}},  // 38
    {{30, 24}, {28, 47}, {30, 65}, {30, 77}},  // 39
    {{30, 25}, {28, 49}, {30, 68}, {30, 81}},  // 40
};

// A version's codewords: its modules less the function patterns and the
// format and version information, eight to a codeword, remainder bits aside
// (ISO/IEC 18004 Table 1).
constexpr int32_t codewords_of(int32_t version) {
    int32_t modules = (16 * version + 128) * version + 64;
    if (version >= 2) {
        const int32_t a = version / 7 + 2;  // alignment coordinates per side
        modules -= (25 * a - 10) * a - 55;
    }
    if (version >= 7) modules -= 36;
    return modules / 8;
}

// Check codewords kept back against misdecoding rather than correcting:
// version 1, and versions 2 and 3 at level L (ISO/IEC 18004 Table 9, note).
constexpr int32_t protection(int32_t version, int32_t level) {
    constexpr int32_t kept[4][4] = {{}, {3, 2, 1, 1}, {2, 0, 0, 0}, {1, 0, 0, 0}};
    return version <= 3 ? kept[version][level] : 0;
}

// Field f of group g, as ec_block_table holds it: the codewords are shared
// out as evenly as the blocks allow, the last (codewords mod blocks) of them,
// group 2, one codeword longer in length and in data.
constexpr int32_t block_field(int32_t version, int32_t level, int32_t g, int32_t f) {
    const LevelBlocks& e = kLevelBlocks[version][level];
    if (e.blocks == 0) return 0;
    const int32_t total = codewords_of(version);
    const int32_t longer = total % e.blocks;
    if (g == 1 && longer == 0) return 0;
    const int32_t length = total / e.blocks + g;
    if (f == 0) return g == 0 ? e.blocks - longer : longer;
    if (f == 1) return length;
    if (f == 2) return length - e.check;
    return (e.check - protection(version, level)) / 2;
}

}  // namespace

// ec_block_table, worked out at compile time: by version, level row and
// group {blocks, codewords, data codewords, correctable errors}.
#define VORDEN_GROUP(v, l, g) \
    { block_field(v, l, g, 0), block_field(v, l, g, 1), block_field(v, l, g, 2), block_field(v, l, g, 3) }
#define VORDEN_LEVEL(v, l) \
    { VORDEN_GROUP(v, l, 0), VORDEN_GROUP(v, l, 1) }
#define VORDEN_VERSION(v) \
    { VORDEN_LEVEL(v, 0), VORDEN_LEVEL(v, 1), VORDEN_LEVEL(v, 2), VORDEN_LEVEL(v, 3) }
#define VORDEN_TEN(v)                                                                               \
    VORDEN_VERSION(v), VORDEN_VERSION(v + 1), VORDEN_VERSION(v + 2), VORDEN_VERSION(v + 3),         \
        VORDEN_VERSION(v + 4), VORDEN_VERSION(v + 5), VORDEN_VERSION(v + 6), VORDEN_VERSION(v + 7), \
        VORDEN_VERSION(v + 8), VORDEN_VERSION(v + 9)
constexpr int32_t ec_block_table[41][4][2][4] = {VORDEN_TEN(0), VORDEN_TEN(10), VORDEN_TEN(20),
                                                 VORDEN_TEN(30), VORDEN_VERSION(40)};
#undef VORDEN_TEN
#undef VORDEN_VERSION
#undef VORDEN_LEVEL
#undef VORDEN_GROUP

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
    const int32_t(*groups)[4] = ec_block_table[S.symbol_version][level_row(S.ec_level)];
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
