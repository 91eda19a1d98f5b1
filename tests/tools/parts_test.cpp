// The command-line decoder's reduction and JSON escaping, on hand-made inputs.
#include <gtest/gtest.h>

#include <string>

#include "image_input.h"
#include "json_text.h"

using namespace vorden::tools;

namespace {

GreyImage filled(int32_t width, int32_t height, uint8_t value) {
    return GreyImage{width, height, std::vector<uint8_t>(static_cast<size_t>(width) * height, value)};
}

uint8_t& at(GreyImage& image, int32_t x, int32_t y) {
    return image.pixels[static_cast<size_t>(y) * image.width + x];
}

TEST(CameraReduction, TheLargerQuotientSetsTheFactorAndBlockMeansRoundDown) {
    GreyImage small = filled(1279, 1279, 9);
    EXPECT_FALSE(reduce_like_camera(small));
    EXPECT_EQ(small.width, 1279);
    // 1281 x 3: f = max(2, 0) = 2, into 641 x 2; edge blocks count only their pixels.
    GreyImage image = filled(1281, 3, 0);
    at(image, 0, 0) = 255;  // block (0, 0): (255 + 0 + 0 + 0) / 4 = 63
    at(image, 2, 0) = 3;
    at(image, 3, 1) = 2;      // block (1, 0): 5 / 4 = 1
    at(image, 1280, 0) = 77;  // block (640, 0): 1 x 2 pixels, (77 + 0) / 2 = 38
    at(image, 1280, 2) = 90;  // block (640, 1): the corner pixel alone
    at(image, 4, 2) = 201;
    at(image, 5, 2) = 100;  // block (2, 1): 1 row, (201 + 100) / 2 = 150
    ASSERT_TRUE(reduce_like_camera(image));
    ASSERT_EQ(image.width, 641);
    ASSERT_EQ(image.height, 2);
    EXPECT_EQ(at(image, 0, 0), 63);
    EXPECT_EQ(at(image, 1, 0), 1);
    EXPECT_EQ(at(image, 640, 0), 38);
    EXPECT_EQ(at(image, 640, 1), 90);
    EXPECT_EQ(at(image, 2, 1), 150);
    EXPECT_EQ(at(image, 3, 1), 0);
    // A tall frame: f = max(700 / 640, 1920 / 640) = 3.
    GreyImage tall = filled(700, 1920, 0);
    for (int y = 0; y < 3; ++y) at(tall, 699, y) = 60;  // the last column's block is 1 pixel wide
    ASSERT_TRUE(reduce_like_camera(tall));
    EXPECT_EQ(tall.width, 234);
    EXPECT_EQ(tall.height, 640);
    EXPECT_EQ(at(tall, 233, 0), 60);
}

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
