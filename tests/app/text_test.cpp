// Window texts in the window system's UTF-8.
#include <gtest/gtest.h>

#include <string>

#include "platform/text_codec.h"

namespace ostrel::test {
namespace {

TEST(WindowTexts, Utf8IsKeptAndAnythingElseIsCodePage932) {
    struct Case {
        std::string bytes, utf8;
    };
    for (const Case& c : {
             Case{"カメラが見つかりません。 ✓ 😀", "カメラが見つかりません。 ✓ 😀"},
             Case{"\x81\x7E\x81\xA2\x81\x9B", "×△○"},  // the indicator's three byte pairs
             // Kanji as a QR Code Kanji segment gives them, with ASCII around.
             Case{"QR\x83\x52\x81\x5B\x83\x68 \x93\xfa\x96\x7b", "QRコード 日本"},
             Case{"\x87\x40", "①"},   // code page 932 rather than plain Shift JIS: NEC special characters
             Case{"\xB1\xB2", "ｱｲ"},  // half-width katakana are single bytes
             Case{"A\x83", "A\xEF\xBF\xBD"},  // neither: a lead byte with nothing after it is marked
             Case{"ASCII only", "ASCII only"},
         })
        EXPECT_EQ(window_text_to_utf8(c.bytes), c.utf8);
}

}  // namespace
}  // namespace ostrel::test
