// Function-pattern map, block table and de-interleaving.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "decoder.h"
#include "renderer.h"

using namespace vorden;
using namespace vorden::test;

namespace {

DecoderState& S = decoder_state;

// The decoder's function-pattern map for the version, as module flags.
std::vector<bool> function_map(int version) {
    S.symbol_version = version;
    S.symbol_size = 17 + 4 * version;
    std::memset(S.function_map, 0, sizeof S.function_map);
    mark_function_patterns();
    std::vector<bool> marked(S.symbol_size * S.symbol_size);
    for (size_t m = 0; m < marked.size(); ++m) marked[m] = (S.function_map[m / 8] >> (m % 8)) & 1;
    return marked;
}

}  // namespace

TEST(FunctionMap, MatchesTheEncodersFunctionModulesForEveryVersion) {
    for (int version = 1; version <= 40; ++version) {
        const Symbol symbol = encode(Mode::Numeric, "1", {.version = version});
        EXPECT_EQ(function_map(version), std::vector<bool>(symbol.function.begin(), symbol.function.end()))
            << "version " << version;
    }
}

TEST(BlockTable, CodewordCountsFillTheDataModules) {
    // ISO/IEC 18004 Table 9: every level of a version holds the same number
    // of codewords, the data modules divided by 8 (remainder bits aside).
    for (int version = 1; version <= 40; ++version) {
        const std::vector<bool> marked = function_map(version);
        const int modules = static_cast<int>(std::count(marked.begin(), marked.end(), false));
        int data[4];
        for (int row = 0; row < 4; ++row) {
            SCOPED_TRACE(std::to_string(version) + " row " + std::to_string(row));
            const int(*g)[4] = ec_block_table[version][row];
            EXPECT_EQ(g[0][0] * g[0][1] + g[1][0] * g[1][1], modules / 8);
            EXPECT_LE(g[0][1], 153);
            if (g[1][0] != 0) {
                EXPECT_EQ(g[1][1], g[0][1] + 1);
                EXPECT_EQ(g[1][2], g[0][2] + 1);
                EXPECT_EQ(g[1][3], g[0][3]);
            } else {
                EXPECT_EQ(g[1][1] | g[1][2] | g[1][3], 0);
            }
            // Capacity is half the check codewords, except where the
            // standard keeps some back against misdecoding.
            const int check = g[0][1] - g[0][2];
            if (version == 1 || (version <= 3 && row == 0)) {
                EXPECT_LE(g[0][3], check / 2);
            } else {
                EXPECT_EQ(g[0][3], check / 2);
            }
            data[row] = g[0][0] * g[0][2] + g[1][0] * g[1][2];
        }
        // Data capacity falls from L to H.
        EXPECT_GT(data[0], data[1]);
        EXPECT_GT(data[1], data[2]);
        EXPECT_GT(data[2], data[3]);
        EXPECT_TRUE(version != 40 || data[0] == 2956) << data[0];
    }
    const int* v1l = ec_block_table[1][0][0];
    EXPECT_EQ(std::vector<int>(v1l, v1l + 4), (std::vector<int>{1, 26, 19, 2}));
}

TEST(Deinterleave, VersionFiveQSplitsBlocksOfFifteenAndSixteen) {
    // Codewords from a genuine symbol, so every block corrects cleanly.
    const Symbol symbol =
        encode(Mode::Byte, "interleaving across four blocks", {.version = 5, .level = Level::Q});
    S.symbol_version = 5;
    S.ec_level = 3;  // Q
    S.symbol_size = 37;
    for (int i = 0; i < symbol.size * symbol.size; ++i) S.module_matrix[i] = symbol.dark[i] ? 0x40 : 0;
    S.mask_pattern = symbol.mask;
    remove_data_mask();
    std::memset(S.function_map, 0, sizeof S.function_map);
    ASSERT_EQ(read_codewords(), -1);
    EXPECT_EQ(S.total_codewords, 134);
    EXPECT_EQ(S.data_codeword_count, 62);
    EXPECT_EQ(S.block_layout[0].data_length, 15);
    EXPECT_EQ(S.block_layout[1].data_length, 16);
    // Blocks in order: 0 and 1 take raw positions i, i + 4, ...; the 16th
    // data codewords of blocks 2 and 3 sit at raw positions 60 and 61.
    for (int j = 0; j < 15; ++j) {
        for (int b = 0; b < 4; ++b)
            EXPECT_EQ(S.data_codewords[15 * b + (b > 2) + j], S.raw_codewords[4 * j + b]) << b << " " << j;
    }
    EXPECT_EQ(S.data_codewords[45], S.raw_codewords[60]);
    EXPECT_EQ(S.data_codewords[61], S.raw_codewords[61]);
    // The check codewords follow, block by block, as read.
    for (int j = 0; j < 18; ++j)
        EXPECT_EQ(S.data_codewords[62 + 18 * 2 + j], S.raw_codewords[62 + 4 * j + 2]) << j;
    // The stream opens with the byte-mode indicator 0100.
    EXPECT_EQ(S.data_codewords[0] >> 4, 4);
}
