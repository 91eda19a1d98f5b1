// End to end: rendered symbols through decode_symbol, by category, each with
// a floor on its read rate.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
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
    int pass = -1;  // the pass that produced the result
    std::string log;
};

Read decode(const Image& image, bool logging = false) {
    Read r;
    char* buffer = nullptr;
    size_t size = 0;
    FILE* log = logging ? open_memstream(&buffer, &size) : nullptr;
    const char* text = decode_symbol(image.pixels.data(), image.width, image.height, 8, log);
    if (log != nullptr) {
        std::fclose(log);
        r.log.assign(buffer, size);
        std::free(buffer);
        const size_t at = r.log.rfind("mode ");
        if (at != std::string::npos) r.pass = r.log[at + 5] - '0';
    }
    if (text == nullptr) return r;
    r.ok = true;
    const int32_t length = decoder_state.text_length;
    r.bytes.assign(text, length > 0 && std::memchr(text, 0, length) != nullptr ? length : std::strlen(text));
    EXPECT_EQ(decoder_query(1, &r.partial), -1);
    return r;
}

// Counts reads that return exactly `expected`, and holds the category to
// its floor when it goes out of scope.
class Category {
  public:
    Category(std::string name, double floor) : name_(std::move(name)), floor_(floor) {}
    ~Category() {
        const double rate = total_ == 0 ? 0 : static_cast<double>(read_) / total_;
        std::printf("[ category ] %s: %d of %d read (%.0f%%)\n", name_.c_str(), read_, total_, 100 * rate);
        EXPECT_GE(rate, floor_) << name_;
        EXPECT_EQ(wrong_, 0) << name_ << ": texts read wrong";
    }
    void check(const Image& image, const std::string& expected, const std::string& what) {
        ++total_;
        const Read r = decode(image);
        if (!r.ok) {
            if (floor_ >= 1) ADD_FAILURE() << name_ << ": not read: " << what;
            return;
        }
        if (r.bytes != expected) {
            ++wrong_;
            ADD_FAILURE() << name_ << ": " << what << " read as \"" << r.bytes << "\"";
            return;
        }
        ++read_;
    }

  private:
    std::string name_;
    double floor_;
    int total_ = 0, read_ = 0, wrong_ = 0;
};

const Level kLevels[] = {Level::L, Level::M, Level::Q, Level::H};
const char* const kLevelNames = "LMQH";

// Short enough for version 1 at level H (7 bytes).
std::string payload(int version, Level level) {
    return "v" + std::to_string(version) + kLevelNames[static_cast<int>(level)];
}

Symbol symbol(Mode mode, const std::string& data, int version, Level level, int mask = -1) {
    EncodeOptions options;
    options.version = version;
    options.level = level;
    options.mask = mask;
    return encode(mode, data, options);
}

Image padded(const Image& image, int margin, uint8_t level) {
    Image out;
    out.width = image.width + 2 * margin;
    out.height = image.height + 2 * margin;
    out.pixels.assign(static_cast<size_t>(out.width) * out.height, level);
    for (int y = 0; y < image.height; ++y)
        std::memcpy(&out.pixels[static_cast<size_t>(y + margin) * out.width + margin],
                    &image.pixels[static_cast<size_t>(y) * image.width], image.width);
    return out;
}

// Inverts every module of the codewords at these raw (interleaved) positions.
void damage(Symbol& s, const std::vector<int>& positions) {
    const auto codewords = codeword_modules(s);
    for (int k : positions)
        for (int m : codewords[k]) s.dark[m] ^= 1;
}

// Raw positions of the first `per_block` data codewords of every block.
std::vector<int> first_codewords_of_each_block(int version, Level level, int per_block) {
    const int row = static_cast<int>(level);
    const int blocks = ec_block_table[version][row][0][0] + ec_block_table[version][row][1][0];
    std::vector<int> positions;
    for (int b = 0; b < blocks; ++b)
        for (int j = 0; j < per_block; ++j) positions.push_back(j * blocks + b);
    return positions;
}

}  // namespace

