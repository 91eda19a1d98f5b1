// Golden diagnostics: the complete log and the result of decode_symbol for a
// fixed set of rendered frames, compared byte for byte with the files in
// tests/data/golden. The log lines are part of the decoder's interface, so
// any change to them (or to a result) fails here, however the code is
// reorganised for speed.
//
// The frames are rendered afresh on every run; the files hold only what the
// decoder said about them, plus a hash of each frame so that a change of the
// renderer is told apart from a change of the decoder.
//
// To rewrite the files after an intended change:
//   VORDEN_GOLDEN_UPDATE=1 vorden_tests --gtest_filter='Golden.*'
// The run that rewrites them fails on purpose; review `git diff tests/data`
// and run again without the variable.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
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

fs::path golden_dir() {
    return fs::path(__FILE__).parent_path().parent_path() / "data" / "golden";
}

bool updating() {
    const char* v = std::getenv("VORDEN_GOLDEN_UPDATE");
    return v != nullptr && v[0] != '\0' && std::strcmp(v, "0") != 0;
}

// ---------------------------------------------------------------------------
// Frames.

struct Frame {
    Image image;
    int32_t depth = 8;
};

Symbol make(Mode mode, const std::string& data, int version, Level level, int mask = -1) {
    EncodeOptions options;
    options.version = version;
    options.level = level;
    options.mask = mask;
    return encode(mode, data, options);
}

RenderOptions on_canvas(double module_px, int width = 640, int height = 480) {
    RenderOptions o;
    o.module_px = module_px;
    o.canvas_width = width;
    o.canvas_height = height;
    return o;
}

Image blank(int width, int height, uint8_t level) {
    Image image;
    image.width = width;
    image.height = height;
    image.pixels.assign(static_cast<size_t>(width) * height, level);
    return image;
}

void fill(Image& image, int x0, int y0, int w, int h, uint8_t level) {
    for (int y = std::max(y0, 0); y < std::min(y0 + h, image.height); ++y)
        for (int x = std::max(x0, 0); x < std::min(x0 + w, image.width); ++x)
            image.pixels[static_cast<size_t>(y) * image.width + x] = level;
}

// A lone finder-like square (1:1:3:1:1 in both directions) of `m` pixels a
// module, its top-left corner at (x, y).
void finder_square(Image& image, int x, int y, int m) {
    fill(image, x, y, 7 * m, 7 * m, 0);
    fill(image, x + m, y + m, 5 * m, 5 * m, 255);
    fill(image, x + 2 * m, y + 2 * m, 3 * m, 3 * m, 0);
}

// Inverts every module of the codewords at these raw (interleaved) positions.
void damage(Symbol& s, const std::vector<int>& positions) {
    const auto codewords = codeword_modules(s);
    for (int k : positions)
        for (int m : codewords[k]) s.dark[m] ^= 1;
}

// Raw positions of the first `per_block` data codewords of every block.
std::vector<int> first_of_each_block(int version, Level level, int per_block) {
    const int row = static_cast<int>(level);
    const int blocks = ec_block_table[version][row][0][0] + ec_block_table[version][row][1][0];
    std::vector<int> positions;
    for (int b = 0; b < blocks; ++b)
        for (int j = 0; j < per_block; ++j) positions.push_back(j * blocks + b);
    return positions;
}

int capacity(int version, Level level) {
    return ec_block_table[version][static_cast<int>(level)][0][3];
}

Symbol damaged(int version, Level level, int per_block, const std::string& data) {
    Symbol s = make(Mode::Byte, data, version, level);
    damage(s, first_of_each_block(version, level, per_block));
    return s;
}

// Deterministic pseudo-random numbers for clutter (splitmix64).
struct Dice {
    uint64_t state;
    explicit Dice(uint64_t seed) : state(seed) {}
    uint32_t next(uint32_t bound) {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return static_cast<uint32_t>((z ^ (z >> 31)) % bound);
    }
};

