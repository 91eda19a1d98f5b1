// Data segment decoding: bit streams are written here field by field and
// parsed from data_codewords as the driver would after block correction.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "decoder.h"

using namespace vorden;

namespace {

DecoderState& S = decoder_state;

// A bit stream as (value, width) fields, most significant bit first.
struct Field {
    uint32_t value;
    int width;
};
using Stream = std::vector<Field>;

Stream operator+(Stream a, const Stream& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Stream bytes8(const std::string& bytes) {
    Stream s;
    for (unsigned char c : bytes) s.push_back({c, 8});
    return s;
}

const Stream kEnd = {{0, 4}};

// "42", "E", "q" and one Kanji, with the count widths of a version range.
Stream every_mode(int numeric, int alphanumeric, int byte, int kanji) {
    return Stream{{1, 4}, {2, numeric}, {42, 7},  {2, 4}, {1, alphanumeric}, {14, 6},
                  {4, 4}, {1, byte},    {'q', 8}, {8, 4}, {1, kanji},        {3487, 13}} +
           kEnd;
}

// Loads the stream, zero-filled to a byte boundary, as the data codewords of
// a symbol of `version` with `codewords` data codewords (0: just the stream),
// the rest being the pad codewords 0xEC 0x11, and parses it.
const char* parse(const Stream& stream, int version = 1, int codewords = 0) {
    std::memset(S.data_codewords, 0, sizeof S.data_codewords);
    size_t bit = 0;
    for (const Field& f : stream) {
        for (int i = f.width - 1; i >= 0; --i, ++bit) {
            if ((f.value >> i) & 1) S.data_codewords[bit / 8] |= static_cast<uint8_t>(0x80 >> (bit % 8));
        }
    }
    const int used = static_cast<int>((bit + 7) / 8);
    const int count = codewords != 0 ? codewords : used;
    for (int i = used; i < count; ++i) S.data_codewords[i] = (i - used) % 2 == 0 ? 0xEC : 0x11;
    S.data_codeword_count = count;
    S.symbol_version = version;
    return decode_data_segments();
}

std::string text() {
    return std::string(S.text_buffer, S.text_length);
}

}  // namespace

TEST(DataSegments, DecodesEachMode) {
    struct Case {
        const char* what;
        Stream stream;
        int version;
        std::string expected;
    };
    const Case cases[] = {
        {"numeric single digit", Stream{{1, 4}, {4, 10}, {7, 10}, {3, 4}} + kEnd, 1, "0073"},
        {"alphanumeric", Stream{{2, 4}, {5, 9}, {10 * 45 + 12, 11}, {41 * 45 + 4, 11}, {2, 6}} + kEnd, 1,
         "AC-42"},
        {"kanji both ranges", Stream{{8, 4}, {4, 8}, {3487, 13}, {5952, 13}, {0, 13}, {8191, 13}} + kEnd, 1,
         "\x93\x5F\xE0\x40\x81\x40\xEB\xBF"},
        {"kanji last of first range", Stream{{8, 4}, {1, 8}, {5951, 13}} + kEnd, 1, "\x9F\xFF"},
        // Count widths change at versions 10 and 27 (ISO/IEC 18004 table 3).
        {"v9 widths", every_mode(10, 9, 8, 8), 9, "42Eq\x93\x5F"},
        {"v10 widths", every_mode(12, 11, 16, 10), 10, "42Eq\x93\x5F"},
        {"v26 widths", every_mode(12, 11, 16, 10), 26, "42Eq\x93\x5F"},
        {"v27 widths", every_mode(14, 13, 16, 12), 27, "42Eq\x93\x5F"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const char* result = parse(c.stream, c.version, 40);
        ASSERT_EQ(result, S.text_buffer);
        EXPECT_EQ(text(), c.expected);
        EXPECT_EQ(S.text_length, static_cast<int32_t>(c.expected.size()));
        EXPECT_EQ(result[c.expected.size()], '\0');
        EXPECT_EQ(S.structured_append.present, 0);
        // Read with the widths of a neighbouring version range, the same
        // stream must not give the same text.
        const int other = c.version <= 9 ? 10 : c.version <= 26 ? 27 : 26;
        EXPECT_TRUE(parse(c.stream, other, 40) == nullptr || text() != c.expected) << other;
    }
}

TEST(DataSegments, RejectsBadStreams) {
    const Stream sa_header = {{3, 4}, {1, 4}, {2, 4}, {0x5A, 8}};
    struct Case {
        const char* what;
        Stream stream;
        int codewords;
    };
    const Case cases[] = {
        {"numeric 1000", Stream{{1, 4}, {3, 10}, {1000, 10}} + kEnd, 0},
        {"two digits 100", Stream{{1, 4}, {2, 10}, {100, 7}} + kEnd, 0},
        {"one digit 10", Stream{{1, 4}, {1, 10}, {10, 4}} + kEnd, 0},
        {"alphanumeric pair 2025", Stream{{2, 4}, {2, 9}, {2025, 11}} + kEnd, 0},
        {"alphanumeric single 45", Stream{{2, 4}, {1, 9}, {45, 6}} + kEnd, 0},
        {"only a terminator", kEnd, 19},
        {"empty byte segment", Stream{{4, 4}, {0, 8}} + kEnd, 19},
        {"no codewords", Stream{}, 0},
        {"FNC1 first", Stream{{5, 4}, {0, 16}} + kEnd, 6},
        {"ECI first", Stream{{7, 4}, {26, 8}, {4, 4}, {1, 8}, {'x', 8}} + kEnd, 0},
        {"mode 6", Stream{{6, 4}, {0, 16}} + kEnd, 6},
        {"ECI after a segment", Stream{{4, 4}, {1, 8}, {'x', 8}, {7, 4}, {26, 8}} + kEnd, 8},
        {"structured append later",
         Stream{{4, 4}, {1, 8}, {'a', 8}} + sa_header + Stream{{4, 4}, {1, 8}, {'b', 8}} + kEnd, 0},
        {"header cut short", Stream{{3, 4}, {0, 4}, {1, 4}, {5, 4}}, 0},
        {"count cut short", Stream{{1, 4}, {15, 4}}, 0},
        {"bytes cut short", Stream{{4, 4}, {3, 8}} + bytes8("ab"), 0},
        {"digits cut short", Stream{{1, 4}, {4, 10}, {123, 10}}, 0},
        {"kanji cut short", Stream{{8, 4}, {1, 8}, {0, 12}}, 0},
    };
    for (const Case& c : cases) EXPECT_EQ(parse(c.stream, 1, c.codewords), nullptr) << c.what;
}

// ISO/IEC 18004 7.4.9 lets a symbol whose data fill it exactly shorten or
// omit the terminator; the parse reads nothing past the data codewords.
TEST(DataSegments, StreamEndsWithoutTerminator) {
    const Stream exact = {{1, 4}, {3, 10}, {123, 10}};  // 24 bits
    EXPECT_STREQ(parse(exact), "123");
    const Stream three_left = {{1, 4}, {2, 10}, {45, 7}};
    EXPECT_STREQ(parse(three_left), "45");
    EXPECT_EQ(S.text_length, 2);
    EXPECT_STREQ(parse(Stream{{3, 4}, {3, 4}, {3, 4}, {7, 8}, {4, 4}, {1, 8}, {'k', 8}}), "k");
    EXPECT_EQ(S.structured_append.length, 1);

    // "123" fills three codewords; a segment "Z" follows in the next three.
    EXPECT_STREQ(parse(exact + Stream{{4, 4}, {1, 8}, {'Z', 8}} + kEnd, 1, 6), "123Z");
    S.data_codeword_count = 3;
    EXPECT_STREQ(decode_data_segments(), "123");
}

// Version 40-L: 2956 data codewords hold at most 7089 digits, the buffer's
// capacity. A corrupt codeword count could hold more; it must fail instead.
TEST(DataSegments, ReaderAndTextStayInsideTheirBuffers) {
    Stream full = {{1, 4}, {7089, 14}};  // then 2363 groups of three digits: 2956 bytes exactly
    for (uint32_t i = 0; i < 2363; ++i) full.push_back({i % 1000, 10});
    const char* result = parse(full, 40, 2956);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(std::strlen(result), 7089u);
    EXPECT_EQ(std::string(result + 7083), "361362");

    // Two segments, each within the capacity, together past it.
    Stream split;
    for (int seg = 0; seg < 2; ++seg) {
        split.push_back({1, 4});
        split.push_back({3999, 14});
        for (int i = 0; i < 1333; ++i) split.push_back({123, 10});
    }
    EXPECT_EQ(parse(split + kEnd, 40, 3706), nullptr);
    EXPECT_EQ(S.text_length, 3999);
    EXPECT_EQ(S.text_buffer[7089], '\0');

    // A count beyond data_codewords is held to it; a negative one reads nothing.
    ASSERT_STREQ(parse(Stream{{4, 4}, {1, 16}, {'w', 8}} + kEnd, 40, 3706), "w");
    S.data_codeword_count = 1 << 20;
    EXPECT_STREQ(decode_data_segments(), "w");
    S.data_codeword_count = -5;
    EXPECT_EQ(decode_data_segments(), nullptr);
    EXPECT_EQ(bits_remaining(), 0);
}
