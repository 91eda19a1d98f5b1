// Function-pattern map and block table. Mask removal and codeword reading
// are held to the end-to-end reads, which use every mask.
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
        EXPECT_TRUE(data[0] > data[1] && data[1] > data[2] && data[2] > data[3])
            << "L to H, version " << version;
    }
    // Rows as Table 9 prints them, for the check codewords that no property
    // fixes: {version, level row, blocks, codewords, data} of each group.
    const int rows[][8] = {{1, 3, 1, 26, 9, 0, 0, 0},          {5, 2, 2, 33, 15, 2, 34, 16},
                           {10, 1, 4, 69, 43, 1, 70, 44},      {22, 3, 34, 37, 13, 0, 0, 0},
                           {40, 0, 19, 148, 118, 6, 149, 119}, {40, 3, 20, 45, 15, 61, 46, 16}};
    for (const auto& r : rows) {
        const int(*g)[4] = ec_block_table[r[0]][r[1]];
        EXPECT_EQ(std::vector<int>({g[0][0], g[0][1], g[0][2], g[1][0], g[1][1], g[1][2]}),
                  std::vector<int>(r + 2, r + 8))
            << "version " << r[0] << " row " << r[1];
    }
}
