// End to end: rendered symbols through decode_symbol, each read as exactly
// its text.
#include <gtest/gtest.h>

#include <cstring>
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
    std::string bytes;  // up to text_length, NULs included
    int32_t partial = 0;
    int pass = -1;  // the pass that produced the result, when logged
    std::string log;
};

Read decode(const Image& image, bool logging = false) {
    Read r;
    const char* text = nullptr;
    const auto run = [&](FILE* log) {
        text = decode_symbol(image.pixels.data(), image.width, image.height, 8, log);
    };
    if (logging) {
        r.log = log_of(run);
        const size_t at = r.log.rfind("mode ");
        if (at != std::string::npos) r.pass = r.log[at + 5] - '0';
    } else {
        run(nullptr);
    }
    if (text == nullptr) return r;
    r.ok = true;
    const int32_t length = decoder_state.text_length;
    r.bytes.assign(text, length > 0 && std::memchr(text, 0, length) != nullptr ? length : std::strlen(text));
    EXPECT_EQ(decoder_query(1, &r.partial), -1);
    return r;
}

// Every symbol of the suite must read as exactly its text.
void expect_read(const Image& image, const std::string& expected, const std::string& what) {
    const Read r = decode(image);
    EXPECT_TRUE(r.ok) << "not read: " << what;
    EXPECT_TRUE(!r.ok || r.bytes == expected) << what << " read as \"" << r.bytes << "\"";
}

const Level kLevels[] = {Level::L, Level::M, Level::Q, Level::H};

// Inverts every module of the first `per_block` data codewords of every
// block (raw, interleaved positions j * blocks + b).
Symbol damaged(Symbol s, int per_block) {
    const int(*groups)[4] = ec_block_table[s.version][static_cast<int>(s.level)];
    const int blocks = groups[0][0] + groups[1][0];
    const auto codewords = codeword_modules(s);
    for (int b = 0; b < blocks; ++b)
        for (int j = 0; j < per_block; ++j)
            for (int m : codewords[j * blocks + b]) s.dark[m] ^= 1;
    return s;
}

Image padded(const Image& image, int margin, uint8_t level) {
    Image out{image.width + 2 * margin, image.height + 2 * margin, {}};
    out.pixels.assign(static_cast<size_t>(out.width) * out.height, level);
    for (int y = 0; y < image.height; ++y)
        std::memcpy(&out.pixels[static_cast<size_t>(y + margin) * out.width + margin],
                    &image.pixels[static_cast<size_t>(y) * image.width], image.width);
    return out;
}

}  // namespace

TEST(EndToEnd, EveryVersionLevelAndMask) {
    for (int version = 1; version <= 40; ++version) {
        for (int l = 0; l < 4; ++l) {
            // Short enough for version 1 at level H; all eight masks over the levels.
            const std::string data = "v" + std::to_string(version) + "LMQH"[l];
            const Symbol s = encode(Mode::Byte, data,
                                    {.version = version, .level = kLevels[l], .mask = (version + l) % 8});
            expect_read(render(s, {.module_px = version < 20 ? 4.0 : 3.0}), data, data);
        }
    }
}

TEST(EndToEnd, SegmentModes) {
    std::string all_bytes;
    for (int b = 255; b >= 0; --b) all_bytes.push_back(static_cast<char>(b));
    struct Case {
        std::vector<Segment> segments;
        std::string expected;
        int version;
    };
    const Case cases[] = {
        {{{Mode::Numeric, "01234567"}}, "01234567", 1},
        {{{Mode::Numeric, std::string(700, '7') + "0"}}, std::string(700, '7') + "0", 14},
        {{{Mode::Alphanumeric, "AC-42 $%*+-./:"}}, "AC-42 $%*+-./:", 2},
        {{{Mode::Byte, all_bytes}}, all_bytes, 12},
        {{{Mode::Byte, std::string("a\0b", 3)}}, std::string("a\0b", 3), 1},
        {{{Mode::Kanji, "\x8a\xbf\x8e\x9a\xe0\x40"}}, "\x8a\xbf\x8e\x9a\xe0\x40", 1},
        {{{Mode::Byte, "AB"}, {Mode::Numeric, "123"}}, "AB123", 1},
        {{{Mode::Kanji, "\x93\x5f"},
          {Mode::Alphanumeric, "QR CODE"},
          {Mode::Numeric, "2026"},
          {Mode::Byte, "\xff!"}},
         "\x93\x5fQR CODE2026\xff!",
         3},
        {{{Mode::Numeric, "9"}, {Mode::Byte, "\x80"}}, "9\x80", 27},
    };
    for (const Case& c : cases)
        expect_read(render(encode(c.segments, {.version = c.version})), c.expected,
                    "version " + std::to_string(c.version));
}