// Finder-like squares scattered over the frame, avoiding a central box of
// half-size (keep_w, keep_h) where a symbol may sit.
void scatter_finders(Image& image, int count, int keep_w, int keep_h, uint64_t seed) {
    Dice dice(seed);
    const int cx = image.width / 2, cy = image.height / 2;
    for (int placed = 0, tries = 0; placed < count && tries < 100 * count; ++tries) {
        const int m = 2 + static_cast<int>(dice.next(3));
        const int x = static_cast<int>(dice.next(static_cast<uint32_t>(image.width - 7 * m)));
        const int y = static_cast<int>(dice.next(static_cast<uint32_t>(image.height - 7 * m)));
        if (x + 7 * m + m > cx - keep_w && x - m < cx + keep_w && y + 7 * m + m > cy - keep_h &&
            y - m < cy + keep_h) {
            continue;
        }
        finder_square(image, x, y, m);
        ++placed;
    }
}

// Random dark blocks of a few pixels, like print or foliage.
void scatter_blocks(Image& image, int count, uint64_t seed) {
    Dice dice(seed);
    for (int i = 0; i < count; ++i) {
        const int w = 2 + static_cast<int>(dice.next(10)), h = 2 + static_cast<int>(dice.next(10));
        fill(image, static_cast<int>(dice.next(static_cast<uint32_t>(image.width))),
             static_cast<int>(dice.next(static_cast<uint32_t>(image.height))), w, h,
             static_cast<uint8_t>(dice.next(90)));
    }
}

Image padded(const Image& image, int margin, uint8_t level) {
    Image out = blank(image.width + 2 * margin, image.height + 2 * margin, level);
    for (int y = 0; y < image.height; ++y)
        std::memcpy(&out.pixels[static_cast<size_t>(y + margin) * out.width + margin],
                    &image.pixels[static_cast<size_t>(y) * image.width], image.width);
    return out;
}

using Maker = std::function<Frame()>;

Frame grey(Image image) {
    return Frame{std::move(image), 8};
}

