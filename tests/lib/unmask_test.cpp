// Data mask removal.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "decoder.h"
#include "renderer.h"
#include "stages.h"

using namespace vorden;
using namespace vorden::test;

TEST(Unmask, EveryMaskLeavesTheSameDataModules) {
    // The same data under each of the eight masks: once sampled and
    // unmasked, the data modules agree.
    DecoderState& S = decoder_state;
    for (int version : {1, 5, 12}) {
        std::vector<uint8_t> reference;
        for (int mask = 0; mask < 8; ++mask) {
            const Symbol symbol = encode(Mode::Alphanumeric, "MASK TEST 12345",
                                         {.version = version, .level = Level::Q, .mask = mask});
            Stages stages(render(symbol));
            ASSERT_TRUE(stages.sample());
            ASSERT_EQ(read_format_information(), -1);
            ASSERT_EQ(S.mask_pattern, mask);
            remove_data_mask();
            std::vector<uint8_t> data;
            for (int i = 0; i < symbol.size * symbol.size; ++i) {
                if (!symbol.function[i]) data.push_back(S.module_matrix[i]);
            }
            if (mask == 0) reference = data;
            EXPECT_EQ(data, reference) << "version " << version << " mask " << mask;
        }
    }
    // A pattern out of range leaves the matrix untouched.
    std::memset(S.module_matrix, 0, sizeof S.module_matrix);
    S.mask_pattern = 8;
    remove_data_mask();
    EXPECT_EQ(std::vector<uint8_t>(S.module_matrix, S.module_matrix + 21 * 21),
              std::vector<uint8_t>(21 * 21, 0));
}
