// Window texts in the window system's UTF-8, and the event trace.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/text_codec.h"
#include "platform/trace.h"

namespace ostrel::test {
namespace {

TEST(WindowTexts, Utf8IsKeptAsItIs) {
    const std::string utf8 = "カメラが見つかりません。 ✓ 😀";
    EXPECT_TRUE(is_valid_utf8(utf8));
    EXPECT_EQ(window_text_to_utf8(utf8), utf8);
    EXPECT_EQ(window_text_to_utf8("plain ASCII\nline 2"), "plain ASCII\nline 2");
    EXPECT_EQ(window_text_to_utf8(""), "");
}

TEST(WindowTexts, ShiftJisIsDecodedAsCodePage932) {
    // The indicator's three byte pairs.
    EXPECT_EQ(window_text_to_utf8("\x81\x7E"), "×");
    EXPECT_EQ(window_text_to_utf8("\x81\xA2"), "△");
    EXPECT_EQ(window_text_to_utf8("\x81\x9B"), "○");
    // Kanji as a QR Code Kanji segment gives them, with ASCII around.
    EXPECT_EQ(window_text_to_utf8("QR\x83\x52\x81\x5B\x83\x68 \x93\xfa\x96\x7b"), "QRコード 日本");
    // Code page 932 rather than plain Shift JIS: NEC special characters.
    EXPECT_EQ(window_text_to_utf8("\x87\x40"), "①");
    // Half-width katakana are single bytes.
    EXPECT_EQ(window_text_to_utf8("\xB1\xB2"), "ｱｲ");
}

TEST(WindowTexts, BytesThatAreNeitherAreMarkedAndTheRestKept) {
    EXPECT_FALSE(is_valid_utf8("\xC0\xAF"));          // overlong
    EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));      // surrogate
    EXPECT_FALSE(is_valid_utf8("\xE3\x82"));          // cut off
    EXPECT_FALSE(is_valid_utf8("\xF4\x90\x80\x80"));  // past U+10FFFF
    // A lead byte with nothing after it; a byte no character starts with.
    EXPECT_EQ(window_text_to_utf8("A\x83"), "A\xEF\xBF\xBD");
    EXPECT_EQ(window_text_to_utf8("A\x81\x7E\xFF"), "A×\xEF\xBF\xBD");
}

TEST(Trace, LinesAreAppendedOnlyWhenOstrelTraceNamesAFile) {
    namespace fs = std::filesystem;
    const fs::path path = fs::path(::testing::TempDir()) / "ostrel-trace.txt";
    fs::remove(path);
    unsetenv("OSTREL_TRACE");
    trace_beep();
    EXPECT_FALSE(fs::exists(path));

    setenv("OSTREL_TRACE", path.c_str(), 1);
    trace_settext(1003, "\x81\x9B");
    trace_messagebox("not support", "A\n0 32");
    trace_beep();
    trace_settext(1000, "");
    unsetenv("OSTREL_TRACE");
    std::ifstream file(path);
    std::stringstream lines;
    lines << file.rdbuf();
    EXPECT_EQ(lines.str(),
              "settext 1003 819b\n"
              "messagebox 6e6f7420737570706f7274 410a30203332\n"
              "beep\n"
              "settext 1000 \n");
    fs::remove(path);
}

}  // namespace
}  // namespace ostrel::test
