#include "image_input.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

#include "reduce.h"

#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#define STBI_NO_STDIO
#define STBI_FAILURE_USERMSG
#define STBI_ONLY_PNG
#define STBI_ONLY_JPEG
#define STBI_ONLY_BMP
#include <stb/stb_image.h>

namespace vorden::tools {

std::string errno_text(int error) {
    if (error == ENOENT) return "file not found";
    std::string text = std::strerror(error);
    if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

namespace {

// stb_image takes the encoded size as an int.
bool fits_stb(const std::vector<uint8_t>& bytes, std::string& error) {
    if (bytes.size() > static_cast<size_t>(INT_MAX)) {
        error = "file too large to decode";
        return false;
    }
    return true;
}

// Binary PGM (P5) and PPM (P6) are read here rather than by stb_image,
// whose reader of this version takes a raster shorter than the header
// declares without complaint and overflows on long size fields.
struct PnmHeader {
    int channels = 0;  // 1 grey, 3 RGB
    int64_t width = 0, height = 0;
    int32_t max_value = 0;
    size_t raster = 0;  // offset of the first sample
};

bool is_pnm(const std::vector<uint8_t>& bytes) {
    return bytes.size() >= 2 && bytes[0] == 'P' && (bytes[1] == '5' || bytes[1] == '6');
}

bool pnm_space(uint8_t c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Whitespace and '#' comments up to the end of their line, then a decimal
// number; false when there is none or it exceeds `limit`.
bool pnm_number(const std::vector<uint8_t>& bytes, size_t& at, int64_t limit, int64_t& value) {
    while (at < bytes.size()) {
        if (pnm_space(bytes[at])) {
            ++at;
        } else if (bytes[at] == '#') {
            while (at < bytes.size() && bytes[at] != '\n' && bytes[at] != '\r') ++at;
        } else {
            break;
        }
    }
    if (at >= bytes.size() || !std::isdigit(bytes[at])) return false;
    value = 0;
    while (at < bytes.size() && std::isdigit(bytes[at])) {
        value = value * 10 + (bytes[at++] - '0');
        if (value > limit) return false;
    }
    return true;
}

bool read_pnm_header(const std::vector<uint8_t>& bytes, PnmHeader& header, std::string& error) {
    header.channels = bytes[1] == '6' ? 3 : 1;
    size_t at = 2;
    // Sides beyond 2^31 are refused here; the caller names its own limit.
    int64_t max_value = 0;
    if (!pnm_number(bytes, at, INT32_MAX, header.width) || !pnm_number(bytes, at, INT32_MAX, header.height) ||
        !pnm_number(bytes, at, 65535, max_value)) {
        error = "bad PGM/PPM header";
        return false;
    }
    if (header.width < 1 || header.height < 1 || max_value < 1) {
        error = "bad PGM/PPM header: zero size or maximum value";
        return false;
    }
    // Exactly one whitespace character ends the header.
    if (at >= bytes.size() || !pnm_space(bytes[at])) {
        error = "bad PGM/PPM header";
        return false;
    }
    header.max_value = static_cast<int32_t>(max_value);
    header.raster = at + 1;
    return true;
}

bool decode_pnm(const std::vector<uint8_t>& bytes, GreyImage& image, std::string& error) {
    PnmHeader header;
    if (!read_pnm_header(bytes, header, error)) return false;
    const uint64_t sample_bytes = header.max_value > 255 ? 2 : 1;
    const uint64_t pixels = static_cast<uint64_t>(header.width) * static_cast<uint64_t>(header.height);
    // Divided rather than multiplied: the declared sides may be up to 2^31.
    const uint64_t samples =
        (bytes.size() - header.raster) / (static_cast<uint64_t>(header.channels) * sample_bytes);
    if (samples / static_cast<uint64_t>(header.width) < static_cast<uint64_t>(header.height)) {
        error = "PGM/PPM file truncated";
        return false;
    }
    image.width = static_cast<int32_t>(header.width);
    image.height = static_cast<int32_t>(header.height);
    image.pixels.resize(static_cast<size_t>(pixels));
    const uint8_t* in = bytes.data() + header.raster;
    const uint32_t max = static_cast<uint32_t>(header.max_value);
    // Samples are scaled from 0..max_value to 0..255, to the nearest level.
    const auto sample = [&](size_t index) -> uint32_t {
        const uint32_t v = sample_bytes == 2 ? (uint32_t{in[2 * index]} << 8) | in[2 * index + 1] : in[index];
        return (std::min(v, max) * 255 + max / 2) / max;
    };
    for (size_t i = 0; i < pixels; ++i) {
        if (header.channels == 1) {
            image.pixels[i] = static_cast<uint8_t>(sample(i));
        } else {
            image.pixels[i] =
                static_cast<uint8_t>((sample(3 * i) + sample(3 * i + 1) + sample(3 * i + 2)) / 3);
        }
    }
    return true;
}

uint32_t little_endian(const std::vector<uint8_t>& bytes, size_t at, int count) {
    uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i) value = value << 8 | bytes[at + i];
    return value;
}

// Checks that stb_image of this version leaves to chance; the reason, or
// empty when the file may go to it.
//
// An uncompressed BMP whose pixel rows run past the end of the file is read
// by stb_image as if the rest were black.
std::string bmp_problem(const std::vector<uint8_t>& bytes) {
    if (bytes.size() < 30 || bytes[0] != 'B' || bytes[1] != 'M') return {};
    const uint64_t offset = little_endian(bytes, 10, 4);
    const uint32_t header_size = little_endian(bytes, 14, 4);
    int64_t width = 0, height = 0;
    uint32_t bits = 0, compression = 0;
    if (header_size == 12) {
        width = little_endian(bytes, 18, 2);
        height = little_endian(bytes, 20, 2);
        bits = little_endian(bytes, 24, 2);
    } else if (bytes.size() >= 34) {
        width = static_cast<int32_t>(little_endian(bytes, 18, 4));
        height = static_cast<int32_t>(little_endian(bytes, 22, 4));
        bits = little_endian(bytes, 28, 2);
        compression = little_endian(bytes, 30, 4);
    }
    // 0 none, 3 and 6 bit fields; the run-length forms are refused by stb_image.
    if (compression != 0 && compression != 3 && compression != 6) return {};
    if (width <= 0 || height == 0 || bits == 0) return {};
    const uint64_t stride = (static_cast<uint64_t>(width) * bits + 31) / 32 * 4;
    const uint64_t rows = static_cast<uint64_t>(height < 0 ? -height : height);
    if (offset > bytes.size() || (bytes.size() - offset) / stride < rows) return "BMP file truncated";
    return {};
}

// Walks a JPEG's segments (ISO/IEC 10918-1 B.1.1), passing over
// entropy-coded data, to its first EOI; bytes after it are not looked at.
//
// A Huffman table of more than 256 codes overruns stb_image's tables (B.2.4.2
// allows at most 256 values per table); tables may also come between the scans
// of a progressive image, so every segment is looked at. Separately it tells
// whether the file is whole: stb_image of this version decodes a scan cut
// short as if the rest were zero bits, and only the missing marker after it
// gives the cut away, by a reason ("Corrupt JPEG") that does not say so.
struct JpegWalk {
    std::string unsafe;      // why stb_image must not see it, or empty
    std::string unfinished;  // why the file is not whole, or empty
};

JpegWalk walk_jpeg(const std::vector<uint8_t>& bytes) {
    JpegWalk walk;
    size_t at = 2;
    bool in_scan = false, scanned = false;
    while (at + 2 <= bytes.size()) {
        const uint8_t marker = bytes[at + 1];
        if (bytes[at] != 0xFF || marker == 0x00 || (marker >= 0xD0 && marker <= 0xD7)) {
            // Entropy-coded data, a stuffed zero or a restart marker.
            scanned = scanned || in_scan;
            at += bytes[at] == 0xFF ? 2 : 1;
            continue;
        }
        if (marker == 0xFF) {
            ++at;  // fill byte
            continue;
        }
        if (marker == 0xD9) {
            if (!scanned) walk.unfinished = "JPEG file has no image data";
            return walk;
        }
        if (marker == 0x01 || marker == 0xD8) {
            at += 2;  // no length follows
            continue;
        }
        if (at + 4 > bytes.size()) break;
        const size_t length = static_cast<size_t>(bytes[at + 2]) << 8 | bytes[at + 3];
        // A table cut short is still looked at: stb_image reads on past the end.
        const size_t end = std::min(at + 2 + length, bytes.size());
        if (marker == 0xC4) {
            for (size_t table = at + 4; table + 17 <= end;) {
                size_t codes = 0;
                for (size_t i = 1; i <= 16; ++i) codes += bytes[table + i];
                if (codes > 256) {
                    walk.unsafe = "bad Huffman table";
                    return walk;
                }
                table += 17 + codes;
            }
        }
        if (at + 2 + length > bytes.size()) break;
        in_scan = marker == 0xDA;
        at = std::max(end, at + 4);
    }
    walk.unfinished = "JPEG file truncated";
    return walk;
}

bool is_jpeg(const std::vector<uint8_t>& bytes) {
    return bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xD8;
}

uint32_t big_endian(const std::vector<uint8_t>& bytes, size_t at) {
    return uint32_t{bytes[at]} << 24 | uint32_t{bytes[at + 1]} << 16 | uint32_t{bytes[at + 2]} << 8 |
           bytes[at + 3];
}

// A PNG is whole when its chunks, each of the length it declares with its
// CRC after it, run up to and through IEND; bytes after IEND are let be.
// stb_image of this version reads a file without IEND's CRC as whole.
std::string png_problem(const std::vector<uint8_t>& bytes) {
    static const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (bytes.size() < 8 || !std::equal(signature, signature + 8, bytes.begin())) return {};
    for (size_t at = 8; at + 12 <= bytes.size();) {
        const uint64_t end = at + uint64_t{12} + big_endian(bytes, at);
        if (end > bytes.size()) break;
        if (std::equal(bytes.begin() + at + 4, bytes.begin() + at + 8, "IEND")) return {};
        at = static_cast<size_t>(end);
    }
    return "PNG file truncated";
}

// Reading the header alone already builds the Huffman tables, so every
// check of safety comes before any call of stb_image.
bool stb_may_read(const std::vector<uint8_t>& bytes, std::string& error) {
    if (!fits_stb(bytes, error)) return false;
    error = bmp_problem(bytes);
    if (error.empty() && is_jpeg(bytes)) error = walk_jpeg(bytes).unsafe;
    return error.empty();
}

// Whether the file ends where its format says; checked once the header has
// been found acceptable, so that an over-large image is named as such.
bool stb_whole(const std::vector<uint8_t>& bytes, std::string& error) {
    error = is_jpeg(bytes) ? walk_jpeg(bytes).unfinished : png_problem(bytes);
    return error.empty();
}

}  // namespace

bool read_file(const std::string& path, std::vector<uint8_t>& bytes, std::string& error, size_t max_bytes) {
    bytes.clear();
    const bool standard_input = path == "-";
    std::unique_ptr<FILE, int (*)(FILE*)> owned(standard_input ? nullptr : std::fopen(path.c_str(), "rb"),
                                                &std::fclose);
    FILE* file = standard_input ? stdin : owned.get();
    if (file == nullptr) {
        error = errno_text(errno);
        return false;
    }
    const std::string too_large =
        "more than " + std::to_string(max_bytes) + " bytes (--max-bytes raises the limit)";
    // A regular file's size is known before reading; a pipe or a device is
    // read until it ends or passes the limit.
    struct stat status {};
    if (fstat(fileno(file), &status) == 0 && S_ISREG(status.st_mode)) {
        if (static_cast<uint64_t>(status.st_size) > max_bytes) {
            error = too_large;
            return false;
        }
        bytes.reserve(static_cast<size_t>(status.st_size));
    }
    // Room grows by doubling, but once that would reach the limit straight
    // to the limit and a chunk, the most ever read: an endless stream takes
    // little more memory than the limit.
    uint8_t chunk[65536];
    const size_t most = max_bytes > SIZE_MAX - sizeof chunk ? SIZE_MAX : max_bytes + sizeof chunk;
    for (;;) {
        errno = 0;
        const size_t got = std::fread(chunk, 1, sizeof chunk, file);
        if (got == 0) break;
        if (bytes.size() + got > bytes.capacity()) {
            const size_t doubled = std::max(bytes.size() + got, 2 * bytes.capacity());
            bytes.reserve(doubled >= max_bytes ? most : doubled);
        }
        bytes.insert(bytes.end(), chunk, chunk + got);
        if (bytes.size() > max_bytes) break;
    }
    if (std::ferror(file)) {
        // A directory opens for reading on Linux and fails here with EISDIR.
        error = errno != 0 ? errno_text(errno) : "read error";
        return false;
    }
    if (bytes.size() > max_bytes) {
        error = too_large;
        return false;
    }
    if (bytes.empty()) {
        error = "empty file";
        return false;
    }
    return true;
}

bool image_size(const std::vector<uint8_t>& bytes, int64_t& width, int64_t& height, std::string& error) {
    if (is_pnm(bytes)) {
        PnmHeader header;
        if (!read_pnm_header(bytes, header, error)) return false;
        width = header.width;
        height = header.height;
        return true;
    }
    if (!stb_may_read(bytes, error)) return false;
    int x = 0, y = 0, channels = 0;
    if (!stbi_info_from_memory(bytes.data(), static_cast<int>(bytes.size()), &x, &y, &channels)) {
        error = stbi_failure_reason();
        return false;
    }
    width = x;
    height = y;
    return true;
}

bool decode_image(const std::vector<uint8_t>& bytes, GreyImage& image, std::string& error,
                  std::vector<uint8_t>* rgb) {
    if (rgb != nullptr) rgb->clear();
    if (is_pnm(bytes)) return decode_pnm(bytes, image, error);
    if (!stb_may_read(bytes, error) || !stb_whole(bytes, error)) return false;
    int x = 0, y = 0, channels = 0;
    std::unique_ptr<stbi_uc, void (*)(void*)> data(
        stbi_load_from_memory(bytes.data(), static_cast<int>(bytes.size()), &x, &y, &channels, 0),
        &stbi_image_free);
    if (!data) {
        error = stbi_failure_reason();
        return false;
    }
    if (x < 1 || y < 1) {
        error = "image has no pixels";
        return false;
    }
    image.width = x;
    image.height = y;
    const size_t count = static_cast<size_t>(x) * static_cast<size_t>(y);
    image.pixels.resize(count);
    const stbi_uc* in = data.get();
    uint8_t* out = image.pixels.data();
    if (rgb != nullptr && channels > 2) rgb->reserve(count * 3);
    if (channels <= 2) {
        // Grey, or grey and alpha.
        for (size_t i = 0; i < count; ++i) out[i] = in[i * channels];
    } else {
        // RGB or RGBA, the camera's plain mean of the three.
        for (size_t i = 0; i < count; ++i) {
            const stbi_uc* p = in + i * channels;
            out[i] = static_cast<uint8_t>((p[0] + p[1] + p[2]) / 3);
            if (rgb != nullptr) rgb->insert(rgb->end(), p, p + 3);
        }
    }
    return true;
}

bool reduce_like_camera(GreyImage& image) {
    const int32_t f = reduction_factor(image.width, image.height);
    if (f == 1) return false;
    GreyImage reduced;
    reduced.width = (image.width + f - 1) / f;
    reduced.height = (image.height + f - 1) / f;
    reduced.pixels.resize(static_cast<size_t>(reduced.width) * static_cast<size_t>(reduced.height));
    reduce_by_blocks(image.pixels.data(), image.width, image.height, f, reduced.pixels.data());
    image = std::move(reduced);
    return true;
}

}  // namespace vorden::tools
