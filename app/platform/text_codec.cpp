// Window texts to UTF-8.
#include "platform/text_codec.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>

#include "json_text.h"

namespace ostrel {

std::string window_text_to_utf8(std::string_view bytes) {
    if (vorden::tools::is_utf8(bytes)) return std::string(bytes);
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
