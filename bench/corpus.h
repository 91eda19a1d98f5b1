// Benchmark corpora and the three decoders under test, all on the same 8-bit
// grey images.
#ifndef VORDEN_BENCH_CORPUS_H
#define VORDEN_BENCH_CORPUS_H

#include <cstdint>
#include <string>
#include <vector>

#include "image_input.h"

namespace vorden::bench {

// Row-major, 0 = black: the command-line decoder's image, so that the
// corpus is read and reduced by its code.
using tools::GreyImage;

struct Sample {
    std::string name;
    std::string group;  // the row of the results table it counts in
    GreyImage image;
    bool has_symbol = true;  // false: any text read is a wrong text
    bool known = true;       // false: the expected text is unknown, a read cannot be judged
    std::string expected;    // the symbol's bytes
};

// Frames drawn by the test renderer: 640x480 frames with one symbol of every
// version 1 to 40 at 2 to 8 pixels a module (clean, turned, blurred, noisy,
// low contrast), 640x480 frames without a symbol, small symbols on a white
// 640x480 page, symbols of 8 to 12 pixels a module, 1280x720 frames put
// through the camera's reduction, and hostile images (degenerate shapes,
// patterns, finder-like crowds, cut symbols). Deterministic.
std::vector<Sample> generated_corpus();

// 640x480 frames for the strategies of the thorough entry, versions 1 to 10:
// turned to every whole angle, keystoned, lit by a gradient at low contrast,
// light on dark, mirrored, and frames without a symbol. Deterministic.
std::vector<Sample> thorough_corpus();

// The images listed in `folder`/manifest.tsv (columns relpath,
// expected_bytes_hex, ...), read as vorden-decode --reduce reads them: grey
// as (r + g + b) / 3 and, from 1280 pixels on a side, reduced as the camera
// application does. Throws std::runtime_error when the manifest or an image
// cannot be read.
std::vector<Sample> folder_corpus(const std::string& folder);

// An ordinary camera frame of the size: one version 6 symbol of
// `module_px` pixels a module in the middle, turned by `angle_deg`, slightly
// blurred and noisy.
Sample symbol_frame(int width, int height, double module_px, double angle_deg = 0);

// A 640x480 frame with one symbol of the version, for the stage benchmarks.
GreyImage stage_frame(int version);

// The decoders. Each returns true and the bytes of the symbol when it read
// one, QR Code only. vorden_read calls the designed entry, and
// vorden_thorough_read the entry that tries further strategies after it.
bool vorden_read(const GreyImage& image, std::string* bytes);
bool vorden_thorough_read(const GreyImage& image, std::string* bytes);
bool zxing_read(const GreyImage& image, std::string* bytes);
bool zbar_read(const GreyImage& image, std::string* bytes);

}  // namespace vorden::bench

#endif