TEST(EndToEnd, StructuredAppendHeadersAreReported) {
    const std::string text = "Structured append splits this text over several symbols of version one.";
    const std::vector<Symbol> parts = encode_structured(text, 1, Level::M);
    ASSERT_GE(parts.size(), 3u);
    uint8_t parity = 0;
    for (char c : text) parity ^= static_cast<uint8_t>(c);
    std::string joined;
    const StructuredAppendInfo* info = nullptr;
    for (size_t i = 0; i < parts.size(); ++i) {
        const Read r = decode(render(parts[i]));
        ASSERT_TRUE(r.ok) << i;
        joined += r.bytes;
        ASSERT_EQ(decoder_query(2, &info), -1);
        EXPECT_EQ(info->present, -1);
        EXPECT_EQ(info->position, i);
        EXPECT_EQ(info->total, parts.size() - 1);
        EXPECT_EQ(info->parity, parity);
        EXPECT_EQ(info->length, static_cast<int32_t>(r.bytes.size()));
    }
    EXPECT_EQ(joined, text);
    // A plain symbol afterwards reports no header.
    ASSERT_TRUE(decode(render(encode(Mode::Byte, "plain", {.version = 1}))).ok);
    decoder_query(2, &info);
    EXPECT_EQ(info->present, 0);
}

TEST(EndToEnd, Rotations) {
    for (int version : {1, 3, 7, 15, 25, 40}) {
        const std::string data = "turned " + std::to_string(version);
        const Symbol s = encode(Mode::Byte, data, {.version = version, .level = Level::Q});
        for (double angle : {0.0, 90.0, 180.0, 270.0})
            expect_read(render(s, {.module_px = version > 20 ? 3.0 : 4.0, .angle_deg = angle}), data,
                        data + " at " + std::to_string(angle));
    }
    // Small angles within reach of the finder-distance estimate (versions
    // below 7) and of the version information (7 and up).
    for (auto [version, angle] :
         {std::pair{1, 4.0}, {2, -3.0}, {5, 2.0}, {8, 10.0}, {12, -15.0}, {20, 25.0}, {30, 30.0}})
        expect_read(render(encode(Mode::Byte, "small angle", {.version = version}),
                           {.module_px = 5, .angle_deg = angle}),
                    "small angle", std::to_string(version) + " at " + std::to_string(angle));
}

TEST(EndToEnd, BlurNoiseAndLowContrast) {
    const std::string data = "camera-like";
    for (int version : {2, 6, 10}) {
        const Symbol s = encode(Mode::Byte, data, {.version = version});
        expect_read(render(s, {.module_px = 6, .blur = 1.2}), data, "blur");
        expect_read(render(s, {.module_px = 5, .noise = 25, .seed = static_cast<uint32_t>(version)}), data,
                    "noise");
        expect_read(render(s, {.module_px = 5, .dark = 100, .light = 150}), data, "low contrast");
        expect_read(
            render(s, {.module_px = 6, .blur = 0.8, .noise = 10, .dark = 60, .light = 190, .gradient = 0.15}),
            data, "all at once");
    }
}

TEST(EndToEnd, LaterPassesReadWhatTheMeanThresholdCannot) {
    const Symbol s = encode(Mode::Byte, "second pass", {.version = 2});
    // A dim symbol on a bright page: the mean lies above the symbol's light
    // modules, so pass 0 sees it all dark; pass 1, half-way to the minimum,
    // separates it.
    const Read second = decode(padded(render(s, {.dark = 20, .light = 160}), 200, 255), true);
    EXPECT_EQ(second.bytes, "second pass") << second.log;
    EXPECT_EQ(second.pass, 1);
    // Greyer still, with one black pixel setting the minimum: pass 1 falls
    // below the dark modules, pass 2 (a quarter of the way) separates them.
    Image image = padded(render(s, {.dark = 130, .light = 200}), 200, 255);
    image.pixels[0] = 0;
    const Read third = decode(image, true);
    EXPECT_EQ(third.bytes, "second pass") << third.log;
    EXPECT_EQ(third.pass, 2);
}

TEST(EndToEnd, DamageUpToCapacityAndProvisionalReads) {
    for (auto [version, level] :
         {std::pair{1, Level::M}, {3, Level::L}, {5, Level::Q}, {10, Level::H}, {22, Level::L}}) {
        const int capacity = ec_block_table[version][static_cast<int>(level)][0][3];
        const Symbol s = encode(Mode::Byte, "damaged", {.version = version, .level = level});
        // One short of capacity in every block: a sure read, not provisional.
        const Image below = render(damaged(s, capacity - 1));
        expect_read(below, "damaged", "v" + std::to_string(version));
        EXPECT_EQ(decode(below).partial, 0) << version;
        // Exactly capacity: read, but only provisionally.
        const Read full = decode(render(damaged(s, capacity)));
        EXPECT_EQ(full.bytes, "damaged") << version;
        EXPECT_EQ(full.partial, -1) << version;
        // Beyond capacity: never the wrong text.
        const Read over = decode(render(damaged(s, capacity + 1)));
        EXPECT_TRUE(!over.ok || over.bytes == "damaged") << version << ": " << over.bytes;
    }
}

TEST(EndToEnd, ProvisionalReadReportsItsOwnStructuredAppendHeader) {
    const std::vector<Symbol> parts = encode_structured("held back, then handed out", 1, Level::M);
    ASSERT_GE(parts.size(), 2u);
    const Read r = decode(render(damaged(parts[1], 4)));  // 1-M corrects 4
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.partial, -1);
    const StructuredAppendInfo* info = nullptr;
    ASSERT_EQ(decoder_query(2, &info), -1);
    EXPECT_EQ(info->present, -1);
    EXPECT_EQ(info->position, 1);
    EXPECT_EQ(info->total, parts.size() - 1);
    EXPECT_EQ(info->length, static_cast<int32_t>(r.bytes.size()));
}
