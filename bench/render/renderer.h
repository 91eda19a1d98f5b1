// Symbol renderer for the tests, the benchmarks, the fuzz seeds and the demo: encodes
// data with libqrencode and draws the module matrix into a grey image with
// the distortions a camera adds.
#ifndef VORDEN_TEST_RENDERER_H
#define VORDEN_TEST_RENDERER_H

#include <cstdint>
#include <string>
#include <vector>

namespace vorden::test {

enum class Level { L, M, Q, H };  // as ISO/IEC 18004 names them
enum class Mode { Numeric, Alphanumeric, Byte, Kanji };

struct Segment {
    Mode mode;
    std::string data;  // digits, alphanumerics, raw bytes, or Shift JIS pairs for Kanji
};

struct EncodeOptions {
    int version = 0;  // 1 to 40; 0 lets the encoder take the smallest that fits
    Level level = Level::M;
    int mask = -1;  // 0 to 7 forces a mask; -1 lets the encoder choose
};

// One encoded symbol, as the encoder built it.
struct Symbol {
    int version = 0;
    int size = 0;  // modules per side, 17 + 4 * version
    Level level = Level::M;
    std::vector<uint8_t> dark;      // size * size, index column + row * size; 1 = dark
    std::vector<uint8_t> function;  // same layout; 1 = function-pattern module: finder + separator,
                                    // timing, alignment, format and version information, the dark module
    void flip(int column, int row) { dark[column + row * size] ^= 1; }
};

// Encodes the segments in order (empty segments are skipped). Throws
// std::runtime_error when the encoder refuses (data too long for the version,
// bad characters for the mode) and std::invalid_argument for a version or
// mask out of range. A given version is kept exactly: data that would need a
// larger one is refused rather than moved up.
Symbol encode(const std::vector<Segment>& segments, const EncodeOptions& options = {});
// Shorthand for one segment.
Symbol encode(Mode mode, const std::string& data, const EncodeOptions& options = {});

// Splits the data over several symbols with structured-append headers (the
// encoder's own split, 8-bit mode), all of the given version (1 to 40) and
// level, each with the mask the encoder chose. Data that fits one symbol
// gives one symbol.
std::vector<Symbol> encode_structured(const std::string& data, int version, Level level);

struct RenderOptions {
    double module_px = 4.0;      // pixels per module; fractions allowed
    int quiet_zone = 4;          // light modules around the symbol
    double angle_deg = 0.0;      // rotation about the symbol's centre, clockwise on screen
    double perspective_x = 0.0;  // mild keystone: the symbol's right side is this fraction shorter than
                                 // its left side (negative: the left side is); |value| < 0.5
    double perspective_y = 0.0;  // likewise its bottom side against its top side
    double blur = 0.0;           // Gaussian sigma in pixels, 0 for none
    double noise = 0.0;          // Gaussian noise sigma in grey levels, 0 for none
    uint32_t seed = 1;           // noise seed
    uint8_t dark = 0;            // grey level of a dark module
    uint8_t light = 255;         // grey level of a light module and of the background
    double gradient = 0.0;       // illumination falling linearly by this fraction (0 to 1) from the
                                 // canvas's left edge to its right edge; it scales both grey levels
    int canvas_width = 0;        // 0: just large enough for the rotated, keystoned symbol and quiet zone
    int canvas_height = 0;
    double center_x = -1.0;  // where module (size / 2, size / 2) lands; negative: the canvas centre
    double center_y = -1.0;
};

struct Image {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;  // row-major grey, 0 = black
    uint8_t at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

// Draws the symbol by inverse mapping with 4x4 samples per pixel, so module
// edges come out anti-aliased by area coverage; then applies the gradient,
// the blur and the noise, in that order (same seed, same image). Throws
// std::invalid_argument for options outside the documented ranges.
Image render(const Symbol& symbol, const RenderOptions& options = {});

// Maps a point in module coordinates to image coordinates with the transform
// render() used for this image. Both are continuous: module (c, r) covers
// [c, c + 1) x [r, r + 1), pixel k covers [k, k + 1). The caller adds 0.5 for
// a centre: (column + 0.5, row + 0.5) is the centre of module (column, row),
// and pixel (floor(*x), floor(*y)) contains it. Points outside the symbol
// (quiet zone, negative values) map the same way.
void module_center(const Symbol& symbol, const RenderOptions& options, const Image& image, double column,
                   double row, double* x, double* y);

// The modules of each codeword in placement order (ISO/IEC 18004 7.7.3):
// two-column strips from the right, alternately upward and downward, the
// timing column skipped, function modules passed over. Indices are column +
// row * size; codeword k holds bits 7 (first) to 0.
std::vector<std::vector<int>> codeword_modules(const Symbol& symbol);

// Writes a PGM file, for looking at a failing case.
void write_pgm(const Image& image, const std::string& path);

}  // namespace vorden::test

#endif