// The fixed set. Names are file names; keep them stable.
const std::vector<std::pair<std::string, Maker>>& cases() {
    static const std::vector<std::pair<std::string, Maker>> all = {
        // Clean symbols of several versions, modes, levels and masks.
        {"clean-v1-M", [] { return grey(render(make(Mode::Byte, "golden v1", 1, Level::M), on_canvas(4))); }},
        {"clean-v2-L-numeric",
         [] {
             return grey(render(make(Mode::Numeric, "31415926535897932384", 2, Level::L, 3), on_canvas(5)));
         }},
        {"clean-v5-Q-alnum",
         [] {
             return grey(
                 render(make(Mode::Alphanumeric, "HELLO GOLDEN $%*+-./:", 5, Level::Q), on_canvas(3)));
         }},
        {"clean-v7-H",
         [] { return grey(render(make(Mode::Byte, "version seven", 7, Level::H, 6), on_canvas(3))); }},
        {"clean-v10-M-mask5",
         [] { return grey(render(make(Mode::Byte, "ten by mask five", 10, Level::M, 5), on_canvas(3))); }},
        {"clean-v15-L", [] { return grey(render(make(Mode::Byte, "fifteen", 15, Level::L), on_canvas(3))); }},
        {"clean-v25-Q",
         [] { return grey(render(make(Mode::Byte, "twenty-five", 25, Level::Q), on_canvas(3))); }},
        {"clean-v40-L",
         [] { return grey(render(make(Mode::Byte, "forty", 40, Level::L, 2), on_canvas(2.5))); }},
        {"clean-v3-mixed-kanji",
         [] {
             EncodeOptions o;
             o.version = 3;
             o.level = Level::M;
             const Symbol s = encode({{Mode::Kanji, "\x93\x5f\x8a\xbf"},
                                      {Mode::Alphanumeric, "QR CODE"},
                                      {Mode::Numeric, "2026"},
                                      {Mode::Byte, "\xff!"}},
                                     o);
             return grey(render(s, on_canvas(4)));
         }},
        {"clean-v1-structured-append",
         [] {
             const auto parts =
                 encode_structured("Structured append over several version one symbols.", 1, Level::M);
             return grey(render(parts[1], on_canvas(4)));
         }},
        {"small-tight-crop",
         [] {
             RenderOptions o;
             o.module_px = 3;
             o.quiet_zone = 1;
             return grey(render(make(Mode::Byte, "tight", 1, Level::L), o));
         }},
        {"two-level-depth-1",
         [] {
             Frame f = grey(render(make(Mode::Byte, "two levels", 2, Level::M), on_canvas(4, 320, 240)));
             for (uint8_t& p : f.image.pixels) p = p < 128 ? 0 : 1;
             f.depth = 1;
             return f;
         }},

        // Damaged symbols: corrected, provisional, beyond repair.
        {"damaged-v3-L-below-capacity",
         [] {
             return grey(render(damaged(3, Level::L, capacity(3, Level::L) - 1, "damaged"), on_canvas(4)));
         }},
        {"damaged-v5-Q-provisional",
         [] {
             return grey(render(damaged(5, Level::Q, capacity(5, Level::Q), "provisional"), on_canvas(4)));
         }},
        {"damaged-v10-H-beyond",
         [] {
             return grey(render(damaged(10, Level::H, capacity(10, Level::H) + 1, "beyond"), on_canvas(3)));
         }},
        {"damaged-format-copy-1",
         [] {
             Symbol s = make(Mode::Byte, "format", 4, Level::M);
             s.flip(8, 0);
             s.flip(8, 2);
             s.flip(3, 8);
             return grey(render(s, on_canvas(4)));
         }},
        {"damaged-version-information",
         [] {
             Symbol s = make(Mode::Byte, "version bits", 9, Level::M);
             s.flip(s.size - 11, 0);
             s.flip(s.size - 10, 2);
             return grey(render(s, on_canvas(3)));
         }},
        {"damaged-alignment-erased",
         [] {
             Symbol s = make(Mode::Byte, "alignment", 8, Level::H);
             for (int r = 20; r <= 24; ++r)
                 for (int c = 20; c <= 24; ++c) s.dark[c + r * s.size] = 0;
             return grey(render(s, on_canvas(3)));
         }},

        // Clutter: frames full of finder-like candidates.
        {"finders-around-v4",
         [] {
             Image image = render(make(Mode::Byte, "among decoys", 4, Level::M), on_canvas(3));
             scatter_finders(image, 40, 70, 70, 7);
             return grey(image);
         }},
        {"finders-below-v3",
         [] {
             RenderOptions o = on_canvas(4);
             o.center_y = 120;
             Image image = render(make(Mode::Byte, "decoys below", 3, Level::M), o);
             Dice dice(13);
             for (int placed = 0; placed < 45; ++placed) {
                 finder_square(image, 4 + static_cast<int>(dice.next(600)),
                               250 + static_cast<int>(dice.next(200)), 2 + static_cast<int>(dice.next(2)));
             }
             return grey(image);
         }},
        {"finders-only",
         [] {
             Image image = blank(640, 480, 235);
             scatter_finders(image, 60, 0, 0, 11);
             return grey(image);
         }},
        {"finders-grid-around-v2",
         [] {
             Image image = render(make(Mode::Byte, "grid of decoys", 2, Level::Q), on_canvas(3));
             for (int y = 8; y + 21 < 480; y += 34)
                 for (int x = 8; x + 21 < 640; x += 34)
                     if (std::abs(x + 10 - 320) > 90 || std::abs(y + 10 - 240) > 90)
                         finder_square(image, x, y, 3);
             return grey(image);
         }},
        {"clutter-blocks-around-v6",
         [] {
             Image image = render(make(Mode::Byte, "busy background", 6, Level::M), on_canvas(3));
             Image clutter = blank(640, 480, 255);
             scatter_blocks(clutter, 1500, 5);
             for (size_t i = 0; i < image.pixels.size(); ++i) {
                 const int x = static_cast<int>(i % 640), y = static_cast<int>(i / 640);
                 if (std::abs(x - 320) > 110 || std::abs(y - 240) > 110) image.pixels[i] = clutter.pixels[i];
             }
             return grey(image);
         }},

        // Frames without a symbol.
        {"empty-uniform", [] { return grey(blank(640, 480, 128)); }},
        {"empty-noise",
         [] {
             Image image = blank(640, 480, 0);
             Dice dice(3);
             for (uint8_t& p : image.pixels) p = static_cast<uint8_t>(dice.next(256));
             return grey(image);
         }},
        {"empty-blocks",
         [] {
             Image image = blank(640, 480, 220);
             scatter_blocks(image, 3000, 9);
             return grey(image);
         }},

        // Camera distortions.
        {"rotated-v6-30deg",
         [] {
             RenderOptions o = on_canvas(4);
             o.angle_deg = 30;
             return grey(render(make(Mode::Byte, "thirty degrees", 6, Level::M), o));
         }},
        {"rotated-v9-20deg",
         [] {
             RenderOptions o = on_canvas(4);
             o.angle_deg = -20;
             return grey(render(make(Mode::Byte, "twenty degrees", 9, Level::M), o));
         }},
        {"rotated-v12-90deg",
         [] {
             RenderOptions o = on_canvas(3);
             o.angle_deg = 90;
             return grey(render(make(Mode::Byte, "quarter turn", 12, Level::Q), o));
         }},
        {"rotated-v20-200deg",
         [] {
             RenderOptions o = on_canvas(3);
             o.angle_deg = 200;
             return grey(render(make(Mode::Byte, "upside down", 20, Level::M), o));
         }},
        {"keystone-v4",
         [] {
             RenderOptions o = on_canvas(5);
             o.perspective_x = 0.12;
             o.perspective_y = -0.08;
             return grey(render(make(Mode::Byte, "keystone", 4, Level::Q), o));
         }},
        {"keystone-mild-v8",
         [] {
             RenderOptions o = on_canvas(4);
             o.perspective_x = 0.04;
             o.perspective_y = 0.03;
             return grey(render(make(Mode::Byte, "mild keystone", 8, Level::L), o));
         }},
        {"blurred-v6",
         [] {
             RenderOptions o = on_canvas(6);
             o.blur = 1.3;
             return grey(render(make(Mode::Byte, "blurred", 6, Level::M), o));
         }},
        {"noisy-v8",
         [] {
             RenderOptions o = on_canvas(4);
             o.noise = 30;
             o.seed = 42;
             return grey(render(make(Mode::Byte, "noisy", 8, Level::M), o));
         }},
        {"low-contrast-gradient-v3",
         [] {
             RenderOptions o = on_canvas(5);
             o.dark = 70;
             o.light = 170;
             o.gradient = 0.25;
             o.blur = 0.7;
             o.noise = 6;
             o.seed = 5;
             return grey(render(make(Mode::Byte, "dim", 3, Level::M), o));
         }},
        {"second-pass-dim-page",
         [] {
             RenderOptions o;
             o.module_px = 4;
             o.dark = 20;
             o.light = 160;
             return grey(padded(render(make(Mode::Byte, "second pass", 2, Level::M), o), 200, 255));
         }},
        {"third-pass-grey-page",
         [] {
             RenderOptions o;
             o.module_px = 4;
             o.dark = 130;
             o.light = 200;
             Image image = padded(render(make(Mode::Byte, "third pass", 2, Level::M), o), 200, 255);
             image.pixels[0] = 0;
             return grey(image);
         }},
        {"partly-outside-v5",
         [] {
             RenderOptions o = on_canvas(4);
             o.center_x = 60;
             return grey(render(make(Mode::Byte, "cut off", 5, Level::M), o));
         }},
    };
    return all;
}

