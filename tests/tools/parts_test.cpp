// The command-line decoder's JSON escaping, on hand-made inputs.
#include <gtest/gtest.h>

#include <string>

#include "json_text.h"

using namespace vorden::tools;

namespace {

TEST(JsonText, EscapesWhatJsonNeedsKeepsUtf8AndTurnsOtherBytesIntoLatin1Escapes) {
    struct Case {
        std::string bytes, json;
        bool utf8;
    };
    for (const Case& c : {
             Case{"", "", true}, Case{"a\"b\\c/", "a\\\"b\\\\c/", true},
             Case{"\b\f\n\r\t\x01\x1f\x7f", "\\b\\f\\n\\r\\t\\u0001\\u001f\x7f", true},
             Case{std::string("a\0b", 3), "a\\u0000b", true},
             Case{"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
                  true},
             Case{"\xff", "\\u00ff", false}, Case{"\x80x", "\\u0080x", false},  // a lone continuation byte
             Case{"\xc0\x80", "\\u00c0\\u0080", false},                         // overlong NUL
             Case{"\xe0\x80\xaf", "\\u00e0\\u0080\\u00af", false},              // overlong '/'
             Case{"\xed\xa0\x80", "\\u00ed\\u00a0\\u0080", false},              // a surrogate
             Case{"\xf4\x90\x80\x80", "\\u00f4\\u0090\\u0080\\u0080", false},   // above U+10FFFF
             Case{"\xe2\x82", "\\u00e2\\u0082", false},                         // cut short at the end
             Case{"\x93\x5f", "\\u0093_", false},             // Shift JIS, as Kanji mode gives it
             Case{"\xc3\xa9\xa9", "\xc3\xa9\\u00a9", false},  // a good sequence, then a stray byte
         }) {
        EXPECT_EQ(json_string(c.bytes), "\"" + c.json + "\"") << hex_bytes(c.bytes);
        EXPECT_EQ(is_utf8(c.bytes), c.utf8) << hex_bytes(c.bytes);
    }
    EXPECT_EQ(hex_bytes(std::string("\x00\x9a\xff", 3)), "009aff");
}

}  // namespace
