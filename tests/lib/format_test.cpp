// Format information: the GF(16) table, BCH(15,5) correction and the two
// copies in the module matrix.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "decoder.h"

using namespace vorden;

namespace {

DecoderState& S = decoder_state;

// BCH(15,5) code word of 5 data bits, generator x^10 + x^8 + x^5 + x^4 +
// x^2 + x + 1 (ISO/IEC 18004 Annex C).
int32_t format_codeword(int32_t data) {
    int32_t r = data << 10;
    for (int32_t bit = 14; bit >= 10; --bit) {
        if (r & (1 << bit)) r ^= 0x537 << (bit - 10);
    }
    return (data << 10) | r;
}

int popcount(int32_t v) {
    return __builtin_popcount(static_cast<unsigned>(v));
}

std::string logged(int32_t (*call)(int32_t), int32_t arg, int32_t* result) {
    char* buffer = nullptr;
    size_t size = 0;
    S.log_stream = open_memstream(&buffer, &size);
    *result = call(arg);
    std::fclose(S.log_stream);
    S.log_stream = nullptr;
    std::string text(buffer, size);
    std::free(buffer);
    return text;
}

// The module positions of the two copies as ISO/IEC 18004 7.9.1 draws them,
// bit 14 first.
void place_format(int32_t size, int32_t word, bool copy1, bool copy2) {
    auto put = [&](int c, int r, int bit) { S.module_matrix[c + r * size] = ((word >> bit) & 1) ? 64 : 0; };
    const int row8[8] = {0, 1, 2, 3, 4, 5, 7, 8};
    const int col8[7] = {7, 5, 4, 3, 2, 1, 0};
    for (int i = 0; i < 8; ++i) {
        if (copy1) put(row8[i], 8, 14 - i);
        if (copy2) put(size - 8 + i, 8, 7 - i);
    }
    for (int i = 0; i < 7; ++i) {
        if (copy1) put(8, col8[i], 6 - i);
        if (copy2) put(8, size - 1 - i, 14 - i);
    }
}

}  // namespace

TEST(Format, PowersAreThoseOfARootOfXFourPlusXPlusOne) {
    // Coefficients of alpha^0..alpha^3; multiplying by alpha shifts them up
    // and alpha^4 = alpha + 1 folds the top back.
    int coefficients = 1;
    for (int i = 0; i < 15; ++i) {
        int msb_first = 0;
        for (int b = 0; b < 4; ++b) msb_first |= ((coefficients >> b) & 1) << (3 - b);
        EXPECT_EQ(gf16_powers[i], msb_first) << i;
        coefficients <<= 1;
        if (coefficients & 0x10) coefficients ^= 0x13;
    }
    EXPECT_EQ(coefficients, 1);  // order 15
    EXPECT_EQ(gf16_log(12), 4);
    EXPECT_EQ(gf16_log(0), -1);
    EXPECT_EQ(gf16_log(16), -1);
}

TEST(Format, EveryWordWithUpToThreeErrorsIsCorrected) {
    for (int32_t data = 0; data < 32; ++data) {
        const int32_t word = format_codeword(data);
        ASSERT_EQ(decode_format_bch(word), data);
        for (int32_t errors = 1; errors < (1 << 15); ++errors) {
            if (popcount(errors) > 3) continue;
            ASSERT_EQ(decode_format_bch(word ^ errors), data) << "data " << data << " errors " << errors;
        }
    }
}

TEST(Format, ErrorsWhosePowersCancelInTheFirstSyndromeAreStillCorrected) {
    // alpha^0 + alpha^3 + alpha^14 = 0: the first syndrome alone looks clean.
    const int32_t word = format_codeword(0b01011);
    int32_t result = 0;
    const std::string log = logged(decode_format_bch, word ^ (1 << 0) ^ (1 << 3) ^ (1 << 14), &result);
    EXPECT_EQ(result, 0b01011);
    EXPECT_EQ(log, "BCH reverse 0 bit\nBCH reverse 3 bit\nBCH reverse 14 bit\n");
}

TEST(Format, CorrectionLinesComeInIncreasingPositionAndCleanWordsLogNothing) {
    const int32_t word = format_codeword(7);
    int32_t result = 0;
    EXPECT_EQ(logged(decode_format_bch, word, &result), "");
    EXPECT_EQ(logged(decode_format_bch, word ^ (1 << 12) ^ (1 << 2), &result),
              "BCH reverse 2 bit\nBCH reverse 12 bit\n");
    EXPECT_EQ(result, 7);
}

TEST(Format, WordsFarFromEveryCodewordFail) {
    int failures = 0;
    for (int32_t word = 0; word < (1 << 15); ++word) {
        int nearest = 15;
        for (int32_t data = 0; data < 32; ++data)
            nearest = std::min(nearest, popcount(word ^ format_codeword(data)));
        const int32_t result = decode_format_bch(word);
        if (nearest > 3) {
            EXPECT_EQ(result, -1) << word;
            ++failures;
        } else {
            EXPECT_GE(result, 0) << word;
        }
    }
    EXPECT_GT(failures, 0);
}

TEST(Format, ReadsCopyOneOrFallsBackToCopyTwo) {
    S.symbol_size = 25;
    for (int32_t data = 0; data < 32; ++data) {
        const int32_t word = format_codeword(data) ^ 0x5412;
        std::memset(S.module_matrix, 0, sizeof S.module_matrix);
        // Up to three wrong modules in copy 1: still read from it.
        const int wrong[3][2] = {{0, 8}, {8, 5}, {8, 0}};
        for (int e = 0; e <= 3; ++e) {
            place_format(25, word, true, true);
            for (int k = 0; k < e; ++k) S.module_matrix[wrong[k][0] + wrong[k][1] * 25] ^= 64;
            S.ec_level = S.mask_pattern = -9;
            ASSERT_EQ(read_format_information(), -1) << data << " with " << e;
            EXPECT_EQ(S.ec_level, data >> 3);
            EXPECT_EQ(S.mask_pattern, data & 7);
        }
    }
}

TEST(Format, CopyOneBeyondRepairUsesCopyTwoAndBothBadFail) {
    S.symbol_size = 21;
    const int32_t data = 0b01011;  // level L (indicator 1), mask 3
    const int32_t word = format_codeword(data) ^ 0x5412;
    // Find a 4-module error in copy 1 that leaves it more than three bits
    // from every code word.
    int32_t damage = 0;
    for (int32_t e = 0; e < (1 << 15) && damage == 0; ++e) {
        if (popcount(e) != 4) continue;
        int nearest = 15;
        for (int32_t d = 0; d < 32; ++d)
            nearest = std::min(nearest, popcount((word ^ e ^ 0x5412) ^ format_codeword(d)));
        if (nearest > 3) damage = e;
    }
    ASSERT_NE(damage, 0);
    std::memset(S.module_matrix, 0, sizeof S.module_matrix);
    place_format(21, word ^ damage, true, false);
    place_format(21, word, false, true);
    ASSERT_EQ(read_format_information(), -1);
    EXPECT_EQ(S.ec_level, 1);
    EXPECT_EQ(S.mask_pattern, 3);

    place_format(21, word ^ damage, false, true);
    S.ec_level = 2;
    S.mask_pattern = 6;
    EXPECT_EQ(read_format_information(), 0);
    EXPECT_EQ(S.ec_level, 2);  // unchanged on failure
    EXPECT_EQ(S.mask_pattern, 6);
}