// ---------------------------------------------------------------------------
// Running and recording.

uint64_t fnv1a(const std::vector<uint8_t>& bytes) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (uint8_t b : bytes) h = (h ^ b) * 0x100000001b3ull;
    return h;
}

std::string hex(const char* bytes, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        const auto b = static_cast<uint8_t>(bytes[i]);
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

struct Outcome {
    std::string summary;  // one line for results.tsv
    std::string log;
};

Outcome run(const std::string& name, const Frame& frame) {
    char* buffer = nullptr;
    size_t size = 0;
    FILE* log = open_memstream(&buffer, &size);
    const char* text =
        decode_symbol(frame.image.pixels.data(), frame.image.width, frame.image.height, frame.depth, log);
    std::fclose(log);
    Outcome out;
    out.log.assign(buffer, size);
    std::free(buffer);

    char hash[17];
    std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(fnv1a(frame.image.pixels)));
    std::ostringstream line;
    line << name << '\t' << frame.image.width << 'x' << frame.image.height << '\t' << hash << '\t';
    if (text == nullptr) {
        line << "-\t-\t-";
    } else {
        int32_t partial = 0;
        decoder_query(1, &partial);
        const StructuredAppendInfo* sa = nullptr;
        decoder_query(2, &sa);
        // Bytes up to the assembled length: a byte segment may hold zeros.
        line << hex(text, static_cast<size_t>(decoder_state.text_length)) << '\t' << partial << '\t'
             << sa->present << ',' << sa->length << ',' << int{sa->position} << ',' << int{sa->total} << ','
             << int{sa->parity};
    }
    out.summary = line.str();
    return out;
}

