// The window texts of the application are narrow strings: the design's own
// texts in UTF-8, the status indicator in the Japanese code page (932), and
// decoded symbols as the bytes they carry (Shift JIS for Kanji, often UTF-8
// today). The window system takes UTF-8.
#ifndef OSTREL_PLATFORM_TEXT_CODEC_H
#define OSTREL_PLATFORM_TEXT_CODEC_H

#include <string>
#include <string_view>

namespace ostrel {

// The bytes as UTF-8: unchanged when they are valid UTF-8, otherwise decoded
// as code page 932, a byte that is not part of a valid character becoming
// U+FFFD.
std::string window_text_to_utf8(std::string_view bytes);

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_TEXT_CODEC_H
