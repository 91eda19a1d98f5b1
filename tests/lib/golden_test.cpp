// Golden diagnostics: the whole log and result of decode_symbol for a fixed set
// of rendered frames, byte for byte against tests/data/golden. Each recorded
// line carries its frame's hash, which tells a renderer change from a
// decoder change.
//
// To rewrite the files after an intended change (that run fails on purpose;
// review `git diff tests/data`, then run again without the variable):
//   VORDEN_GOLDEN_UPDATE=1 vorden_tests --gtest_filter='Golden.*'
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "decoder.h"
#include "renderer.h"
#include "stages.h"
#include "vorden.h"

using namespace vorden;
using namespace vorden::test;

namespace {

namespace fs = std::filesystem;

const fs::path kGoldenDir = fs::path(__FILE__).parent_path().parent_path() / "data" / "golden";

struct Frame {
    Frame(Image i, int32_t d = 8) : image(std::move(i)), depth(d) {}
    Image image;
    int32_t depth;
};
using Maker = std::function<Frame()>;

Symbol make(const std::string& data, int version, Level level, int mask = -1, Mode mode = Mode::Byte) {
    return encode(mode, data, {.version = version, .level = level, .mask = mask});
}

// Rendered on a 640 x 480 canvas unless the options give another.
Image shot(const Symbol& symbol, RenderOptions o) {
    if (o.canvas_width == 0) o.canvas_width = 640, o.canvas_height = 480;
    return render(symbol, o);
}

// A symbol of one segment, shot.
Maker sym(std::string data, int version, Level level, RenderOptions o, int mask = -1,
          Mode mode = Mode::Byte) {
    return [=] { return shot(make(data, version, level, mask, mode), o); };
}

Image blank(int width, int height, uint8_t level) {
    return Image{width, height, std::vector<uint8_t>(static_cast<size_t>(width) * height, level)};
}

void fill(Image& image, int x0, int y0, int w, int h, uint8_t level) {
    for (int y = std::max(y0, 0); y < std::min(y0 + h, image.height); ++y)
        for (int x = std::max(x0, 0); x < std::min(x0 + w, image.width); ++x)
            image.pixels[static_cast<size_t>(y) * image.width + x] = level;
}

// A lone finder-like square of `m` pixels a module, its top-left at (x, y).
void finder_square(Image& image, int x, int y, int m) {
    fill(image, x, y, 7 * m, 7 * m, 0);
    fill(image, x + m, y + m, 5 * m, 5 * m, 255);
    fill(image, x + 2 * m, y + 2 * m, 3 * m, 3 * m, 0);
}

// A byte-mode symbol with the first `per_block` data codewords of every block
// inverted; `over` is added to the level's correction capacity.
Maker damaged(int version, Level level, int over, const std::string& data, double px) {
    return [=] {
        Symbol s = make(data, version, level);
        const auto& row = ec_block_table[version][static_cast<int>(level)];
        const int blocks = row[0][0] + row[1][0], per_block = row[0][3] + over;
        const auto codewords = codeword_modules(s);
        for (int b = 0; b < blocks; ++b)
            for (int j = 0; j < per_block; ++j)
                for (int m : codewords[j * blocks + b]) s.dark[m] ^= 1;
        return shot(s, {.module_px = px});
    };
}

// Deterministic pseudo-random numbers for clutter (splitmix64).
struct Dice {
    uint64_t state;
    int next(uint32_t bound) {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return static_cast<int>((z ^ (z >> 31)) % bound);
    }
};

// Finder-like squares scattered over the frame, avoiding a central box of
// half-size (keep_w, keep_h) where a symbol may sit.
Image scatter_finders(Image image, int count, int keep_w, int keep_h, uint64_t seed) {
    Dice dice{seed};
    const int cx = image.width / 2, cy = image.height / 2;
    for (int placed = 0, tries = 0; placed < count && tries < 100 * count; ++tries) {
        const int m = 2 + dice.next(3);
        const int x = dice.next(image.width - 7 * m), y = dice.next(image.height - 7 * m);
        if (x + 8 * m > cx - keep_w && x - m < cx + keep_w && y + 8 * m > cy - keep_h && y - m < cy + keep_h)
            continue;
        finder_square(image, x, y, m);
        ++placed;
    }
    return image;
}

// Random dark blocks of a few pixels, like print or foliage.
Image scatter_blocks(Image image, int count, uint64_t seed) {
    Dice dice{seed};
    for (int i = 0; i < count; ++i) {
        const int w = 2 + dice.next(10), h = 2 + dice.next(10);
        // Drawn one by one, in the order the recorded frames were made with.
        const auto level = static_cast<uint8_t>(dice.next(90));
        const int y = dice.next(image.height);
        const int x = dice.next(image.width);
        fill(image, x, y, w, h, level);
    }
    return image;
}

// A small rendered symbol in the middle of a white 200-pixel margin.
Image on_page(const Symbol& symbol, uint8_t dark, uint8_t light) {
    const Image image = render(symbol, {.module_px = 4, .dark = dark, .light = light});
    Image out = blank(image.width + 400, image.height + 400, 255);
    for (int y = 0; y < image.height; ++y)
        std::memcpy(&out.pixels[static_cast<size_t>(y + 200) * out.width + 200],
                    &image.pixels[static_cast<size_t>(y) * image.width], image.width);
    return out;
}

// The fixed set. Names are file names; keep them stable.
const std::vector<std::pair<std::string, Maker>>& cases() {
    static const std::vector<std::pair<std::string, Maker>> all = {
        // Clean symbols of several versions, modes, levels and masks.
        {"clean-v1-M", sym("golden v1", 1, Level::M, {.module_px = 4})},
        {"clean-v2-L-numeric", sym("31415926535897932384", 2, Level::L, {.module_px = 5}, 3, Mode::Numeric)},
        {"clean-v5-Q-alnum",
         sym("HELLO GOLDEN $%*+-./:", 5, Level::Q, {.module_px = 3}, -1, Mode::Alphanumeric)},
        {"clean-v7-H", sym("version seven", 7, Level::H, {.module_px = 3}, 6)},
        {"clean-v10-M-mask5", sym("ten by mask five", 10, Level::M, {.module_px = 3}, 5)},
        {"clean-v15-L", sym("fifteen", 15, Level::L, {.module_px = 3})},
        {"clean-v25-Q", sym("twenty-five", 25, Level::Q, {.module_px = 3})},
        {"clean-v40-L", sym("forty", 40, Level::L, {.module_px = 2.5}, 2)},
        {"clean-v3-mixed-kanji",
         [] {
             return shot(encode({{Mode::Kanji, "\x93\x5f\x8a\xbf"},
                                 {Mode::Alphanumeric, "QR CODE"},
                                 {Mode::Numeric, "2026"},
                                 {Mode::Byte, "\xff!"}},
                                {.version = 3, .level = Level::M}),
                         {.module_px = 4});
         }},
        {"clean-v1-structured-append",
         [] {
             return shot(encode_structured("Structured append over several version one symbols.", 1, Level::M)[1],
                         {.module_px = 4});
         }},
        {"small-tight-crop", [] { return render(make("tight", 1, Level::L), {.module_px = 3, .quiet_zone = 1}); }},
        {"two-level-depth-1",
         [] {
             Frame f{shot(make("two levels", 2, Level::M), {.module_px = 4, .canvas_width = 320, .canvas_height = 240}),
                     1};
             for (uint8_t& p : f.image.pixels) p = p < 128 ? 0 : 1;
             return f;
         }},

        // Damaged symbols: corrected, provisional, beyond repair.
        {"damaged-v3-L-below-capacity", damaged(3, Level::L, -1, "damaged", 4)},
        {"damaged-v5-Q-provisional", damaged(5, Level::Q, 0, "provisional", 4)},
        {"damaged-v10-H-beyond", damaged(10, Level::H, 1, "beyond", 3)},
        {"damaged-format-copy-1",
         [] {
             Symbol s = make("format", 4, Level::M);
             s.flip(8, 0), s.flip(8, 2), s.flip(3, 8);
             return shot(s, {.module_px = 4});
         }},
        {"damaged-version-information",
         [] {
             Symbol s = make("version bits", 9, Level::M);
             s.flip(s.size - 11, 0), s.flip(s.size - 10, 2);
             return shot(s, {.module_px = 3});
         }},
        {"damaged-alignment-erased",
         [] {
             Symbol s = make("alignment", 8, Level::H);
             for (int r = 20; r <= 24; ++r)
                 for (int c = 20; c <= 24; ++c) s.dark[c + r * s.size] = 0;
             return shot(s, {.module_px = 3});
         }},

        // Clutter: frames full of finder-like candidates.
        {"finders-around-v4",
         [] { return scatter_finders(shot(make("among decoys", 4, Level::M), {.module_px = 3}), 40, 70, 70, 7); }},
        {"finders-below-v3",
         [] {
             Image image = shot(make("decoys below", 3, Level::M), {.module_px = 4, .center_y = 120});
             Dice dice{13};
             for (int placed = 0; placed < 45; ++placed) {
                 // One by one, in the order the recorded frames were made with.
                 const int m = 2 + dice.next(2);
                 const int y = 250 + dice.next(200);
                 finder_square(image, 4 + dice.next(600), y, m);
             }
             return image;
         }},
        {"finders-only", [] { return scatter_finders(blank(640, 480, 235), 60, 0, 0, 11); }},
        {"finders-grid-around-v2",
         [] {
             Image image = shot(make("grid of decoys", 2, Level::Q), {.module_px = 3});
             for (int y = 8; y + 21 < 480; y += 34)
                 for (int x = 8; x + 21 < 640; x += 34)
                     if (std::abs(x + 10 - 320) > 90 || std::abs(y + 10 - 240) > 90) finder_square(image, x, y, 3);
             return image;
         }},
        {"clutter-blocks-around-v6",
         [] {
             Image image = shot(make("busy background", 6, Level::M), {.module_px = 3});
             const Image clutter = scatter_blocks(blank(640, 480, 255), 1500, 5);
             for (size_t i = 0; i < image.pixels.size(); ++i)
                 if (std::abs(static_cast<int>(i % 640) - 320) > 110 ||
                     std::abs(static_cast<int>(i / 640) - 240) > 110)
                     image.pixels[i] = clutter.pixels[i];
             return image;
         }},

        // Frames without a symbol.
        {"empty-uniform", [] { return blank(640, 480, 128); }},
        {"empty-noise",
         [] {
             Image image = blank(640, 480, 0);
             Dice dice{3};
             for (uint8_t& p : image.pixels) p = static_cast<uint8_t>(dice.next(256));
             return image;
         }},
        {"empty-blocks", [] { return scatter_blocks(blank(640, 480, 220), 3000, 9); }},

        // Camera distortions.
        {"rotated-v6-30deg", sym("thirty degrees", 6, Level::M, {.module_px = 4, .angle_deg = 30})},
        {"rotated-v9-20deg", sym("twenty degrees", 9, Level::M, {.module_px = 4, .angle_deg = -20})},
        {"rotated-v12-90deg", sym("quarter turn", 12, Level::Q, {.module_px = 3, .angle_deg = 90})},
        {"rotated-v20-200deg", sym("upside down", 20, Level::M, {.module_px = 3, .angle_deg = 200})},
        {"keystone-v4", sym("keystone", 4, Level::Q, {.module_px = 5, .perspective_x = 0.12, .perspective_y = -0.08})},
        {"keystone-mild-v8",
         sym("mild keystone", 8, Level::L, {.module_px = 4, .perspective_x = 0.04, .perspective_y = 0.03})},
        {"blurred-v6", sym("blurred", 6, Level::M, {.module_px = 6, .blur = 1.3})},
        {"noisy-v8", sym("noisy", 8, Level::M, {.module_px = 4, .noise = 30, .seed = 42})},
        {"low-contrast-gradient-v3", sym("dim", 3, Level::M,
                                         {.module_px = 5, .blur = 0.7, .noise = 6, .seed = 5, .dark = 70,
                                          .light = 170, .gradient = 0.25})},
        {"second-pass-dim-page", [] { return on_page(make("second pass", 2, Level::M), 20, 160); }},
        {"third-pass-grey-page",
         [] {
             Image image = on_page(make("third pass", 2, Level::M), 130, 200);
             image.pixels[0] = 0;
             return image;
         }},
        {"partly-outside-v5", sym("cut off", 5, Level::M, {.module_px = 4, .center_x = 60})},
    };
    return all;
}

// One line for results.tsv, and the log.
std::pair<std::string, std::string> run(const std::string& name, const Frame& frame) {
    const char* text = nullptr;
    const std::string log = log_of([&](FILE* f) {
        text =
            decode_symbol(frame.image.pixels.data(), frame.image.width, frame.image.height, frame.depth, f);
    });
    uint64_t hash = 0xcbf29ce484222325ull;  // FNV-1a 64
    for (uint8_t b : frame.image.pixels) hash = (hash ^ b) * 0x100000001b3ull;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    std::ostringstream line;
    line << name << '\t' << frame.image.width << 'x' << frame.image.height << '\t' << hex << '\t';
    if (text == nullptr) return {line.str() + "-\t-\t-", log};
    // Bytes up to the assembled length: a byte segment may hold zeros.
    for (int i = 0; i < decoder_state.text_length; ++i) {
        std::snprintf(hex, sizeof hex, "%02x", static_cast<uint8_t>(text[i]));
        line << hex;
    }
    int32_t partial = 0;
    decoder_query(1, &partial);
    const StructuredAppendInfo* sa = nullptr;
    decoder_query(2, &sa);
    line << '\t' << partial << '\t' << sa->present << ',' << sa->length << ',' << int{sa->position} << ','
         << int{sa->total} << ',' << int{sa->parity};
    return {line.str(), log};
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Decodes every case in the given order and compares with the files, or
// rewrites them when asked to.
void check_cases(bool reverse) {
    const char* v = std::getenv("VORDEN_GOLDEN_UPDATE");
    const bool updating = v != nullptr && v[0] != '\0' && std::strcmp(v, "0") != 0;
    if (updating && reverse) GTEST_SKIP() << "rewriting golden files";
    std::istringstream tsv(read_file(kGoldenDir / "results.tsv"));
    std::map<std::string, std::string> expected;  // recorded lines by case name
    for (std::string line; std::getline(tsv, line);)
        if (!line.empty() && line[0] != '#') expected[line.substr(0, line.find('\t'))] = line;

    std::string results =
        "# case\tframe\tframe hash (FNV-1a 64)\tresult bytes (hex)\tpartial\tstructured append\n";
    int reads = 0;
    for (size_t k = 0; k < cases().size(); ++k) {
        const auto& [name, make_frame] = cases()[reverse ? cases().size() - 1 - k : k];
        SCOPED_TRACE(name);
        const auto [summary, log] = run(name, make_frame());
        results += summary + '\n';
        reads += summary.find("\t-\t-\t-") == std::string::npos;
        const fs::path log_path = kGoldenDir / (name + ".log");
        if (updating) {
            std::ofstream(log_path, std::ios::binary | std::ios::trunc) << log;
            continue;
        }
        const auto recorded = expected.find(name);
        ASSERT_NE(recorded, expected.end()) << "no golden result; see the top of this file to record one";
        // Same frame hash first: otherwise the renderer, not the decoder, moved.
        const auto frame_part = [](const std::string& line) {
            return line.substr(0, line.find('\t', line.find('\t', line.find('\t') + 1) + 1));
        };
        ASSERT_EQ(frame_part(summary), frame_part(recorded->second)) << "the rendered frame changed";
        EXPECT_EQ(summary, recorded->second) << "result changed";
        ASSERT_TRUE(fs::exists(log_path)) << "missing " << log_path.filename();
        EXPECT_EQ(log, read_file(log_path)) << "log changed";
    }
    if (updating) {
        std::ofstream(kGoldenDir / "results.tsv", std::ios::binary | std::ios::trunc) << results;
        FAIL() << "golden files rewritten in " << kGoldenDir << "; review the diff, then run without "
               << "VORDEN_GOLDEN_UPDATE";
    }
    EXPECT_EQ(expected.size(), cases().size()) << "results.tsv lists cases that no longer exist";
    // The set must keep exercising the whole pipeline, not only its failures.
    EXPECT_GE(reads, 20);
}

}  // namespace

TEST(Golden, LogsAndResultsAreUnchanged) {
    check_cases(false);
}

// Nothing may carry over from one call to the next (cached statistics, kept
// buffers): the same frames in the opposite order give the same logs.
TEST(Golden, NoStateCarriesOverBetweenCalls) {
    check_cases(true);
}
