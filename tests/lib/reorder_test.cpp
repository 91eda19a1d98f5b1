// Function-pattern map, placement walk, block table and de-interleaving.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

#include "decoder.h"
#include "renderer.h"

using namespace vorden;
using namespace vorden::test;

namespace {

DecoderState& S = decoder_state;

bool marked(int column, int row) {
    const int m = column + row * S.symbol_size;
    return (S.function_map[m / 8] >> (m % 8)) & 1;
}

void map_for(int version) {
    S.symbol_version = version;
    S.symbol_size = 17 + 4 * version;
    std::memset(S.function_map, 0, sizeof S.function_map);
    mark_function_patterns();
}

int data_modules(int version) {
    map_for(version);
    int n = 0;
    for (int r = 0; r < S.symbol_size; ++r)
        for (int c = 0; c < S.symbol_size; ++c) n += !marked(c, r);
    return n;
}

const int (*groups(int version, int row))[4] {
    return ec_block_table[version][row];
}

}  // namespace

TEST(FunctionMap, MatchesTheEncodersFunctionModulesForEveryVersion) {
    for (int version = 1; version <= 40; ++version) {
        EncodeOptions options;
        options.version = version;
        const Symbol symbol = encode(Mode::Numeric, "1", options);
        map_for(version);
        int wrong = 0;
        for (int r = 0; r < symbol.size; ++r)
            for (int c = 0; c < symbol.size; ++c)
                wrong += marked(c, r) != (symbol.function[c + r * symbol.size] != 0);
        EXPECT_EQ(wrong, 0) << "version " << version;
    }
}

TEST(BlockTable, CodewordCountsFillTheDataModules) {
    // ISO/IEC 18004 Table 9: every level of a version holds the same number
    // of codewords, the data modules divided by 8 (remainder bits aside).
    for (int version = 1; version <= 40; ++version) {
        const int modules = data_modules(version);
        for (int row = 0; row < 4; ++row) {
            const int(*g)[4] = groups(version, row);
            const int total = g[0][0] * g[0][1] + g[1][0] * g[1][1];
            EXPECT_EQ(total, modules / 8) << version << " row " << row;
            EXPECT_LE(g[0][1], 153);
            if (g[1][0] != 0) {
                EXPECT_EQ(g[1][1], g[0][1] + 1) << version;
                EXPECT_EQ(g[1][2], g[0][2] + 1) << version;
                EXPECT_EQ(g[1][3], g[0][3]) << version;
            } else {
                EXPECT_EQ(g[1][1] | g[1][2] | g[1][3], 0) << version;
            }
            // Capacity is half the check codewords, except where the
            // standard keeps some back against misdecoding.
            const int check = g[0][1] - g[0][2];
            const bool protected_row = version == 1 || (version <= 3 && row == 0);
            if (protected_row) {
                EXPECT_LE(g[0][3], check / 2) << version << " row " << row;
            } else {
                EXPECT_EQ(g[0][3], check / 2) << version << " row " << row;
            }
        }
        // Data capacity falls from L to H.
        auto data = [&](int row) {
            const int(*g)[4] = groups(version, row);
            return g[0][0] * g[0][2] + g[1][0] * g[1][2];
        };
        EXPECT_GT(data(0), data(1));
        EXPECT_GT(data(1), data(2));
        EXPECT_GT(data(2), data(3));
    }
    EXPECT_EQ(groups(40, 0)[0][0] * groups(40, 0)[0][2] + groups(40, 0)[1][0] * groups(40, 0)[1][2], 2956);
}

TEST(Placement, WalkVisitsEveryDataModuleOnceInStrips) {
    for (int version : {1, 2, 6, 7, 40}) {
        map_for(version);
        const int s = S.symbol_size;
        int column = s - 1, row = s - 1, strip = s - 1, upward = -1;
        std::set<int> seen;
        std::vector<std::pair<int, int>> first;
        while (column >= 0) {
            if (!marked(column, row)) {
                EXPECT_TRUE(seen.insert(column + row * s).second) << version;
                if (first.size() < 8) first.emplace_back(column, row);
            }
            next_module(column, row, strip, upward);
        }
        EXPECT_EQ(static_cast<int>(seen.size()), data_modules(version)) << version;
        if (version == 1) {
            const std::vector<std::pair<int, int>> expected = {{20, 20}, {19, 20}, {20, 19}, {19, 19},
                                                               {20, 18}, {19, 18}, {20, 17}, {19, 17}};
            EXPECT_EQ(first, expected);
        }
    }
}

TEST(Placement, StripsSkipTheTimingColumnAndTurnAtTheEdges) {
    S.symbol_size = 21;
    int column = 7, row = 0, strip = 8, upward = -1;
    next_module(column, row, strip, upward);  // top of strip (8, 7): turn
    EXPECT_EQ(strip, 5);
    EXPECT_EQ(column, 5);
    EXPECT_EQ(row, 0);
    EXPECT_EQ(upward, 0);
    next_module(column, row, strip, upward);
    EXPECT_EQ(column, 4);
    next_module(column, row, strip, upward);
    EXPECT_EQ(column, 5);
    EXPECT_EQ(row, 1);
}

TEST(Deinterleave, VersionFiveQSplitsBlocksOfFifteenAndSixteen) {
    S.symbol_version = 5;
    S.ec_level = 3;  // Q
    S.symbol_size = 37;
    // Codewords from a genuine symbol, so every block corrects cleanly.
    EncodeOptions options;
    options.version = 5;
    options.level = Level::Q;
    const Symbol symbol = encode(Mode::Byte, "interleaving across four blocks", options);
    for (int i = 0; i < symbol.size * symbol.size; ++i) S.module_matrix[i] = symbol.dark[i] ? 0x40 : 0;
    S.mask_pattern = read_mask(symbol);
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
        EXPECT_EQ(S.data_codewords[j], S.raw_codewords[4 * j]) << j;
        EXPECT_EQ(S.data_codewords[15 + j], S.raw_codewords[4 * j + 1]) << j;
        EXPECT_EQ(S.data_codewords[30 + j], S.raw_codewords[4 * j + 2]) << j;
        EXPECT_EQ(S.data_codewords[46 + j], S.raw_codewords[4 * j + 3]) << j;
    }
    EXPECT_EQ(S.data_codewords[45], S.raw_codewords[60]);
    EXPECT_EQ(S.data_codewords[61], S.raw_codewords[61]);
    // The check codewords follow, block by block, as read.
    for (int j = 0; j < 18; ++j)
        EXPECT_EQ(S.data_codewords[62 + 18 * 2 + j], S.raw_codewords[62 + 4 * j + 2]) << j;
    // The stream opens with the byte-mode indicator 0100.
    EXPECT_EQ(S.data_codewords[0] >> 4, 4);
}
