// Data segment decoding: reads the corrected data codewords as one bit stream
// and turns its numeric, alphanumeric, 8-bit byte and Kanji segments into
// text.
#include <cstring>

#include "decoder.h"

namespace vorden {

const char alphanumeric_table[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ $%*+-./:";

namespace {

// Mode indicators of ISO/IEC 18004 (table 2).
constexpr uint32_t kModeTerminator = 0;
constexpr uint32_t kModeNumeric = 1;
constexpr uint32_t kModeAlphanumeric = 2;
constexpr uint32_t kModeStructuredAppend = 3;
constexpr uint32_t kModeByte = 4;
constexpr uint32_t kModeKanji = 8;

// Characters text_buffer holds before its terminating zero: the 7089 digits
// of a version 40-L symbol, the most any valid stream yields.
constexpr int32_t kTextCapacity = static_cast<int32_t>(sizeof decoder_state.text_buffer) - 1;

// Bytes of data_codewords the reader may walk: the stream length, but never
// past the buffer even if the count were corrupt.
int32_t stream_bytes() {
    const int32_t count = decoder_state.data_codeword_count;
    const int32_t room = static_cast<int32_t>(sizeof decoder_state.data_codewords);
    if (count < 0) return 0;
    return count < room ? count : room;
}

// Character count indicator widths (ISO/IEC 18004 table 3), by version range.
int32_t count_width(uint32_t mode, int32_t version) {
    const int32_t range = version <= 9 ? 0 : version <= 26 ? 1 : 2;
    static const int32_t widths[4][3] = {{10, 12, 14}, {9, 11, 13}, {8, 16, 16}, {8, 10, 12}};
    switch (mode) {
        case kModeNumeric:
            return widths[0][range];
        case kModeAlphanumeric:
            return widths[1][range];
        case kModeByte:
            return widths[2][range];
        default:
            return widths[3][range];
    }
}

void append(char c) {
    DecoderState& s = decoder_state;
    s.text_buffer[s.text_length++] = c;
}

// Appends value as exactly `digits` decimal digits, with leading zeros.
void append_digits(uint32_t value, int32_t digits) {
    char* out = decoder_state.text_buffer + decoder_state.text_length;
    for (int32_t i = digits - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    decoder_state.text_length += digits;
}

bool decode_numeric(int32_t count) {
    while (count >= 3) {
        const uint32_t v = read_bits(10);
        if (v > 999) return false;
        append_digits(v, 3);
        count -= 3;
    }
    if (count == 2) {
        const uint32_t v = read_bits(7);
        if (v > 99) return false;
        append_digits(v, 2);
    } else if (count == 1) {
        const uint32_t v = read_bits(4);
        if (v > 9) return false;
        append_digits(v, 1);
    }
    return true;
}

bool decode_alphanumeric(int32_t count) {
    for (; count >= 2; count -= 2) {
        const uint32_t v = read_bits(11);
        if (v >= 45 * 45) return false;
        append(alphanumeric_char(static_cast<int32_t>(v / 45)));
        append(alphanumeric_char(static_cast<int32_t>(v % 45)));
    }
    if (count == 1) {
        const uint32_t v = read_bits(6);
        if (v >= 45) return false;
        append(alphanumeric_char(static_cast<int32_t>(v)));
    }
    return true;
}

// No ECI or character-set interpretation: bytes go out as coded, zero bytes
// included.
void decode_byte(int32_t count) {
    for (int32_t i = 0; i < count; ++i) append(static_cast<char>(read_bits(8)));
}

// Kanji characters come out as their two-byte Shift JIS codes: 13-bit values
// from 5952 up belong to the second range, from 0xE040.
void decode_kanji(int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
        const uint32_t v = read_bits(13);
        uint32_t high = v / 192 + 0x81;
        const uint32_t low = v % 192 + 0x40;
        if (high > 0x9F) high += 0x40;
        append(static_cast<char>(high));
        append(static_cast<char>(low));
    }
}

// One segment after its mode indicator: count, data, characters.
bool decode_segment(uint32_t mode) {
    if (mode != kModeNumeric && mode != kModeAlphanumeric && mode != kModeByte && mode != kModeKanji) {
        return false;
    }
    const int32_t width = count_width(mode, decoder_state.symbol_version);
    if (bits_remaining() < width) return false;
    const int32_t count = static_cast<int32_t>(read_bits(width));

    int32_t needed = 0;
    int32_t chars = count;
    switch (mode) {
        case kModeNumeric:
            needed = count / 3 * 10 + (count % 3 == 1 ? 4 : count % 3 == 2 ? 7 : 0);
            break;
        case kModeAlphanumeric:
            needed = count / 2 * 11 + (count % 2 == 1 ? 6 : 0);
            break;
        case kModeByte:
            needed = count * 8;
            break;
        default:
            needed = count * 13;
            chars = count * 2;
            break;
    }
    if (bits_remaining() < needed) return false;
    // A valid stream cannot fill the buffer; a corrupt stream length could.
    if (chars > kTextCapacity - decoder_state.text_length) return false;

    switch (mode) {
        case kModeNumeric:
            return decode_numeric(count);
        case kModeAlphanumeric:
            return decode_alphanumeric(count);
        case kModeByte:
            decode_byte(count);
            return true;
        default:
            decode_kanji(count);
            return true;
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Bit reader over data_codewords, most significant bit first.

void reset_bit_reader() {
    decoder_state.bit_cursor = decoder_state.data_codewords;
    decoder_state.bit_offset = 0;
}

int32_t bits_remaining() {
    const DecoderState& s = decoder_state;
    if (s.bit_cursor == nullptr) return 0;
    const int32_t passed = static_cast<int32_t>(s.bit_cursor - s.data_codewords);
    return 8 * stream_bytes() - (8 * passed + s.bit_offset);
}

// Past the end of the stream there is nothing to read: the bits up to it
// are read, any after it are 0, and the reader stays at the end.
uint32_t read_bits(int32_t n) {
    DecoderState& s = decoder_state;
    const int32_t available = bits_remaining();
    uint32_t value = 0;
    for (int32_t i = 0; i < n; ++i) {
        value <<= 1;
        if (i >= available) continue;
        value |= static_cast<uint32_t>(*s.bit_cursor >> (7 - s.bit_offset)) & 1;
        if (++s.bit_offset == 8) {
            s.bit_offset = 0;
            ++s.bit_cursor;
        }
    }
    return value;
}

int32_t read_bit() {
    return static_cast<int32_t>(read_bits(1));
}

char alphanumeric_char(int32_t value) {
    if (value < 0 || value >= 45) return '\0';
    return alphanumeric_table[value];
}

// ---------------------------------------------------------------------------
// The parse loop.

const char* decode_data_segments() {
    DecoderState& s = decoder_state;
    s.text_length = 0;
    std::memset(s.text_buffer, 0, sizeof s.text_buffer);
    std::memset(&s.structured_append, 0, sizeof s.structured_append);
    reset_bit_reader();

    bool first_segment = true;
    while (bits_remaining() >= 4) {
        uint32_t mode = read_bits(4);
        if (mode == kModeTerminator) break;
        // Structured append (ISO/IEC 18004 8) is understood only as the
        // stream's header; the indicator after it names the first segment.
        if (first_segment && mode == kModeStructuredAppend) {
            if (bits_remaining() < 20) return nullptr;
            s.structured_append.present = -1;
            s.structured_append.position = static_cast<uint8_t>(read_bits(4));
            s.structured_append.total = static_cast<uint8_t>(read_bits(4));
            s.structured_append.parity = static_cast<uint8_t>(read_bits(8));
            mode = read_bits(4);
        }
        first_segment = false;
        if (!decode_segment(mode)) return nullptr;
    }
    // Leaving the loop with fewer than 4 bits and no terminator is a symbol
    // whose data fill it exactly: ISO/IEC 18004 7.4.9 lets such a symbol
    // shorten or omit the terminator, so its text stands like any other.
    if (s.text_length == 0) return nullptr;
    if (s.structured_append.present == -1) s.structured_append.length = s.text_length;
    return s.text_buffer;
}

}  // namespace vorden