std::string read_file(const fs::path& path, bool* found) {
    std::ifstream in(path, std::ios::binary);
    *found = static_cast<bool>(in);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    ASSERT_TRUE(out.good()) << "cannot write " << path;
}

const char kHeader[] =
    "# case\tframe\tframe hash (FNV-1a 64)\tresult bytes (hex)\tpartial\tstructured append\n";

// The recorded lines of results.tsv by case name.
std::map<std::string, std::string> recorded_results() {
    bool found = false;
    std::istringstream in(read_file(golden_dir() / "results.tsv", &found));
    std::map<std::string, std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        lines[line.substr(0, line.find('\t'))] = line;
    }
    return lines;
}

// The first line where two logs part, for a readable failure.
std::string first_difference(const std::string& expected, const std::string& actual) {
    std::istringstream a(expected), b(actual);
    std::string la, lb;
    for (int n = 1;; ++n) {
        const bool ga = static_cast<bool>(std::getline(a, la));
        const bool gb = static_cast<bool>(std::getline(b, lb));
        if (!ga && !gb) return "logs differ only in the final newline";
        if (!ga || !gb || la != lb) {
            return "line " + std::to_string(n) + ":\n  expected: " + (ga ? la : "<end>") +
                   "\n  actual:   " + (gb ? lb : "<end>");
        }
    }
}

}  // namespace

namespace {

// Decodes every case in the given order and compares with the files, or
// rewrites them when asked to.
void check_cases(bool reverse) {
    const bool update = updating() && !reverse;
    if (updating() && reverse) GTEST_SKIP() << "rewriting golden files";
    const auto expected = recorded_results();
    std::vector<size_t> order(cases().size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = reverse ? order.size() - 1 - i : i;

    std::string results = kHeader;
    int reads = 0;
    for (size_t i : order) {
        const auto& [name, make_frame] = cases()[i];
        SCOPED_TRACE(name);
        const Outcome out = run(name, make_frame());
        results += out.summary + '\n';
        if (out.summary.find("\t-\t-\t-") == std::string::npos) ++reads;
        const fs::path log_path = golden_dir() / (name + ".log");
        if (update) {
            write_file(log_path, out.log);
            continue;
        }
        const auto recorded = expected.find(name);
        ASSERT_NE(recorded, expected.end()) << "no golden result; see the top of this file to record one";
        // Same frame hash first: otherwise the renderer, not the decoder, moved.
        const auto frame_part = [](const std::string& line) {
            const size_t third_tab = line.find('\t', line.find('\t', line.find('\t') + 1) + 1);
            return line.substr(0, third_tab);
        };
        ASSERT_EQ(frame_part(out.summary), frame_part(recorded->second)) << "the rendered frame changed";
        EXPECT_EQ(out.summary, recorded->second) << "result changed";
        bool found = false;
        const std::string golden_log = read_file(log_path, &found);
        ASSERT_TRUE(found) << "missing " << log_path.filename();
        EXPECT_TRUE(out.log == golden_log) << "log changed at " << first_difference(golden_log, out.log);
    }
    if (update) {
        write_file(golden_dir() / "results.tsv", results);
        FAIL() << "golden files rewritten in " << golden_dir() << "; review the diff, then run without "
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
