// JSON string literals for byte strings that need not be UTF-8.
#ifndef VORDEN_TOOLS_JSON_TEXT_H
#define VORDEN_TOOLS_JSON_TEXT_H

#include <string>
#include <string_view>

namespace vorden::tools {

// True when the bytes are well-formed UTF-8 (no overlong forms, no
// surrogates, nothing above U+10FFFF).
bool is_utf8(std::string_view bytes);

// The bytes as a quoted JSON string. Well-formed UTF-8 sequences are kept as
// they are; every byte that is not part of one becomes \u00XX with the
// byte's value (so such a byte reads back as the Latin-1 character of that
// value). Quote, backslash and control characters are escaped.
std::string json_string(std::string_view bytes);

// Lower-case hexadecimal, two digits per byte.
std::string hex_bytes(std::string_view bytes);

}  // namespace vorden::tools

#endif
