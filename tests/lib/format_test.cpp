// Format information: the GF(16) table, BCH(15,5) correction and the two
// copies in the module matrix.
#include <gtest/gtest.h>

#include <cstring>

#include "decoder.h"
#include "stages.h"

using namespace vorden;

namespace {

DecoderState& S = decoder_state;

// BCH(15,5) code word of 5 data bits, generator x^10 + x^8 + x^5 + x^4 +
// x^2 + x + 1 (ISO/IEC 18004 Annex C).
int32_t codeword(int32_t data) {
    int32_t r = data << 10;
    for (int32_t bit = 14; bit >= 10; --bit)
        if (r & (1 << bit)) r ^= 0x537 << (bit - 10);
    return (data << 10) | r;
}

// The data of the code word within three bits of `word`, or -1.
int32_t nearest(int32_t word) {
    for (int32_t d = 0; d < 32; ++d)
        if (__builtin_popcount(word ^ codeword(d)) <= 3) return d;
    return -1;
}

// Writes the two copies where ISO/IEC 18004 7.9.1 puts them, bit 14 first,
// in a matrix of 25 x 25 modules.
void place_format(int32_t copy1, int32_t copy2) {
    const int n = S.symbol_size = 25;
    std::memset(S.module_matrix, 0, sizeof S.module_matrix);
    auto put = [&](int c, int r, int32_t word, int bit) {
        S.module_matrix[c + r * n] = (word >> bit) & 1 ? 64 : 0;
    };
    const int row8[8] = {0, 1, 2, 3, 4, 5, 7, 8}, col8[7] = {7, 5, 4, 3, 2, 1, 0};
    for (int i = 0; i < 8; ++i) put(row8[i], 8, copy1, 14 - i), put(n - 8 + i, 8, copy2, 7 - i);
    for (int i = 0; i < 7; ++i) put(8, col8[i], copy1, 6 - i), put(8, n - 1 - i, copy2, 14 - i);
}

}  // namespace

TEST(Format, PowersAreThoseOfARootOfXFourPlusXPlusOne) {
    // Coefficients of alpha^0..alpha^3, stored most significant bit first;
    // multiplying by alpha shifts them up and alpha^4 = alpha + 1 folds back.
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
}

TEST(Format, EveryWordWithinThreeBitsOfACodeWordIsCorrectedAndNoOther) {
    for (int32_t word = 0; word < (1 << 15); ++word)
        ASSERT_EQ(decode_format_bch(word), nearest(word)) << word;
    // alpha^0 + alpha^3 + alpha^14 = 0: the first syndrome alone looks clean.
    int32_t result = 0;
    EXPECT_EQ(vorden::test::log_of([&](FILE*) { result = decode_format_bch(codeword(11) ^ 0x4009); }),
              "BCH reverse 0 bit\nBCH reverse 3 bit\nBCH reverse 14 bit\n");
    EXPECT_EQ(result, 11);
}

TEST(Format, CopyOneWithUpToThreeWrongModulesElseCopyTwoElseNothing) {
    const int wrong[3][2] = {{0, 8}, {8, 5}, {8, 0}};  // modules of copy 1
    for (int32_t data = 0; data < 32; ++data) {
        SCOPED_TRACE(data);
        const int32_t word = codeword(data) ^ 0x5412;
        int32_t ruined = word;  // four bits off, and no nearer any other code word
        for (int32_t e = 0; ruined == word; ++e)
            if (__builtin_popcount(e) == 4 && nearest(codeword(data) ^ e) < 0) ruined = word ^ e;
        const auto expect_read = [&](int32_t copy1, int32_t copy2, int errors) {
            place_format(copy1, copy2);
            for (int k = 0; k < errors; ++k) S.module_matrix[wrong[k][0] + wrong[k][1] * 25] ^= 64;
            S.ec_level = S.mask_pattern = -9;
            ASSERT_EQ(read_format_information(), -1) << errors;
            EXPECT_EQ(S.ec_level, data >> 3);
            EXPECT_EQ(S.mask_pattern, data & 7);
        };
        for (int errors = 0; errors <= 3; ++errors) expect_read(word, ruined, errors);
        expect_read(ruined, word, 0);
        place_format(ruined, ruined);
        EXPECT_EQ(read_format_information(), 0);
        EXPECT_EQ(S.ec_level, data >> 3);  // unchanged on failure
    }
}
