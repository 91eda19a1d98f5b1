// Data mask removal.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "decoder.h"
#include "renderer.h"
#include "stages.h"

using namespace vorden;
using namespace vorden::test;

namespace {

DecoderState& S = decoder_state;

std::vector<uint8_t> unmasked_blank(int size, int pattern) {
    S.symbol_size = size;
    S.mask_pattern = pattern;
    std::memset(S.module_matrix, 0, sizeof S.module_matrix);
    remove_data_mask();
    return std::vector<uint8_t>(S.module_matrix, S.module_matrix + size * size);
}

}  // namespace

TEST(Unmask, PatternShapes) {
    const int n = 21;
    auto m = unmasked_blank(n, 1);  // even rows
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c) ASSERT_EQ(m[c + r * n], r % 2 == 0 ? 0x40 : 0) << r << " " << c;
    m = unmasked_blank(n, 2);  // every third column
    for (int c = 0; c < n; ++c) EXPECT_EQ(m[c + 5 * n], c % 3 == 0 ? 0x40 : 0) << c;
    m = unmasked_blank(n, 4);  // 2-row by 3-column blocks in a checkerboard
    EXPECT_EQ(m[0], 0x40);
    EXPECT_EQ(m[2 + 1 * n], 0x40);
    EXPECT_EQ(m[3], 0);
    EXPECT_EQ(m[2 * n], 0);
    EXPECT_EQ(m[3 + 2 * n], 0x40);
    m = unmasked_blank(n, 5);  // row 0 and column 0 entirely
    for (int k = 0; k < n; ++k) {
        EXPECT_EQ(m[k], 0x40);
        EXPECT_EQ(m[k * n], 0x40);
    }
    EXPECT_EQ(unmasked_blank(n, 8), std::vector<uint8_t>(n * n, 0));  // out of range: untouched
}

TEST(Unmask, TwiceRestores) {
    S.symbol_size = 25;
    for (int i = 0; i < 25 * 25; ++i) S.module_matrix[i] = (i * 7919 % 5 < 2) ? 0x40 : 0;
    const std::vector<uint8_t> before(S.module_matrix, S.module_matrix + 25 * 25);
    for (int pattern = 0; pattern < 8; ++pattern) {
        S.mask_pattern = pattern;
        remove_data_mask();
        remove_data_mask();
        EXPECT_EQ(std::vector<uint8_t>(S.module_matrix, S.module_matrix + 25 * 25), before) << pattern;
    }
}

TEST(Unmask, EveryMaskLeavesTheSameDataModules) {
    // The same data under each of the eight masks: once sampled and unmasked,
    // the data modules agree, and they differ from the masked symbol exactly
    // where the mask condition holds.
    for (int version : {1, 5, 12}) {
        std::vector<uint8_t> reference;
        for (int mask = 0; mask < 8; ++mask) {
            EncodeOptions options;
            options.version = version;
            options.level = Level::Q;
            options.mask = mask;
            const Symbol symbol = encode(Mode::Alphanumeric, "MASK TEST 12345", options);
            ASSERT_EQ(read_mask(symbol), mask);
            Stages stages(render(symbol));
            ASSERT_TRUE(stages.sample());
            ASSERT_EQ(read_format_information(), -1);
            ASSERT_EQ(S.mask_pattern, mask);
            remove_data_mask();
            std::vector<uint8_t> data;
            for (int i = 0; i < symbol.size * symbol.size; ++i) {
                if (!symbol.function[i]) data.push_back(S.module_matrix[i]);
            }
            if (mask == 0) {
                reference = data;
            } else {
                EXPECT_EQ(data, reference) << "version " << version << " mask " << mask;
            }
        }
    }
}
