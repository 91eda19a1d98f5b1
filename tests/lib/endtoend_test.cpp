// End to end: rendered symbols through decode_symbol. Damaged, turned,
// blurred, noisy and dim frames and structured append are the golden set's,
// and module-exact sampling of turned symbols is grid_test's.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decoder.h"
#include "renderer.h"
#include "stages.h"
#include "vorden.h"

using namespace vorden;
using namespace vorden::test;

namespace {

struct Read {
    bool ok = false;
    std::string bytes;  // text_length of them, NULs included
    int32_t partial = 0;
};

Read decode(const Image& image, FILE* log = nullptr) {
    Read r;
    const char* text = decode_symbol(image.pixels.data(), image.width, image.height, 8, log);
    if (text == nullptr) return r;
    r.ok = true;
    r.bytes.assign(text, decoder_state.text_length);
    EXPECT_EQ(decoder_query(1, &r.partial), -1);
    return r;
}

struct Case {
    Image image;
    std::string expected;
};

// Every version at every level, the eight masks spread over them.
std::vector<Case> versions_and_levels() {
    std::vector<Case> cases;
    for (int version = 1; version <= 40; ++version)
        for (int l = 0; l < 4; ++l) {
            // Short enough for version 1 at level H.
            const std::string data = "v" + std::to_string(version) + "LMQH"[l];
            const Symbol s =
                encode(Mode::Byte, data,
                       {.version = version, .level = static_cast<Level>(l), .mask = (version + l) % 8});
            cases.push_back({render(s, {.module_px = version < 20 ? 4.0 : 3.0}), data});
        }
    return cases;
}

std::vector<Case> segment_modes() {
    std::string all_bytes;
    for (int b = 255; b >= 0; --b) all_bytes.push_back(static_cast<char>(b));
    const std::vector<std::pair<std::vector<Segment>, int>> streams = {
        {{{Mode::Numeric, std::string(700, '7') + "0"}}, 14},
        {{{Mode::Alphanumeric, "AC-42 $%*+-./:"}}, 2},
        {{{Mode::Byte, all_bytes}}, 12},
        {{{Mode::Byte, std::string("a\0b", 3)}}, 1},
        {{{Mode::Kanji, "\x8a\xbf\x8e\x9a\xe0\x40"}}, 1},
        {{{Mode::Byte, "AB"}, {Mode::Numeric, "123"}}, 1},
        {{{Mode::Kanji, "\x93\x5f"},
          {Mode::Alphanumeric, "QR CODE"},
          {Mode::Numeric, "2026"},
          {Mode::Byte, "\xff!"}},
         3},
        {{{Mode::Numeric, "9"}, {Mode::Byte, "\x80"}}, 27},
    };
    std::vector<Case> cases;
    for (const auto& [segments, version] : streams) {
        std::string expected;
        for (const Segment& segment : segments) expected += segment.data;
        cases.push_back({render(encode(segments, {.version = version})), expected});
    }
    return cases;
}

}  // namespace

// Every frame is a sure read of exactly its bytes.
TEST(EndToEnd, EveryVersionLevelAndSegmentModeReadsSurely) {
    for (auto make : {versions_and_levels, segment_modes}) {
        int k = 0;
        for (const Case& c : make()) {
            const Read r = decode(c.image);
            EXPECT_TRUE(r.ok && r.bytes == c.expected && r.partial == 0)
                << "#" << k << " read as " << r.bytes << ", partial " << r.partial;
            ++k;
        }
    }
}
