// End to end: rendered symbols through decode_symbol, by category; every
// symbol of every category must read as exactly its text.
#include <gtest/gtest.h>
#include <qrencode.h>

#include <algorithm>
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

void expect_read(const Image& image, const std::string& expected, const std::string& what) {
    const Read r = decode(image);
    EXPECT_TRUE(r.ok && r.bytes == expected) << what << (r.ok ? " read as " + r.bytes : " not read");
}

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

// A version 1 symbol whose data open with an ECI designator, which the
// decoder does not read.
Symbol eci_symbol() {
    QRinput* input = QRinput_new2(1, QR_ECLEVEL_M);
    QRinput_appendECIheader(input, 26);
    QRinput_append(input, QR_MODE_8, 3, reinterpret_cast<const unsigned char*>("eci"));
    QRcode* code = QRcode_encodeInput(input);
    Symbol s{.version = 1, .size = code->width, .dark = {}, .function = {}};
    for (int i = 0; i < code->width * code->width; ++i) s.dark.push_back(code->data[i] & 1);
    QRcode_free(code);
    QRinput_free(input);
    return s;
}

// The two images of equal heights side by side, and one black pixel.
Image beside(const Image& a, const Image& b) {
    Image out{a.width + b.width, a.height, {}};
    for (int y = 0; y < a.height; ++y) {
        out.pixels.insert(out.pixels.end(), a.pixels.begin() + y * a.width,
                          a.pixels.begin() + (y + 1) * a.width);
        out.pixels.insert(out.pixels.end(), b.pixels.begin() + y * b.width,
                          b.pixels.begin() + (y + 1) * b.width);
    }
    out.pixels[0] = 0;
    return out;
}

// The image on a plain margin, and the pass that read it ("mode N" last logged).
Image padded(const Image& image, int margin, uint8_t level) {
    Image out{image.width + 2 * margin, image.height + 2 * margin, {}};
    out.pixels.assign(static_cast<size_t>(out.width) * out.height, level);
    for (int y = 0; y < image.height; ++y)
        std::copy_n(image.pixels.begin() + static_cast<size_t>(y) * image.width, image.width,
                    out.pixels.begin() + static_cast<size_t>(y + margin) * out.width + margin);
    return out;
}

int reading_pass(const Image& image, std::string* bytes) {
    const char* text = nullptr;
    const std::string log = log_of(
        [&](FILE* log) { text = decode_symbol(image.pixels.data(), image.width, image.height, 8, log); });
    *bytes = text == nullptr ? "" : text;
    const size_t at = log.rfind("mode ");
    return text == nullptr || at == std::string::npos ? -1 : log[at + 5] - '0';
}

}  // namespace

TEST(EndToEnd, EveryVersionLevelAndMask) {
    for (int version = 1; version <= 40; ++version) {
        for (int l = 0; l < 4; ++l) {
            // Short enough for version 1 at level H; all eight masks over the levels.
            const std::string data = "v" + std::to_string(version) + "LMQH"[l];
            const Symbol s =
                encode(Mode::Byte, data,
                       {.version = version, .level = static_cast<Level>(l), .mask = (version + l) % 8});
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

TEST(EndToEnd, StructuredAppendHeadersAreReportedAlsoForAHeldProvisionalRead) {
    const std::string text = "Structured append splits this text over several symbols of version one.";
    const std::vector<Symbol> parts = encode_structured(text, 1, Level::M);
    ASSERT_GE(parts.size(), 3u);
    uint8_t parity = 0;
    for (char c : text) parity ^= static_cast<uint8_t>(c);
    std::vector<std::string> read;
    const StructuredAppendInfo* info = nullptr;
    const auto expect_header = [&](size_t position, const Read& r) {
        ASSERT_EQ(decoder_query(2, &info), -1);
        EXPECT_EQ(info->present, -1);
        EXPECT_EQ(info->position, position);
        EXPECT_EQ(info->total, parts.size() - 1);
        EXPECT_EQ(info->parity, parity);
        EXPECT_EQ(info->length, static_cast<int32_t>(r.bytes.size()));
    };
    for (size_t i = 0; i < parts.size(); ++i) {
        const Read r = decode(render(parts[i]));
        ASSERT_TRUE(r.ok && r.partial == 0) << i;
        read.push_back(r.bytes);
        expect_header(i, r);
    }
    std::string joined;
    for (const std::string& part : read) joined += part;
    EXPECT_EQ(joined, text);
    // Part 1 damaged to the full capacity of 1-M (4 codewords), light grey
    // on white, beside a symbol whose ECI designator fails the parse, grey
    // on light grey. Pass 0 sees only the first, which is held back; passes
    // 1 and 2 only the second, whose failed parse clears the live record.
    // The held text must come back with its own header and length.
    Read held;
    const std::string log = log_of([&](FILE* f) {
        held = decode(beside(render(damaged(parts[1], 4), {.dark = 170, .light = 255}),
                             render(eci_symbol(), {.dark = 40, .light = 175})),
                      f);
    });
    const std::string later = log.substr(std::min(log.find("mode 1\n"), log.size()));
    ASSERT_TRUE(later.find("Error Correction Level") != std::string::npos &&
                later.find("error at") == later.npos)
        << "the frame no longer tests what it should:\n"
        << log;
    ASSERT_TRUE(held.ok);
    EXPECT_EQ(held.partial, -1);
    EXPECT_EQ(held.bytes, read[1]);
    expect_header(1, held);
    // A plain symbol afterwards reports no header.
    ASSERT_TRUE(decode(render(encode(Mode::Byte, "plain", {.version = 1}))).ok);
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
    std::string bytes;
    // A dim symbol on a bright page: the mean lies above the symbol's light
    // modules, so pass 0 sees it all dark; pass 1, half-way to the minimum,
    // separates it.
    EXPECT_EQ(reading_pass(padded(render(s, {.dark = 20, .light = 160}), 200, 255), &bytes), 1);
    EXPECT_EQ(bytes, "second pass");
    // Greyer still, with one black pixel setting the minimum: pass 1 falls
    // below the dark modules, pass 2 (a quarter of the way) separates them.
    Image image = padded(render(s, {.dark = 130, .light = 200}), 200, 255);
    image.pixels[0] = 0;
    EXPECT_EQ(reading_pass(image, &bytes), 2);
    EXPECT_EQ(bytes, "second pass");
}

TEST(EndToEnd, DamageUpToCapacityAndProvisionalReads) {
    for (auto [version, level] :
         {std::pair{1, Level::M}, {3, Level::L}, {5, Level::Q}, {10, Level::H}, {22, Level::L}}) {
        const int capacity = ec_block_table[version][static_cast<int>(level)][0][3];
        const Symbol s = encode(Mode::Byte, "damaged", {.version = version, .level = level});
        // One short of capacity in every block: a sure read, not provisional.
        const Read below = decode(render(damaged(s, capacity - 1)));
        EXPECT_TRUE(below.ok && below.bytes == "damaged" && below.partial == 0)
            << version << ": " << below.bytes;
        // Exactly capacity: read, but only provisionally.
        const Read full = decode(render(damaged(s, capacity)));
        EXPECT_TRUE(full.ok && full.bytes == "damaged" && full.partial == -1)
            << version << ": " << full.bytes;
        // Beyond capacity: never the wrong text.
        const Read over = decode(render(damaged(s, capacity + 1)));
        EXPECT_TRUE(!over.ok || over.bytes == "damaged") << version << ": " << over.bytes;
    }
}
