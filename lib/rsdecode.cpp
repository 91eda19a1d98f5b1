// Reed-Solomon block correction over GF(256), for the small capacities of
// ISO/IEC 18004 (at most 15 errors a block): the error locator from the
// syndromes, its roots by Chien search, the error values from the syndrome
// equations solved as a linear system, and a correction taken only when it
// accounts for every syndrome.
#include <cstring>

#include "decoder.h"

namespace vorden {

// ---------------------------------------------------------------------------
// Field tables: alpha = 2 over x^8 + x^4 + x^3 + x^2 + 1 (0x11D), the field of
// ISO/IEC 18004. gf_exp[i] = alpha^i; every index is reduced mod 255 first.

const uint8_t gf_exp[255] = {
    1,   2,   4,   8,   16,  32,  64,  128, 29,  58,  116, 232, 205, 135, 19,  38,  76,  152, 45,  90,
    180, 117, 234, 201, 143, 3,   6,   12,  24,  48,  96,  192, 157, 39,  78,  156, 37,  74,  148, 53,
    106, 212, 181, 119, 238, 193, 159, 35,  70,  140, 5,   10,  20,  40,  80,  160, 93,  186, 105, 210,
    185, 111, 222, 161, 95,  190, 97,  194, 153, 47,  94,  188, 101, 202, 137, 15,  30,  60,  120, 240,
    253, 231, 211, 187, 107, 214, 177, 127, 254, 225, 223, 163, 91,  182, 113, 226, 217, 175, 67,  134,
    17,  34,  68,  136, 13,  26,  52,  104, 208, 189, 103, 206, 129, 31,  62,  124, 248, 237, 199, 147,
    59,  118, 236, 197, 151, 51,  102, 204, 133, 23,  46,  92,  184, 109, 218, 169, 79,  158, 33,  66,
    132, 21,  42,  84,  168, 77,  154, 41,  82,  164, 85,  170, 73,  146, 57,  114, 228, 213, 183, 115,
    230, 209, 191, 99,  198, 145, 63,  126, 252, 229, 215, 179, 123, 246, 241, 255, 227, 219, 171, 75,
    150, 49,  98,  196, 149, 55,  110, 220, 165, 87,  174, 65,  130, 25,  50,  100, 200, 141, 7,   14,
    28,  56,  112, 224, 221, 167, 83,  166, 81,  162, 89,  178, 121, 242, 249, 239, 195, 155, 43,  86,
    172, 69,  138, 9,   18,  36,  72,  144, 61,  122, 244, 245, 247, 243, 251, 235, 203, 139, 11,  22,
    44,  88,  176, 125, 250, 233, 207, 131, 27,  54,  108, 216, 173, 71,  142,
};

// Entry 0 doubles as the built-mark: a zeroed state means "not built yet",
// and -1 is also the answer for log 0, which no correct caller asks for.
int32_t gf_logarithm(int32_t value) {
    int16_t* table = decoder_state.gf_log;
    if (table[0] == 0) {
        table[0] = -1;
        for (int32_t i = 0; i < 255; ++i) table[gf_exp[i]] = static_cast<int16_t>(i);
    }
    return table[value & 0xFF];
}

namespace {

// The largest capacity and block length of the block table; the working
// storage below is sized for them.
constexpr int32_t kMaxCapacity = 15;
constexpr int32_t kMaxLength = 153;

// Product of two non-zero elements given by their logarithms.
inline uint8_t exp_of(int32_t log_sum) {
    return gf_exp[log_sum % 255];
}

// The field's logarithms, and its powers over two periods so that a sum of
// two logarithms needs no reduction, worked out when compiling.
struct FieldTables {
    uint8_t log[256];
    uint8_t exp2[510];
};
constexpr FieldTables field_tables() {
    FieldTables t{};
    int32_t v = 1;
    for (int32_t i = 0; i < 255; ++i) {
        t.exp2[i] = t.exp2[i + 255] = static_cast<uint8_t>(v);
        t.log[v] = static_cast<uint8_t>(i);
        v <<= 1;
        if (v & 0x100) v ^= 0x11D;
    }
    return t;
}
constexpr FieldTables kField = field_tables();

// Every product, for the eliminations, whose inner loop multiplies a whole
// row by one factor: that factor's 256 products are all it reads.
struct Products {
    uint8_t of[256][256];
};
constexpr Products products() {
    Products t{};
    for (int32_t x = 1; x < 256; ++x) {
        for (int32_t y = 1; y < 256; ++y) t.of[x][y] = kField.exp2[kField.log[x] + kField.log[y]];
    }
    return t;
}
constexpr Products kProducts = products();

// True when errors of these values at these positions account for every one
// of the 2t syndromes, i.e. the corrected block is a code word.
bool explains_syndromes(const uint8_t* syndromes, int32_t count, const int32_t* positions,
                        const uint8_t* values, int32_t v) {
    for (int32_t i = 0; i < count; ++i) {
        uint8_t sum = syndromes[i];
        for (int32_t j = 0; j < v; ++j) {
            if (values[j] != 0) sum ^= exp_of(kField.log[values[j]] + positions[j] * i);
        }
        if (sum != 0) return false;
    }
    return true;
}

// x * alpha^i for every byte x and every i < 2 x kMaxCapacity, worked out
// when compiling: multiplying by alpha is a shift with reduction by 0x11D.
struct PowerProducts {
    uint8_t by[2 * kMaxCapacity][256];
};
constexpr PowerProducts power_products() {
    PowerProducts t{};
    for (int32_t x = 0; x < 256; ++x) {
        int32_t v = x;
        for (int32_t i = 0; i < 2 * kMaxCapacity; ++i) {
            t.by[i][x] = static_cast<uint8_t>(v);
            v <<= 1;
            if (v & 0x100) v ^= 0x11D;
        }
    }
    return t;
}
constexpr PowerProducts kPowerProducts = power_products();

// The block as a polynomial, first codeword the highest power, at alpha^i,
// by Horner's rule: one table look-up per codeword. Most blocks are clean,
// so this is most of the work of the corrector.
uint8_t syndrome(const uint8_t* block, int32_t n, int32_t i) {
    const uint8_t* times = kPowerProducts.by[i];
    uint8_t sum = 0;
    for (int32_t p = 0; p < n; ++p) sum = times[sum] ^ block[p];
    return sum;
}

// The shortest linear recurrence the first `count` syndromes follow, by the
// Berlekamp-Massey algorithm: its length v, and locator[j] for
// S(i+v) = sum_j locator[j] S(i+j), j < v, when v <= kMaxCapacity.
int32_t shortest_recurrence(const uint8_t* syndromes, int32_t count, uint8_t* locator) {
    // C(z) = 1 + c1 z + ... + cL z^L; B the last C before L grew.
    uint8_t c[2 * kMaxCapacity + 1] = {1};
    uint8_t b[2 * kMaxCapacity + 1] = {1};
    int32_t length = 0, shift = 1;
    uint8_t last = 1;
    for (int32_t i = 0; i < count; ++i) {
        uint8_t d = syndromes[i];
        for (int32_t k = 1; k <= length; ++k) d ^= kProducts.of[c[k]][syndromes[i - k]];
        if (d == 0) {
            ++shift;
            continue;
        }
        const uint8_t* by = kProducts.of[kProducts.of[d][kField.exp2[255 - kField.log[last]]]];
        uint8_t before[2 * kMaxCapacity + 1];
        std::memcpy(before, c, sizeof c);
        for (int32_t k = 0; k + shift <= count; ++k) c[k + shift] ^= by[b[k]];
        if (2 * length <= i) {
            length = i + 1 - length;
            std::memcpy(b, before, sizeof b);
            last = d;
            shift = 1;
        } else {
            ++shift;
        }
    }
    if (length <= kMaxCapacity) {
        for (int32_t j = 0; j < length; ++j) locator[j] = c[length - j];
    }
    return length;
}

// Points the row references at fresh v x (v+1) storage.
void attach_rows(uint8_t (*storage)[kMaxCapacity + 1], uint8_t** rows, int32_t v) {
    for (int32_t i = 0; i < v; ++i) rows[i] = storage[i];
}

}  // namespace

// ---------------------------------------------------------------------------
// Gaussian elimination over GF(256) on an n x (n+1) augmented matrix. Rows
// are exchanged by swapping references, never by copying bytes.

int32_t solve_gf_system(uint8_t** rows, int32_t n) {
    for (int32_t i = 0; i < n; ++i) {
        if (rows[i][i] == 0) {
            int32_t k = i + 1;
            while (k < n && rows[k][i] == 0) ++k;
            if (k == n) return 0;
            uint8_t* swap = rows[i];
            rows[i] = rows[k];
            rows[k] = swap;
        }
        uint8_t* pivot_row = rows[i];
        const uint8_t* inverse = kProducts.of[kField.exp2[255 - kField.log[pivot_row[i]]]];
        for (int32_t c = i; c <= n; ++c) pivot_row[c] = inverse[pivot_row[c]];
        for (int32_t r = i + 1; r < n; ++r) {
            uint8_t* row = rows[r];
            const uint8_t f = row[i];
            if (f == 0) continue;
            const uint8_t* by = kProducts.of[f];
            for (int32_t c = i; c <= n; ++c) row[c] ^= by[pivot_row[c]];
        }
    }
    // The matrix is now unit upper triangular: each right-hand side, once its
    // own row is final, is that variable's value.
    for (int32_t i = n - 1; i >= 1; --i) {
        const uint8_t value = rows[i][n];
        if (value == 0) continue;
        const uint8_t* by = kProducts.of[value];
        for (int32_t j = 0; j < i; ++j) rows[j][n] ^= by[rows[j][i]];
    }
    return -1;
}

// ---------------------------------------------------------------------------
// Block correction.

int32_t rs_decode(uint8_t* block, int32_t length, int32_t capacity) {
    DecoderState& s = decoder_state;
    s.block_clean = -1;
    // The block table never asks for more; anything else would run past the
    // fixed working storage (and past the 255 distinct positions of the field).
    if (capacity < 0 || capacity > kMaxCapacity || length < 0 || length > kMaxLength) {
        s.block_clean = 0;
        return 0;
    }
    const int32_t n = length;
    const int32_t t = capacity;

    // Only 2t syndromes: the extra codewords of the small symbols guard
    // against misdecodes and are never used for correction.
    uint8_t syndromes[2 * kMaxCapacity + 2] = {};
    bool any_syndrome = false;
    for (int32_t i = 0; i < 2 * t; ++i) {
        syndromes[i] = syndrome(block, n, i);
        if (syndromes[i] != 0) any_syndrome = true;
    }
    if (!any_syndrome) return -1;

    uint8_t storage[kMaxCapacity][kMaxCapacity + 1];
    uint8_t* rows[kMaxCapacity];
    int32_t positions[kMaxCapacity + 1];
    uint8_t values[kMaxCapacity + 1];

    // The locator is the shortest linear recurrence S(i+v) = sum_j x_j S(i+j)
    // that the syndromes follow (Berlekamp-Massey). When the block is within
    // t errors of a code word, v is the number of errors and x the locator
    // of that unique word; when it is not, no locator passes the checks
    // below, whichever is found.
    uint8_t locator[kMaxCapacity];
    const int32_t v = shortest_recurrence(syndromes, 2 * t, locator);
    if (v < 1 || v > t) {
        s.block_clean = 0;
        return 0;
    }

    // Chien search over the block's own positions: a root at alpha^-d
    // marks an error in the codeword d places from the end. Term j is
    // locator[j] alpha^((v - j)(255 - d)); its logarithm falls by v - j
    // from one position to the next.
    int32_t term_log[kMaxCapacity];
    for (int32_t j = 0; j < v; ++j) term_log[j] = kField.log[locator[j]];
    int32_t found = 0;
    for (int32_t d = 0; d < n; ++d) {
        uint8_t sum = 1;
        for (int32_t j = 0; j < v; ++j) {
            if (locator[j] != 0) sum ^= kField.exp2[term_log[j]];
            term_log[j] -= v - j;
            if (term_log[j] < 0) term_log[j] += 255;
        }
        if (sum != 0) continue;
        if (found == v) {
            s.block_clean = 0;
            return 0;
        }
        positions[found++] = d;
    }
    if (found < v) {
        s.block_clean = 0;
        return 0;
    }

    // Values: sum_j Y_j alpha^(d_j i) = S(i) for i = 0 .. v-1.
    attach_rows(storage, rows, v);
    for (int32_t i = 0; i < v; ++i) {
        for (int32_t j = 0; j < v; ++j) rows[i][j] = exp_of(positions[j] * i);
        rows[i][v] = syndromes[i];
    }
    if (!solve_gf_system(rows, v)) {
        s.block_clean = 0;
        return 0;
    }
    for (int32_t j = 0; j < v; ++j) values[j] = rows[j][v];
    // A locator found from the first 2v syndromes alone can be a false
    // one when the block holds more errors than the capacity; it would
    // turn the block into garbage that passes for a clean read. Only a
    // correction that leaves every syndrome zero is taken.
    if (!explains_syndromes(syndromes, 2 * t, positions, values, v)) {
        s.block_clean = 0;
        return 0;
    }

    // Both systems are solved: only now is the block touched.
    for (int32_t j = 0; j < v; ++j) {
        block[n - 1 - positions[j]] ^= values[j];
        log_line("error at %d val %d\n", positions[j], values[j]);
    }
    log_line("total %d errors\n", v);
    // A correction that used the whole capacity may be a misdecode.
    if (v == t) s.block_clean = 0;
    return -1;
}

}  // namespace vorden
