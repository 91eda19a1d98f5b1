// Window texts to UTF-8.
#include "platform/text_codec.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>

namespace ostrel {

bool is_valid_utf8(std::string_view bytes) {
    size_t k = 0;
    while (k < bytes.size()) {
        const auto lead = static_cast<uint8_t>(bytes[k]);
        size_t length;
        uint32_t minimum;
        uint32_t code;
        if (lead < 0x80) {
            ++k;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2, minimum = 0x80, code = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, minimum = 0x800, code = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4, minimum = 0x10000, code = lead & 0x07;
        } else {
            return false;
        }
        if (k + length > bytes.size()) return false;
        for (size_t n = 1; n < length; ++n) {
            const auto next = static_cast<uint8_t>(bytes[k + n]);
            if ((next & 0xC0) != 0x80) return false;
            code = (code << 6) | (next & 0x3F);
        }
        // Overlong forms, surrogates and code points past Unicode are not
        // UTF-8.
        if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        k += length;
    }
    return true;
}

std::string window_text_to_utf8(std::string_view bytes) {
    if (is_valid_utf8(bytes)) return std::string(bytes);
    iconv_t converter = iconv_open("UTF-8", "CP932");
    if (converter == reinterpret_cast<iconv_t>(-1)) return std::string(bytes.size(), '?');
    std::string out;
    char buffer[256];
    auto* in = const_cast<char*>(bytes.data());
    size_t in_left = bytes.size();
    while (in_left > 0) {
        char* cursor = buffer;
        size_t out_left = sizeof buffer;
        const size_t result = iconv(converter, &in, &in_left, &cursor, &out_left);
        out.append(buffer, static_cast<size_t>(cursor - buffer));
        if (result != static_cast<size_t>(-1) || errno == E2BIG) continue;
        // An invalid or cut-off sequence: mark it and go on after its first
        // byte.
        out += "\xEF\xBF\xBD";
        ++in;
        --in_left;
        iconv(converter, nullptr, nullptr, nullptr, nullptr);
    }
    iconv_close(converter);
    return out;
}

}  // namespace ostrel
