// Image files in, 8-bit luminance out, for the command-line decoder.
#ifndef VORDEN_TOOLS_IMAGE_INPUT_H
#define VORDEN_TOOLS_IMAGE_INPUT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vorden::tools {

// Row-major, no row gaps, 0 = black: what decode_symbol takes.
struct GreyImage {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> pixels;
};

// What a file may hold by default: 256 MiB, far more than a compressed
// image of 100 megapixels takes, though not an uncompressed colour BMP or
// PPM of that size.
constexpr size_t kDefaultMaxBytes = size_t{256} << 20;

// The default limit on an image's pixels, taken from its header (image_size)
// before any are decoded: stb_image holds a whole colour image at once, and a
// header costs a few bytes to write and can ask for gigabytes.
constexpr int64_t kDefaultMaxPixels = 100'000'000;

// A reason for messages, from an errno value: "file not found", else the
// system's text starting in lower case ("permission denied").
std::string errno_text(int error);

// Reads a whole file ("-" is standard input). False with `error` set to the
// reason ("file not found", "empty file", ...) when it cannot be read; a
// file of more than `max_bytes` is refused as soon as that many are read, so
// an endless stream ends and takes no more memory than that.
bool read_file(const std::string& path, std::vector<uint8_t>& bytes, std::string& error,
               size_t max_bytes = kDefaultMaxBytes);

// The size an encoded PNG, JPEG, BMP or binary PGM/PPM declares, from its
// header alone. False with `error` set when the bytes are no such image.
bool image_size(const std::vector<uint8_t>& bytes, int64_t& width, int64_t& height, std::string& error);

// Decodes the image and turns it into luminance as the camera path does:
// grey as it is, colour as (r + g + b) / 3; alpha is ignored. With `rgb`, a
// colour image also leaves its red, green and blue there, pixel by pixel (a
// grey one leaves it empty). False with `error` set when the image does not
// decode, or when a PNG or JPEG file ends before its last chunk or its
// end-of-image marker.
bool decode_image(const std::vector<uint8_t>& bytes, GreyImage& image, std::string& error,
                  std::vector<uint8_t>* rgb = nullptr);

// The camera's reduction: a frame with a side of 1280 pixels or more
// shrinks by f = max(width / 640, height / 640), each output pixel being
// the mean (rounded down) of the pixels of its f x f block that lie inside
// the image. Smaller frames are left alone. True when it reduced.
bool reduce_like_camera(GreyImage& image);

}  // namespace vorden::tools

#endif
