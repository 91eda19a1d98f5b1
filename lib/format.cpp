// Format information: error correction level and mask pattern, 15 bits
// protected by a BCH(15,5) code and read from either of two copies
// (ISO/IEC 18004 7.9, Annex C).
#include "decoder.h"

namespace vorden {

// alpha^0 .. alpha^14 for a root alpha of x^4 + x + 1, most significant bit
// the coefficient of alpha^0.
const uint8_t gf16_powers[15] = {8, 4, 2, 1, 12, 6, 3, 13, 10, 5, 14, 7, 15, 11, 9};

namespace {

DecoderState& S = decoder_state;

constexpr int32_t kFormatMask = 0x5412;

// Module positions (column, row) in reading order, bit 14 first.
struct Module {
    int8_t column, row;  // negative: counted back from the symbol's far side
};

// Copy 1 around the corner finder pattern, skipping the timing patterns.
constexpr Module kCopy1[15] = {{0, 8}, {1, 8}, {2, 8}, {3, 8}, {4, 8}, {5, 8}, {7, 8}, {8, 8},
                               {8, 7}, {8, 5}, {8, 4}, {8, 3}, {8, 2}, {8, 1}, {8, 0}};
// Copy 2, split between the other two finder patterns.
constexpr Module kCopy2[15] = {{8, -1}, {8, -2}, {8, -3}, {8, -4}, {8, -5}, {8, -6}, {8, -7}, {-8, 8},
                               {-7, 8}, {-6, 8}, {-5, 8}, {-4, 8}, {-3, 8}, {-2, 8}, {-1, 8}};

int32_t read_copy(const Module* modules) {
    const int32_t size = S.symbol_size;
    int32_t word = 0;
    for (int32_t i = 0; i < 15; ++i) {
        const int32_t c = modules[i].column < 0 ? size + modules[i].column : modules[i].column;
        const int32_t r = modules[i].row < 0 ? size + modules[i].row : modules[i].row;
        word = (word << 1) | (S.module_matrix[c + r * size] == 64 ? 1 : 0);
    }
    return word ^ kFormatMask;
}

int32_t power(int32_t exponent) {
    return gf16_powers[exponent % 15];
}

// True when errors at the given bits produce syndromes S2 .. S6.
bool explains(const int32_t syndromes[7], const int32_t* bits, int32_t count) {
    for (int32_t k = 2; k <= 6; ++k) {
        int32_t sum = 0;
        for (int32_t e = 0; e < count; ++e) sum ^= power(k * bits[e]);
        if (syndromes[k] != sum) return false;
    }
    return true;
}

int32_t corrected(int32_t word, const int32_t* bits, int32_t count) {
    for (int32_t e = 0; e < count; ++e) {
        log_line("BCH reverse %d bit\n", bits[e]);
        word ^= 1 << bits[e];
    }
    return word >> 10;
}

}  // namespace

int32_t gf16_log(int32_t value) {
    for (int32_t i = 0; i < 15; ++i) {
        if (gf16_powers[i] == value) return i;
    }
    return -1;
}

int32_t decode_format_bch(int32_t word) {
    word &= 0x7FFF;  // only bits 0 to 14 are the code word
    int32_t s[7] = {0};
    for (int32_t i = 0; i < 15; ++i) {
        if (((word >> i) & 1) == 0) continue;
        for (int32_t k = 1; k <= 6; ++k) s[k] ^= power(k * i);
    }
    // Only a word with every syndrome zero is error-free: three errors can
    // cancel in S1 alone (bits 0, 3 and 14, for one).
    if ((s[1] | s[2] | s[3] | s[4] | s[5] | s[6]) == 0) return word >> 10;

    const int32_t e = gf16_log(s[1]);
    if (e >= 0) {
        const int32_t one[1] = {e};
        if (explains(s, one, 1)) return corrected(word, one, 1);
    }
    for (int32_t i = 0; i <= 13; ++i) {
        const int32_t j = gf16_log(s[1] ^ power(i));
        if (j <= i) continue;
        const int32_t two[2] = {i, j};
        if (explains(s, two, 2)) return corrected(word, two, 2);
    }
    for (int32_t i = 0; i <= 12; ++i) {
        for (int32_t j = i + 1; j <= 13; ++j) {
            const int32_t m = gf16_log(s[1] ^ power(i) ^ power(j));
            if (m <= j) continue;
            const int32_t three[3] = {i, j, m};
            if (explains(s, three, 3)) return corrected(word, three, 3);
        }
    }
    return -1;
}

int32_t read_format_information() {
    int32_t data = decode_format_bch(read_copy(kCopy1));
    if (data < 0) data = decode_format_bch(read_copy(kCopy2));
    if (data < 0) return 0;
    S.ec_level = data >> 3;
    S.mask_pattern = data & 7;
    log_line("Error Correction Level %d, mask pattern %d\n", S.ec_level, S.mask_pattern);
    return -1;
}

}  // namespace vorden
