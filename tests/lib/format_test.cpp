// Format information: the GF(16) table, BCH(15,5) correction and the two
// copies in the module matrix.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "decoder.h"
#include "stages.h"

using namespace vorden;
using vorden::test::log_of;

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

int distance_to_code(int32_t word) {
    int nearest = 15;
    for (int32_t d = 0; d < 32; ++d) nearest = std::min(nearest, popcount(word ^ format_codeword(d)));
    return nearest;
}

// A four-bit error that leaves the code word more than three bits from every code word.
int32_t beyond_repair(int32_t codeword) {
    for (int32_t e = 0; e < (1 << 15); ++e) {
        if (popcount(e) == 4 && distance_to_code(codeword ^ e) > 3) return e;
    }
    return 0;
}

// The module positions of the two copies as ISO/IEC 18004 7.9.1 draws them,
// bit 14 first, in a matrix of 25 x 25 modules.
void place_format(int32_t copy1, int32_t copy2) {
    const int size = S.symbol_size = 25;
    std::memset(S.module_matrix, 0, sizeof S.module_matrix);
    auto put = [&](int c, int r, int32_t word, int bit) {
        S.module_matrix[c + r * size] = ((word >> bit) & 1) ? 64 : 0;
    };
    const int row8[8] = {0, 1, 2, 3, 4, 5, 7, 8};
    const int col8[7] = {7, 5, 4, 3, 2, 1, 0};
    for (int i = 0; i < 8; ++i) {
        put(row8[i], 8, copy1, 14 - i);
        put(size - 8 + i, 8, copy2, 7 - i);
    }
    for (int i = 0; i < 7; ++i) {
        put(8, col8[i], copy1, 6 - i);
        put(8, size - 1 - i, copy2, 14 - i);
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
        EXPECT_EQ(gf16_log(msb_first), i);
        coefficients <<= 1;
        if (coefficients & 0x10) coefficients ^= 0x13;
    }
    EXPECT_EQ(gf16_log(0), -1);
    EXPECT_EQ(gf16_log(16), -1);
}

TEST(Format, EveryWordWithinThreeBitsOfACodeWordIsCorrectedAndNoOther) {
    for (int32_t word = 0; word < (1 << 15); ++word) {
        int32_t expected = -1;
        for (int32_t d = 0; d < 32; ++d)
            if (popcount(word ^ format_codeword(d)) <= 3) expected = d;
        ASSERT_EQ(decode_format_bch(word), expected) << word;
    }
}

TEST(Format, CorrectionsAreLoggedInIncreasingPosition) {
    int32_t result = 0;
    EXPECT_EQ(log_of([&](FILE*) { result = decode_format_bch(format_codeword(7)); }), "");
    // alpha^0 + alpha^3 + alpha^14 = 0: the first syndrome alone looks clean.
    EXPECT_EQ(
        log_of([&](FILE*) { result = decode_format_bch(format_codeword(11) ^ (1 << 14) ^ (1 << 3) ^ 1); }),
        "BCH reverse 0 bit\nBCH reverse 3 bit\nBCH reverse 14 bit\n");
    EXPECT_EQ(result, 11);
}

TEST(Format, CopyOneWithUpToThreeWrongModulesElseCopyTwoElseNothing) {
    const int wrong[3][2] = {{0, 8}, {8, 5}, {8, 0}};  // modules of copy 1
    for (int32_t data = 0; data < 32; ++data) {
        SCOPED_TRACE(data);
        const int32_t word = format_codeword(data) ^ 0x5412;
        const int32_t ruined = word ^ beyond_repair(format_codeword(data));
        for (int e = 0; e <= 3; ++e) {
            place_format(word, ruined);
            for (int k = 0; k < e; ++k) S.module_matrix[wrong[k][0] + wrong[k][1] * 25] ^= 64;
            S.ec_level = S.mask_pattern = -9;
            ASSERT_EQ(read_format_information(), -1) << e;
            EXPECT_EQ(S.ec_level, data >> 3);
            EXPECT_EQ(S.mask_pattern, data & 7);
        }
        place_format(ruined, word);
        S.ec_level = S.mask_pattern = -9;
        ASSERT_EQ(read_format_information(), -1);
        EXPECT_EQ(S.ec_level, data >> 3);
        EXPECT_EQ(S.mask_pattern, data & 7);
        place_format(ruined, ruined);
        S.ec_level = 2;
        S.mask_pattern = 6;
        EXPECT_EQ(read_format_information(), 0);
        EXPECT_EQ(S.ec_level, 2);  // unchanged on failure
        EXPECT_EQ(S.mask_pattern, 6);
    }
}
