// Reed-Solomon block correction: blocks are encoded here with a generator
// polynomial built from first principles, then damaged and handed back.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "decoder.h"
#include "stages.h"

using namespace vorden;

namespace {

using Block = std::vector<uint8_t>;

// GF(256) multiplication by shift and add, independent of the decoder's tables.
uint8_t mul(uint8_t a, uint8_t b) {
    unsigned product = 0;
    for (unsigned x = a; b != 0; b >>= 1) {
        if (b & 1) product ^= x;
        x = (x << 1) ^ (x & 0x80 ? 0x11D : 0);
    }
    return static_cast<uint8_t>(product);
}

uint8_t alpha_power(int e) {
    uint8_t v = 1;
    while (e-- > 0) v = mul(v, 2);
    return v;
}

// The generator prod (x - alpha^i), i = 0 .. ec-1, highest power first.
Block generator(int ec) {
    Block g{1};
    for (int i = 0; i < ec; ++i) {
        g.push_back(0);
        for (size_t k = g.size() - 1; k > 0; --k) g[k] ^= mul(g[k - 1], alpha_power(i));
    }
    return g;
}

// Systematic code word: the data, then the remainder of data * x^ec modulo
// the generator (highest power first).
Block encode(const Block& data, int ec) {
    const Block g = generator(ec);
    Block work = data;
    work.resize(data.size() + ec, 0);
    for (size_t i = 0; i < data.size(); ++i)
        for (size_t k = 0, f = work[i]; f != 0 && k < g.size(); ++k) work[i + k] ^= mul(g[k], f);
    std::copy(data.begin(), data.end(), work.begin());
    return work;
}

// The block (highest power first) at alpha^i.
uint8_t syndrome(const Block& block, int i) {
    const uint8_t x = alpha_power(i);
    uint8_t sum = 0;
    for (uint8_t b : block) sum = mul(sum, x) ^ b;
    return sum;
}

Block random_block(std::mt19937& rng, int n, int k) {
    Block data(k);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    return encode(data, n - k);
}

// Damages `count` distinct codewords with non-zero values.
Block damage(Block block, int count, std::mt19937& rng) {
    std::vector<int> places(block.size());
    for (size_t i = 0; i < places.size(); ++i) places[i] = static_cast<int>(i);
    std::shuffle(places.begin(), places.end(), rng);
    for (int i = 0; i < count; ++i) block[places[i]] ^= static_cast<uint8_t>(1 + rng() % 255);
    return block;
}

// Runs rs_decode on the block with a log; returns the log.
std::string decode_logged(Block& block, int t, int32_t* result) {
    return vorden::test::log_of(
        [&](FILE*) { *result = rs_decode(block.data(), static_cast<int32_t>(block.size()), t); });
}

struct Shape {
    int n, k, t;
};

}  // namespace

TEST(RsDecode, FieldTablesFollowTheirDefinition) {
    for (int i = 0; i < 255; ++i) {
        ASSERT_EQ(gf_exp[i], alpha_power(i)) << "alpha^" << i;
        ASSERT_EQ(gf_logarithm(gf_exp[i]), i);
    }
    EXPECT_EQ(gf_logarithm(0), -1);
    EXPECT_EQ(gf_logarithm(0x100 | 2), 1);  // only the low eight bits count
}

TEST(RsDecode, CorrectsUpToCapacityAndFlagsFullUse) {
    const Shape shapes[] = {{26, 19, 2}, {26, 9, 8},    {44, 34, 4},    {70, 55, 7},
                            {44, 28, 8}, {100, 80, 10}, {153, 123, 15}, {46, 16, 15}};
    std::mt19937 rng(20240601);
    for (const Shape& s : shapes) {
        // From no error (the block untouched, nothing logged) up to capacity.
        for (int errors = 0; errors <= s.t; ++errors) {
            for (int trial = 0; trial < 8; ++trial) {
                SCOPED_TRACE(std::to_string(s.n) + "," + std::to_string(s.k) + " errors " +
                             std::to_string(errors));
                const Block clean = random_block(rng, s.n, s.k);
                Block block = damage(clean, errors, rng);
                int32_t result = 0;
                const std::string log = decode_logged(block, s.t, &result);
                ASSERT_EQ(result, -1);
                ASSERT_EQ(block, clean);
                ASSERT_EQ(decoder_state.block_clean, errors == s.t ? 0 : -1);
                ASSERT_TRUE(errors > 0 || log.empty()) << log;
            }
        }
    }
}

// Beyond capacity a locator of few errors solved from the first syndromes
// alone often has that many roots inside the block. Taking it would return
// garbage as a sure read: a call either fails, leaving the block alone, or
// returns a code word (all 2t syndromes zero) at most t changes away.
TEST(RsDecode, BeyondCapacityFailsOrReturnsACodeWord) {
    const Shape shapes[] = {{26, 16, 4}, {26, 9, 8}, {153, 123, 15}, {46, 16, 15}, {100, 80, 10}};
    std::mt19937 rng(31337);
    for (const Shape& s : shapes) {
        int successes = 0;
        for (int trial = 0; trial < 60; ++trial) {
            const Block bad = damage(random_block(rng, s.n, s.k), s.n == 100 ? 30 : s.t + 1 + trial % 3, rng);
            Block block = bad;
            int32_t result = 0;
            const std::string log = decode_logged(block, s.t, &result);
            if (result == 0) {
                EXPECT_EQ(block, bad) << "a failed call must leave the block alone";
                EXPECT_EQ(log, "");
                EXPECT_EQ(decoder_state.block_clean, 0);
                continue;
            }
            ++successes;
            int changed = 0;
            for (size_t i = 0; i < block.size(); ++i) changed += block[i] != bad[i];
            EXPECT_LE(changed, s.t);
            for (int i = 0; i < 2 * s.t; ++i) ASSERT_EQ(syndrome(block, i), 0) << "syndrome " << i;
        }
        EXPECT_LE(successes, 3) << s.n << "," << s.k;
    }
}

// Adding a multiple of the degree-2t generator keeps S0 .. S(2t-1) at zero
// while the later syndromes are not: the block must pass as clean.
TEST(RsDecode, MisdecodeProtectionCodewordsAreIgnored) {
    std::mt19937 rng(77);
    for (const Shape& s : {Shape{26, 19, 2}, {26, 9, 8}, {70, 55, 7}}) {
        const Block g = generator(2 * s.t);
        Block block = random_block(rng, s.n, s.k);
        for (size_t i = 0; i < g.size(); ++i) block[3 + i] ^= mul(g[i], 0x35);
        ASSERT_NE(syndrome(block, 2 * s.t), 0);
        const Block altered = block;
        int32_t result = 0;
        EXPECT_EQ(decode_logged(block, s.t, &result), "") << s.n << "," << s.k;
        EXPECT_EQ(result, -1);
        EXPECT_EQ(decoder_state.block_clean, -1);
        EXPECT_EQ(block, altered);
    }
}

TEST(RsDecode, EqualErrorValuesNeedRowExchange) {
    std::mt19937 rng(9);
    const Block clean = random_block(rng, 26, 16);
    Block block = clean;
    block[4] ^= 0x5C;
    block[20] ^= 0x5C;
    ASSERT_EQ(syndrome(block, 0), 0);  // the locator system's first pivot
    ASSERT_NE(syndrome(block, 1), 0);
    EXPECT_EQ(rs_decode(block.data(), 26, 2), -1);
    EXPECT_EQ(block, clean);
    EXPECT_EQ(decoder_state.block_clean, 0);
}
