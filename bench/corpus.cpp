// The benchmark corpora: frames drawn by the symbol renderer, and folders of
// images with a manifest of expected texts.
#include "corpus.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <numbers>
#include <sstream>
#include <stdexcept>

#include "decoder.h"
#include "draw.h"
#include "renderer.h"
#include "vorden.h"

namespace vorden::bench {

namespace {

using test::Image;
using test::Level;
using test::Mode;
using test::RenderOptions;

constexpr int kWidth = 640;
constexpr int kHeight = 480;

GreyImage grey_of(Image image) {
    GreyImage g;
    g.width = image.width;
    g.height = image.height;
    g.pixels = std::move(image.pixels);
    return g;
}

const Level kLevels[] = {Level::L, Level::M, Level::Q, Level::H};

// Printable text of about half the symbol's byte capacity at the level, so
// that small and large versions alike carry data in most of their modules.
std::string payload(int version, Level level, Dice& dice) {
    const int32_t(*groups)[4] = ec_block_table[version][static_cast<int>(level)];
    const int data_codewords = groups[0][0] * groups[0][2] + groups[1][0] * groups[1][2];
    const int length = std::max(4, data_codewords / 2);
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-._~/?=&";
    std::string text = "https://example.org/";
    while (static_cast<int>(text.size()) < length) text += kChars[dice.next(sizeof kChars - 1)];
    text.resize(static_cast<size_t>(length));
    return text;
}

// The largest module size up to `wanted`, in half pixels from 2, at which the
// turned symbol and its quiet zone fit the canvas; 0 when none does.
double fitting_module(int version, double angle_deg, double wanted, int width, int height) {
    const double turn = std::fabs(std::cos(angle_deg * std::numbers::pi / 180)) +
                        std::fabs(std::sin(angle_deg * std::numbers::pi / 180));
    const double side = (4 * version + 17 + 8) * turn;
    for (double m = wanted; m >= 2; m -= 0.5) {
        if (side * m <= std::min(width, height) - 4) return m;
    }
    return 0;
}

Sample symbol_sample(const std::string& name, const std::string& group, int version, Level level,
                     RenderOptions options, Dice& dice) {
    test::EncodeOptions encode;
    encode.version = version;
    encode.level = level;
    Sample s;
    s.name = name;
    s.group = group;
    s.expected = payload(version, level, dice);
    s.image = grey_of(test::render(test::encode(Mode::Byte, s.expected, encode), options));
    return s;
}

// Five frames per version: clean, turned, blurred, noisy, low contrast.
void add_symbol_frames(std::vector<Sample>& out) {
    static const double kModules[] = {2, 2.5, 3, 3.5, 4, 5, 6, 7, 8};
    Dice dice(2024);
    for (int v = 1; v <= 40; ++v) {
        const Level level = kLevels[v % 4];
        for (int variant = 0; variant < 5; ++variant) {
            RenderOptions o;
            o.canvas_width = kWidth;
            o.canvas_height = kHeight;
            o.angle_deg = variant == 1 ? 10 + (v * 47) % 341 : 0;
            double wanted = kModules[(v + variant * 2) % 9];
            if (variant == 2) wanted = std::max(wanted, 3.0);  // blur needs a few pixels a module
            double module = fitting_module(v, o.angle_deg, wanted, kWidth, kHeight);
            while (module == 0) {  // too large to turn this far: turn less
                o.angle_deg /= 2;
                module = fitting_module(v, o.angle_deg, wanted, kWidth, kHeight);
            }
            o.module_px = module;
            static const char* const kVariants[] = {"clean", "turned", "blurred", "noisy", "low-contrast"};
            if (variant == 2) o.blur = 0.5 + (v % 4) * 0.3;
            if (variant == 3) {
                o.noise = 8 + (v % 5) * 6;
                o.seed = static_cast<uint32_t>(v);
            }
            if (variant == 4) {
                o.dark = static_cast<uint8_t>(80 + (v % 3) * 10);
                o.light = static_cast<uint8_t>(150 + (v % 4) * 10);
                o.gradient = 0.2;
            }
            char name[96];
            std::snprintf(name, sizeof name, "v%02d-%s-%.1fpx-%.0fdeg", v, kVariants[variant], o.module_px,
                          o.angle_deg);
            out.push_back(symbol_sample(name, "640x480", v, level, o, dice));
        }
    }
}

// Twenty 640x480 frames without a symbol, named `prefix` and their number.
void add_empty_frames(std::vector<Sample>& out, const char* group, const char* prefix, uint64_t seed) {
    Dice dice(seed);
    for (int k = 0; k < 20; ++k) {
        Sample s;
        s.group = group;
        s.has_symbol = false;
        s.name = prefix + std::to_string(k);
        GreyImage image = blank(kWidth, kHeight, static_cast<uint8_t>(60 + dice.next(180)));
        switch (k % 5) {
            case 0:  // uniform
                break;
            case 1:  // sensor noise
                for (uint8_t& p : image.pixels)
                    p = static_cast<uint8_t>(std::clamp<int>(p - 30 + dice.next(61), 0, 255));
                break;
            case 2:  // print-like blocks
                for (int i = 0; i < 2500; ++i) {
                    // Thrown last to first, the order the corpus was first drawn in.
                    const auto level = static_cast<uint8_t>(dice.next(70));
                    const int h = 2 + dice.next(9);
                    const int w = 2 + dice.next(9);
                    const int y = dice.next(kHeight);
                    const int x = dice.next(kWidth);
                    fill(image, x, y, w, h, level);
                }
                break;
            case 3:  // finder-like squares, the costliest clutter for a finder search
                for (int i = 0; i < 60; ++i) {
                    const int m = 2 + dice.next(4);
                    const int x = dice.next(kWidth - 7 * m), y = dice.next(kHeight - 7 * m);
                    finder(image, x, y, m);
                }
                break;
            default:  // stripes, like text lines or blinds
                for (int y = 0; y < kHeight; y += 6 + static_cast<int>(dice.next(10))) {
                    const auto level = static_cast<uint8_t>(dice.next(60));
                    fill(image, 0, y, kWidth, 2 + dice.next(4), level);
                }
                break;
        }
        s.image = std::move(image);
        out.push_back(std::move(s));
    }
}

// 1280x720 camera frames, reduced as the application reduces them.
void add_camera_frames(std::vector<Sample>& out) {
    Dice dice(720);
    for (int k = 0; k < 20; ++k) {
        const int v = 1 + (k * 7) % 40;
        RenderOptions o;
        o.canvas_width = 1280;
        o.canvas_height = 720;
        o.angle_deg = (k % 3) * 15;
        o.noise = 4;
        o.blur = 0.8;
        o.seed = static_cast<uint32_t>(k);
        o.module_px = fitting_module(v, o.angle_deg, 4 + k % 7, 1280, 720);
        char name[64];
        std::snprintf(name, sizeof name, "camera-v%02d-%.1fpx-%.0fdeg", v, o.module_px, o.angle_deg);
        Sample s = symbol_sample(name, "1280x720 reduced", v, kLevels[k % 4], o, dice);
        tools::reduce_like_camera(s.image);
        out.push_back(std::move(s));
    }
}

// A small symbol (version 1 to 5 at 2 to 3 pixels a module) somewhere on a
// white 640x480 page: most of the frame is paper.
void add_white_pages(std::vector<Sample>& out) {
    Dice dice(4096);
    for (int k = 0; k < 20; ++k) {
        const int v = 1 + k % 5;
        RenderOptions o;
        o.canvas_width = kWidth;
        o.canvas_height = kHeight;
        o.module_px = 2 + (k % 3) * 0.5;
        o.angle_deg = k % 4 == 1 ? 20 : 0;
        o.noise = k % 2 ? 4 : 0;
        o.seed = static_cast<uint32_t>(k);
        const int margin = static_cast<int>((4 * v + 25) * o.module_px);
        o.center_x = margin + dice.next(kWidth - 2 * margin);
        o.center_y = margin + dice.next(kHeight - 2 * margin);
        char name[64];
        std::snprintf(name, sizeof name, "page-v%02d-%.1fpx-%.0fdeg", v, o.module_px, o.angle_deg);
        out.push_back(symbol_sample(name, "white page", v, kLevels[k % 4], o, dice));
    }
}

// Symbols of 8 to 12 pixels a module filling much of a 640x480 frame, as a
// camera held close sees them: the largest version up to 8 that fits.
void add_large_modules(std::vector<Sample>& out) {
    Dice dice(812);
    for (int k = 0; k < 20; ++k) {
        RenderOptions o;
        o.canvas_width = kWidth;
        o.canvas_height = kHeight;
        o.module_px = 8 + k % 5;
        o.angle_deg = k % 4 == 1 ? 5 + (k * 13) % 40 : 0;
        o.blur = k % 4 == 2 ? 1.5 : 0;
        o.noise = k % 4 == 3 ? 8 : 0;
        o.seed = static_cast<uint32_t>(k);
        int v = 1 + k % 8;
        while (v > 1 && fitting_module(v, o.angle_deg, o.module_px, kWidth, kHeight) < o.module_px) --v;
        char name[64];
        std::snprintf(name, sizeof name, "large-v%02d-%.0fpx-%.0fdeg", v, o.module_px, o.angle_deg);
        out.push_back(symbol_sample(name, "large modules", v, kLevels[k % 4], o, dice));
    }
}

// Hostile images, timed so that none of them costs many times a frame:
// degenerate shapes, uniform frames, checkerboards and stripes, hundreds of
// finder-like squares, symbols cut by the borders or filling the image.
Sample hostile(const std::string& name, GreyImage image, bool has_symbol = false) {
    Sample s;
    s.name = "hostile-" + name;
    s.group = "hostile";
    s.has_symbol = has_symbol;
    s.known = has_symbol;
    s.expected = has_symbol ? "hostile" : "";
    s.image = std::move(image);
    return s;
}

GreyImage cropped(const Image& image, int left, int top, int width, int height) {
    GreyImage g = blank(width, height, 0);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            g.pixels[static_cast<size_t>(y) * width + x] = image.at(left + x, top + y);
    return g;
}

void add_hostile_frames(std::vector<Sample>& out) {
    const auto finder_line = [](int x, int) { return (x / 7) % 7 == 2 ? 255 : 0; };
    out.push_back(hostile("1x1", blank(1, 1, 0)));
    out.push_back(hostile("1x300", drawn(1, 300, [](int, int y) { return y % 3 ? 0 : 255; })));
    out.push_back(hostile("300x1", drawn(300, 1, [](int x, int) { return x % 5 ? 0 : 255; })));
    out.push_back(hostile("32767x1", drawn(32767, 1, finder_line)));
    GreyImage column = drawn(32767, 1, finder_line);
    std::swap(column.width, column.height);
    out.push_back(hostile("1x32767", std::move(column)));
    out.push_back(hostile("dark", blank(kWidth, kHeight, 0)));
    out.push_back(hostile("light", blank(kWidth, kHeight, 255)));
    for (int p = 1; p <= 8; ++p) {
        const std::string n = std::to_string(p);
        out.push_back(hostile("checkerboard-" + n, drawn(kWidth, kHeight, [p](int x, int y) {
                                  return (x / p + y / p) % 2 ? 255 : 0;
                              })));
        out.push_back(hostile("row-stripes-" + n,
                              drawn(kWidth, kHeight, [p](int, int y) { return y / p % 2 ? 255 : 0; })));
        out.push_back(hostile("column-stripes-" + n,
                              drawn(kWidth, kHeight, [p](int x, int) { return x / p % 2 ? 255 : 0; })));
    }
    // Over four hundred 1:1:3:1:1 squares of 2 to 4 pixels a module.
    GreyImage crowd = blank(kWidth, kHeight, 255);
    for (int top = 2; top + 28 < kHeight; top += 23) {
        for (int left = 2 + top % 3; left + 28 < kWidth; left += 23) {
            const int m = 2 + (left + top) % 3;
            finder(crowd, left, top, m);
        }
    }
    out.push_back(hostile("crowded-finders", std::move(crowd)));
    for (int version : {2, 7, 25}) {
        test::EncodeOptions encode;
        encode.version = version;
        const test::Symbol symbol = test::encode(Mode::Byte, "hostile", encode);
        RenderOptions o;
        o.module_px = 4;
        const Image full = test::render(symbol, o);
        const int q = 4 * 4, size = (17 + 4 * version) * 4;
        const std::string v = "v" + std::to_string(version);
        out.push_back(hostile(v + "-no-quiet-zone", cropped(full, q, q, size, size), true));
        const int cut = size / 2;
        out.push_back(hostile(v + "-cut-left", cropped(full, q + cut, 0, full.width - q - cut, full.height)));
        out.push_back(hostile(v + "-cut-top", cropped(full, 0, q + cut, full.width, full.height - q - cut)));
        out.push_back(hostile(v + "-cut-right", cropped(full, 0, 0, full.width - q - cut, full.height)));
        out.push_back(hostile(v + "-cut-bottom", cropped(full, 0, 0, full.width, full.height - q - cut)));
        o.module_px = 3;
        o.quiet_zone = 0;
        o.angle_deg = 7;
        out.push_back(hostile(v + "-edge-windows", grey_of(test::render(symbol, o)), true));
    }
}

// ---- The thorough reader's targets ----

// A 640x480 frame of the version turned by the angle, its module size
// reduced until the turned symbol fits.
RenderOptions thorough_options(int version, double angle_deg, double module_px) {
    RenderOptions o;
    o.canvas_width = kWidth;
    o.canvas_height = kHeight;
    o.angle_deg = angle_deg;
    o.module_px = fitting_module(version, angle_deg, module_px, kWidth, kHeight);
    return o;
}

Sample thorough_sample(const char* group, int k, int version, const RenderOptions& o, Dice& dice) {
    char name[96];
    std::snprintf(name, sizeof name, "%s-v%02d-%.1fpx-%03.0fdeg-%02d", group, version, o.module_px,
                  o.angle_deg, k);
    return symbol_sample(name, group, version, kLevels[k % 4], o, dice);
}

// One frame per angle 0 to 359, the version cycling 1 to 10 and the module
// size 3 to 8 pixels: every angle occurs once, and every version sees 36
// angles 10 degrees apart around the circle at every module size. All 3600
// pairs of angle and version would take minutes a run for little more;
// --match tilted-v03 keeps one version.
void add_tilted(std::vector<Sample>& out) {
    Dice dice(360);
    for (int a = 0; a < 360; ++a) {
        const int v = 1 + a % 10;
        out.push_back(thorough_sample("tilted", a, v, thorough_options(v, a, 3 + (a / 10) % 6), dice));
    }
}

// Keystones of 5 to 25 percent on both axes, either side shorter, some of
// them turned.
void add_perspective(std::vector<Sample>& out) {
    static const double kStrength[] = {0.05, 0.10, 0.15, 0.20, 0.25};
    Dice dice(4040);
    for (int k = 0; k < 40; ++k) {
        const int v = 1 + k % 10;
        RenderOptions o = thorough_options(v, (k % 3) * 8, 3 + k % 3);
        o.perspective_x = kStrength[k % 5] * ((k / 10) % 2 ? -1 : 1);
        o.perspective_y = kStrength[(k / 5) % 5] * (k / 20 ? -1 : 1);
        out.push_back(thorough_sample("perspective", k, v, o, dice));
    }
}

// Light falling by 20 to 60 percent across the frame while the contrast,
// light minus dark over the full grey range, drops from 65 to 30 percent:
// one global threshold cannot part dark from light everywhere.
void add_gradients(std::vector<Sample>& out) {
    Dice dice(3030);
    for (int k = 0; k < 20; ++k) {
        const int v = 1 + k % 10;
        RenderOptions o = thorough_options(v, (k % 2) * 12, 4);
        const double half = (0.65 - 0.35 * k / 19) * 255 / 2, mid = 110 + (k % 4) * 20;
        o.dark = static_cast<uint8_t>(std::lround(mid - half));
        o.light = static_cast<uint8_t>(std::lround(mid + half));
        o.gradient = 0.2 + 0.1 * (k % 5);
        o.noise = 3;
        o.seed = static_cast<uint32_t>(k);
        out.push_back(thorough_sample("gradient", k, v, o, dice));
    }
}

// Light modules on a dark ground, as screens in dark mode show them.
void add_inverted(std::vector<Sample>& out) {
    Dice dice(2020);
    for (int k = 0; k < 20; ++k) {
        const int v = 1 + k % 10;
        RenderOptions o = thorough_options(v, k % 2 ? (k * 37) % 360 : 0, 3 + k % 4);
        o.dark = static_cast<uint8_t>(225 - (k % 3) * 15);
        o.light = static_cast<uint8_t>(25 + (k % 4) * 10);
        o.noise = k % 3 ? 4 : 0;
        o.seed = static_cast<uint32_t>(k);
        out.push_back(thorough_sample("inverted", k, v, o, dice));
    }
}

// Symbols seen from behind glass or through a front camera's mirror: the
// frame flipped left to right after drawing.
void add_mirrored(std::vector<Sample>& out) {
    Dice dice(1010);
    for (int k = 0; k < 20; ++k) {
        const int v = 1 + k % 10;
        RenderOptions o = thorough_options(v, k % 2 ? (k * 29) % 360 : 0, 3 + k % 4);
        o.noise = k % 3 ? 4 : 0;
        o.seed = static_cast<uint32_t>(k);
        Sample s = thorough_sample("mirrored", k, v, o, dice);
        for (int y = 0; y < s.image.height; ++y) {
            const auto row = s.image.pixels.begin() + static_cast<ptrdiff_t>(y) * s.image.width;
            std::reverse(row, row + s.image.width);
        }
        out.push_back(std::move(s));
    }
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    throw std::runtime_error("bad hex digit in manifest");
}

std::string from_hex(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += static_cast<char>(hex_value(hex[i]) * 16 + hex_value(hex[i + 1]));
    return bytes;
}

}  // namespace

std::vector<Sample> generated_corpus() {
    std::vector<Sample> out;
    add_symbol_frames(out);
    add_empty_frames(out, "640x480", "empty-", 77);
    add_white_pages(out);
    add_large_modules(out);
    add_camera_frames(out);
    add_hostile_frames(out);
    return out;
}

std::vector<Sample> thorough_corpus() {
    std::vector<Sample> out;
    add_tilted(out);
    add_perspective(out);
    add_gradients(out);
    add_inverted(out);
    add_mirrored(out);
    // Every strategy tried is one more chance to read text from clutter.
    add_empty_frames(out, "no symbol", "no-symbol-", 1877);
    return out;
}

std::vector<Sample> folder_corpus(const std::string& folder) {
    std::ifstream manifest(folder + "/manifest.tsv");
    if (!manifest) throw std::runtime_error("cannot read " + folder + "/manifest.tsv");
    std::vector<Sample> out;
    std::string line;
    while (std::getline(manifest, line)) {
        if (line.empty() || line.rfind("relpath\t", 0) == 0) continue;
        std::istringstream fields(line);
        std::string relpath, hex;
        std::getline(fields, relpath, '\t');
        std::getline(fields, hex, '\t');
        Sample s;
        s.name = relpath;
        s.group = "folder";
        s.known = !hex.empty();
        s.expected = from_hex(hex);
        std::vector<uint8_t> bytes;
        std::string error;
        if (!tools::read_file(folder + "/" + relpath, bytes, error) ||
            !tools::decode_image(bytes, s.image, error))
            throw std::runtime_error(relpath + ": " + error);
        tools::reduce_like_camera(s.image);
        out.push_back(std::move(s));
    }
    return out;
}

Sample symbol_frame(int width, int height, double module_px, double angle_deg) {
    RenderOptions o;
    o.canvas_width = width;
    o.canvas_height = height;
    o.module_px = module_px;
    o.angle_deg = angle_deg;
    o.blur = 0.8;
    o.noise = 4;
    Dice dice(6);
    return symbol_sample("symbol", "frame", 6, Level::M, o, dice);
}

GreyImage stage_frame(int version) {
    test::EncodeOptions encode;
    encode.version = version;
    encode.level = Level::M;
    Dice dice(static_cast<uint64_t>(version));
    test::Symbol symbol = test::encode(Mode::Byte, payload(version, Level::M, dice), encode);
    // Two wrong codewords in every block keep the error correction busy.
    const auto codewords = test::codeword_modules(symbol);
    const int32_t(*groups)[4] = ec_block_table[version][static_cast<int>(Level::M)];
    const int blocks = groups[0][0] + groups[1][0];
    for (int k = 0; k < 2 * blocks; ++k)
        for (int m : codewords[static_cast<size_t>(k)]) symbol.dark[static_cast<size_t>(m)] ^= 1;
    RenderOptions o;
    o.canvas_width = kWidth;
    o.canvas_height = kHeight;
    o.module_px = fitting_module(version, 0, 4, kWidth, kHeight);
    o.noise = 4;
    return grey_of(test::render(symbol, o));
}

namespace {

bool vorden_entry(decltype(&decode_symbol) entry, const GreyImage& image, std::string* bytes) {
    const char* text = entry(image.pixels.data(), image.width, image.height, 8, nullptr);
    if (text == nullptr) return false;
    bytes->assign(text);
    return true;
}

}  // namespace

bool vorden_read(const GreyImage& image, std::string* bytes) {
    return vorden_entry(decode_symbol, image, bytes);
}

bool vorden_thorough_read(const GreyImage& image, std::string* bytes) {
    return vorden_entry(decode_symbol_thorough, image, bytes);
}

}  // namespace vorden::bench