TEST(EndToEnd, EveryVersionLevelAndMask) {
    Category category("clean, every version and level", 1.0);
    for (int version = 1; version <= 40; ++version) {
        for (int l = 0; l < 4; ++l) {
            const Level level = kLevels[l];
            const int mask = (version + l) % 8;  // all eight masks over the levels
            RenderOptions options;
            options.module_px = version < 20 ? 4 : 3;
            category.check(render(symbol(Mode::Byte, payload(version, level), version, level, mask), options),
                           payload(version, level), payload(version, level));
        }
    }
}

TEST(EndToEnd, SegmentModes) {
    Category category("modes", 1.0);
    const std::string all_bytes = [] {
        std::string s;
        for (int b = 255; b >= 0; --b) s.push_back(static_cast<char>(b));
        return s;
    }();
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
    for (const Case& c : cases) {
        EncodeOptions options;
        options.version = c.version;
        options.level = Level::M;
        category.check(render(encode(c.segments, options)), c.expected,
                       "version " + std::to_string(c.version));
    }
}

TEST(EndToEnd, StructuredAppendHeadersAreReported) {
    const std::string text = "Structured append splits this text over several symbols of version one.";
    const std::vector<Symbol> parts = encode_structured(text, 1, Level::M);
    ASSERT_GE(parts.size(), 3u);
    uint8_t parity = 0;
    for (char c : text) parity ^= static_cast<uint8_t>(c);
    std::string joined;
    for (size_t i = 0; i < parts.size(); ++i) {
        const Read r = decode(render(parts[i]));
        ASSERT_TRUE(r.ok) << i;
        joined += r.bytes;
        const StructuredAppendInfo* info = nullptr;
        ASSERT_EQ(decoder_query(2, &info), -1);
        EXPECT_EQ(info->present, -1);
        EXPECT_EQ(info->position, i);
        EXPECT_EQ(info->total, parts.size() - 1);
        EXPECT_EQ(info->parity, parity);
        EXPECT_EQ(info->length, static_cast<int32_t>(r.bytes.size()));
    }
    EXPECT_EQ(joined, text);
    // A plain symbol afterwards reports no header.
    ASSERT_TRUE(decode(render(symbol(Mode::Byte, "plain", 1, Level::M))).ok);
    const StructuredAppendInfo* info = nullptr;
    decoder_query(2, &info);
    EXPECT_EQ(info->present, 0);
}

TEST(EndToEnd, Rotations) {
    Category category("rotations", 1.0);
    for (int version : {1, 3, 7, 15, 25, 40}) {
        const std::string data = "turned " + std::to_string(version);
        const Symbol s = symbol(Mode::Byte, data, version, Level::Q);
        for (double angle : {0.0, 90.0, 180.0, 270.0}) {
            RenderOptions options;
            options.module_px = version > 20 ? 3 : 4;
            options.angle_deg = angle;
            category.check(render(s, options), data, data + " at " + std::to_string(angle));
        }
    }
    // Small angles within reach of the finder-distance estimate (versions
    // below 7) and of the version information (7 and up).
    const std::pair<int, double> turns[] = {{1, 4}, {2, -3}, {5, 2}, {8, 10}, {12, -15}, {20, 25}, {30, 30}};
    for (const auto& [version, angle] : turns) {
        const std::string data = "small angle";
        RenderOptions options;
        options.module_px = 5;
        options.angle_deg = angle;
        category.check(render(symbol(Mode::Byte, data, version, Level::M), options), data,
                       std::to_string(version) + " at " + std::to_string(angle));
    }
}

TEST(EndToEnd, BlurNoiseAndLowContrast) {
    Category category("degraded", 1.0);
    const std::string data = "camera-like";
    for (int version : {2, 6, 10}) {
        const Symbol s = symbol(Mode::Byte, data, version, Level::M);
        RenderOptions blur;
        blur.module_px = 6;
        blur.blur = 1.2;
        category.check(render(s, blur), data, "blur");
        RenderOptions noise;
        noise.module_px = 5;
        noise.noise = 25;
        noise.seed = static_cast<uint32_t>(version);
        category.check(render(s, noise), data, "noise");
        RenderOptions contrast;
        contrast.module_px = 5;
        contrast.dark = 100;
        contrast.light = 150;
        category.check(render(s, contrast), data, "low contrast");
        RenderOptions all;
        all.module_px = 6;
        all.blur = 0.8;
        all.noise = 10;
        all.dark = 60;
        all.light = 190;
        all.gradient = 0.15;
        category.check(render(s, all), data, "all at once");
    }
}

