// Test symbol renderer: encodes data with libqrencode and draws the module
// matrix into a grey image with the distortions a camera adds.
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
    int version = 0;   // 1 to 40; 0 lets the encoder take the smallest that fits
    Level level = Level::M;
    int mask = -1;     // 0 to 7 forces a mask; -1 lets the encoder choose
};

// One encoded symbol, as the encoder built it.
struct Symbol {
    int version = 0;
    int size = 0;                  // modules per side, 17 + 4 * version
    Level level = Level::M;
    int mask = -1;                 // the mask in the symbol's format information
    std::vector<uint8_t> dark;     // size * size, index column + row * size; 1 = dark
    std::vector<uint8_t> function; // same layout; 1 = function-pattern module (incl. format/version)
    bool is_dark(int column, int row) const { return dark[column + row * size] != 0; }
    void flip(int column, int row) { dark[column + row * size] ^= 1; }
};

// Encodes the segments in order. Throws std::runtime_error when the encoder
// refuses (data too long for the version, bad characters for the mode).
Symbol encode(const std::vector<Segment>& segments, const EncodeOptions& options = {});
// Shorthand for one segment.
Symbol encode(Mode mode, const std::string& data, const EncodeOptions& options = {});

// Splits the data over several symbols with structured-append headers (the
// encoder's own split, 8-bit mode), all of the given version and level.
std::vector<Symbol> encode_structured(const std::string& data, int version, Level level);

// The mask the encoder's format information says, decoded from the matrix.
int read_mask(const Symbol& symbol);

struct RenderOptions {
    double module_px = 4.0;     // pixels per module; fractions allowed
    int quiet_zone = 4;         // light modules around the symbol
    double angle_deg = 0.0;     // rotation about the symbol's centre, clockwise on screen
    double perspective_x = 0.0; // mild keystone: the symbol's right side shrinks by this fraction
    double perspective_y = 0.0; // likewise its bottom side
    double blur = 0.0;          // Gaussian sigma in pixels, 0 for none
    double noise = 0.0;         // Gaussian noise sigma in grey levels, 0 for none
    uint32_t seed = 1;          // noise seed
    uint8_t dark = 0;           // grey level of a dark module
    uint8_t light = 255;        // grey level of a light module and of the background
    double gradient = 0.0;      // illumination falling by this fraction from left to right
    int canvas_width = 0;       // 0: just large enough for the rotated symbol and quiet zone
    int canvas_height = 0;
    double center_x = -1.0;     // symbol centre in the canvas; negative: the canvas centre
    double center_y = -1.0;
};

struct Image {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;  // row-major grey, 0 = black
    uint8_t at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

Image render(const Symbol& symbol, const RenderOptions& options = {});

// Where the centre of module (column, row) lands in the image rendered with
// these options (continuous coordinates: pixel k covers [k, k + 1)).
void module_center(const Symbol& symbol, const RenderOptions& options, const Image& image, double column,
                   double row, double* x, double* y);

// Writes a PGM file, for looking at a failing case.
void write_pgm(const Image& image, const std::string& path);

}  // namespace vorden::test

#endif
