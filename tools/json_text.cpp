#include "json_text.h"

#include <cstddef>
#include <cstdint>

namespace vorden::tools {

namespace {

constexpr char kHex[] = "0123456789abcdef";

// Length of the well-formed UTF-8 sequence at `at`, or 0 when the byte there
// does not start one (the ranges of Unicode Table 3-7).
size_t utf8_sequence(std::string_view s, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
    const uint8_t lead = byte(at);
    if (lead < 0x80) return 1;
    size_t length = 0;
    uint8_t low = 0x80, high = 0xBF;  // bounds of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // overlong
        if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;   // overlong
        if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
        return 0;
    }
    if (at + length > s.size()) return 0;
    if (byte(at + 1) < low || byte(at + 1) > high) return 0;
    for (size_t i = 2; i < length; ++i) {
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
    }
    return length;
}

void append_u00(std::string& out, uint8_t value) {
    out += "\\u00";
    out += kHex[value >> 4];
    out += kHex[value & 15];
}

}  // namespace

bool is_utf8(std::string_view bytes) {
    for (size_t at = 0; at < bytes.size();) {
        const size_t length = utf8_sequence(bytes, at);
        if (length == 0) return false;
        at += length;
    }
    return true;
}

std::string json_string(std::string_view bytes) {
    std::string out = "\"";
    for (size_t at = 0; at < bytes.size();) {
        const size_t length = utf8_sequence(bytes, at);
        const uint8_t c = static_cast<uint8_t>(bytes[at]);
        if (length > 1) {
            out.append(bytes.substr(at, length));
            at += length;
            continue;
        }
        ++at;
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || length == 0) {
                    append_u00(out, c);
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
    return out;
}

std::string hex_bytes(std::string_view bytes) {
    std::string out;
    out.reserve(2 * bytes.size());
    for (const char ch : bytes) {
        const auto c = static_cast<uint8_t>(ch);
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
    return out;
}

}  // namespace vorden::tools