TEST(EndToEnd, LaterPassesReadWhatTheMeanThresholdCannot) {
    const std::string data = "second pass";
    const Symbol s = symbol(Mode::Byte, data, 2, Level::M);
    // A dim symbol on a bright page: the mean lies above the symbol's light
    // modules, so pass 0 sees it all dark; pass 1, half-way to the minimum,
    // separates it.
    RenderOptions dim;
    dim.module_px = 4;
    dim.dark = 20;
    dim.light = 160;
    const Read second = decode(padded(render(s, dim), 200, 255), true);
    ASSERT_TRUE(second.ok) << second.log;
    EXPECT_EQ(second.bytes, data);
    EXPECT_EQ(second.pass, 1);

    // Greyer still, with one black pixel setting the minimum: pass 1 falls
    // below the dark modules, pass 2 (a quarter of the way) separates them.
    RenderOptions grey;
    grey.module_px = 4;
    grey.dark = 130;
    grey.light = 200;
    Image image = padded(render(s, grey), 200, 255);
    image.pixels[0] = 0;
    const Read third = decode(image, true);
    ASSERT_TRUE(third.ok) << third.log;
    EXPECT_EQ(third.bytes, data);
    EXPECT_EQ(third.pass, 2);
}

TEST(EndToEnd, DamageUpToCapacityAndProvisionalReads) {
    Category category("damaged below capacity", 1.0);
    struct Case {
        int version;
        Level level;
    };
    for (const Case& c :
         {Case{1, Level::M}, Case{3, Level::L}, Case{5, Level::Q}, Case{10, Level::H}, Case{22, Level::L}}) {
        const int row = static_cast<int>(c.level);
        const int capacity = ec_block_table[c.version][row][0][3];
        const std::string data = "damaged";
        Symbol s = symbol(Mode::Byte, data, c.version, c.level);
        // One short of capacity in every block: a sure read.
        Symbol below = s;
        damage(below, first_codewords_of_each_block(c.version, c.level, capacity - 1));
        const Read r = decode(render(below));
        category.check(render(below), data, "v" + std::to_string(c.version));
        EXPECT_EQ(r.partial, 0) << c.version;
        // Exactly capacity: read, but only provisionally.
        Symbol full = s;
        damage(full, first_codewords_of_each_block(c.version, c.level, capacity));
        const Read p = decode(render(full));
        ASSERT_TRUE(p.ok) << c.version;
        EXPECT_EQ(p.bytes, data);
        EXPECT_EQ(p.partial, -1) << c.version;
        // Beyond capacity: never the wrong text.
        Symbol over = s;
        damage(over, first_codewords_of_each_block(c.version, c.level, capacity + 1));
        const Read o = decode(render(over));
        if (o.ok) {
            EXPECT_EQ(o.bytes, data);
        }
    }
}

TEST(EndToEnd, ProvisionalReadReportsItsOwnStructuredAppendHeader) {
    const std::vector<Symbol> parts = encode_structured("held back, then handed out", 1, Level::M);
    ASSERT_GE(parts.size(), 2u);
    Symbol s = parts[1];
    damage(s, first_codewords_of_each_block(1, Level::M, 4));  // 1-M corrects 4
    const Read r = decode(render(s));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.partial, -1);
    const StructuredAppendInfo* info = nullptr;
    ASSERT_EQ(decoder_query(2, &info), -1);
    EXPECT_EQ(info->present, -1);
    EXPECT_EQ(info->position, 1);
    EXPECT_EQ(info->total, parts.size() - 1);
    EXPECT_EQ(info->length, static_cast<int32_t>(r.bytes.size()));
}

TEST(EndToEnd, NothingToReadReturnsNull) {
    Image blank;
    blank.width = 320;
    blank.height = 240;
    blank.pixels.assign(320 * 240, 200);
    for (size_t i = 0; i < blank.pixels.size(); i += 7) blank.pixels[i] = 30;
    EXPECT_FALSE(decode(blank).ok);
}
