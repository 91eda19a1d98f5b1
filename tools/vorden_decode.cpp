// vorden-decode: decodes the QR Code symbol in each image file named on the
// command line and prints its text.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "image_input.h"
#include "json_text.h"
#include "vorden.h"

namespace {

using vorden::tools::GreyImage;

constexpr const char* kProgram = "vorden-decode";

// decode_symbol refuses larger sides: its run tables count in 16 bits.
constexpr int64_t kMaxSide = 32767;

// Exit codes; a run ends with the worst of its files.
constexpr int kDecoded = 0;
constexpr int kNoSymbol = 1;
constexpr int kFailed = 2;

constexpr const char* kUsage =
    "Usage: vorden-decode [OPTION]... FILE...\n"
    "Decode the QR Code symbol in each image FILE (PNG, JPEG, BMP, binary PGM/PPM;\n"
    "\"-\" reads standard input) and print its text followed by a newline.\n"
    "\n"
    "Options:\n"
    "  --json            one JSON object per line for each file: file, text,\n"
    "                    provisional, structured_append, milliseconds; text is null\n"
    "                    when no symbol was read, and an unreadable file gives error\n"
    "  --raw             write the decoded bytes exactly, with nothing added\n"
    "  --reduce          shrink an image with a side of 1280 pixels or more by the\n"
    "                    integer factor max(width / 640, height / 640), as the\n"
    "                    camera application does\n"
    "  --pixel-depth N   pass N to the decoder: 1 declares a two-level image (0 dark,\n"
    "                    anything else light), 8 (the default) grey\n"
    "  --log             write the decoder's diagnostic lines to standard error\n"
    "  --help            show this help and exit\n"
    "  --version         show the decoder's version and exit\n"
    "\n"
    "Colour is turned into luminance as (r + g + b) / 3; alpha is ignored.\n"
    "The decoder takes at most 32767 pixels on a side.\n"
    "\n"
    "Exit status: 0 when every file decoded, 1 when a file held no readable\n"
    "symbol, 2 on a usage error or a file that could not be read; with several\n"
    "files the worst of these.\n";

struct Options {
    bool json = false;
    bool raw = false;
    bool reduce = false;
    bool log = false;
    int32_t pixel_depth = 8;
    std::vector<std::string> files;
};

int usage_error(const std::string& message) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", kProgram, message.c_str(), kProgram);
    return kFailed;
}

bool parse_int32(const std::string& text, int32_t& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long parsed = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < INT32_MIN || parsed > INT32_MAX) return false;
    value = static_cast<int32_t>(parsed);
    return true;
}

// Returns -1 to go on, otherwise the exit code to leave with now.
int parse_arguments(int argc, char** argv, Options& options) {
    bool options_ended = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (options_ended || arg == "-" || arg.rfind("-", 0) != 0) {
            options.files.push_back(arg);
        } else if (arg == "--") {
            options_ended = true;
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return std::fflush(stdout) == 0 ? kDecoded : kFailed;
        } else if (arg == "--version") {
            std::printf("%s (vorden %s)\n", kProgram, decoder_version_string());
            return std::fflush(stdout) == 0 ? kDecoded : kFailed;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--raw") {
            options.raw = true;
        } else if (arg == "--reduce") {
            options.reduce = true;
        } else if (arg == "--log") {
            options.log = true;
        } else if (arg == "--pixel-depth" || arg.rfind("--pixel-depth=", 0) == 0) {
            std::string value;
            if (arg == "--pixel-depth") {
                if (i + 1 >= argc) return usage_error("--pixel-depth needs a value");
                value = argv[++i];
            } else {
                value = arg.substr(std::strlen("--pixel-depth="));
            }
            if (!parse_int32(value, options.pixel_depth)) {
                return usage_error("--pixel-depth: not an integer: '" + value + "'");
            }
        } else {
            return usage_error("unknown option '" + arg + "'");
        }
    }
    if (options.json && options.raw) return usage_error("--json and --raw exclude each other");
    if (options.files.empty()) return usage_error("no image file given");
    return -1;
}

class FileRun {
  public:
    FileRun(const Options& options, std::string file) : options_(options), file_(std::move(file)) {}

    int run() {
        try {
            return decode();
        } catch (const std::bad_alloc&) {
            return fail("out of memory");
        }
    }

  private:
    int fail(const std::string& reason) {
        std::fprintf(stderr, "%s: %s: %s\n", kProgram, file_.c_str(), reason.c_str());
        if (options_.json) {
            emit_json("{\"file\":" + vorden::tools::json_string(file_) +
                      ",\"error\":" + vorden::tools::json_string(reason) + "}");
        }
        return kFailed;
    }

    int decode() {
        std::vector<uint8_t> bytes;
        std::string error;
        if (!vorden::tools::read_file(file_, bytes, error)) return fail("cannot read: " + error);

        // Refuse an over-large image on its header's word, before its pixels
        // take any memory.
        int64_t width = 0, height = 0;
        if (!vorden::tools::image_size(bytes, width, height, error))
            return fail("cannot decode image: " + error);
        int64_t decoded_width = width, decoded_height = height;
        if (options_.reduce && (width >= 1280 || height >= 1280)) {
            const int64_t f = std::max(width / 640, height / 640);
            decoded_width = (width + f - 1) / f;
            decoded_height = (height + f - 1) / f;
        }
        if (decoded_width > kMaxSide || decoded_height > kMaxSide) {
            return fail("image too large: " + std::to_string(width) + " x " + std::to_string(height) +
                        " pixels; the decoder takes at most " + std::to_string(kMaxSide) +
                        " pixels on a side" + (options_.reduce ? "" : " (--reduce shrinks it)"));
        }

        GreyImage image;
        if (!vorden::tools::decode_image(bytes, image, error)) return fail("cannot decode image: " + error);
        bytes = {};
        if (options_.reduce) vorden::tools::reduce_like_camera(image);
        if (image.width > kMaxSide || image.height > kMaxSide) {
            return fail("image too large: " + std::to_string(image.width) + " x " +
                        std::to_string(image.height) + " pixels");
        }

        const auto start = std::chrono::steady_clock::now();
        const char* text = decode_symbol(image.pixels.data(), image.width, image.height, options_.pixel_depth,
                                         options_.log ? stderr : nullptr);
        const double milliseconds =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();

        if (text == nullptr) {
            std::fprintf(stderr, "%s: %s: no QR Code symbol found\n", kProgram, file_.c_str());
            if (options_.json) {
                emit_json("{\"file\":" + vorden::tools::json_string(file_) +
                          ",\"text\":null,\"milliseconds\":" + format_milliseconds(milliseconds) + "}");
            }
            return kNoSymbol;
        }
        report(text, milliseconds);
        return kDecoded;
    }

    // The public face gives a NUL-terminated text and no length, so a text
    // ends at its first zero byte.
    void report(std::string_view text, double milliseconds) {
        int32_t partial = 0;
        decoder_query(1, &partial);
        const StructuredAppendInfo* append = nullptr;
        decoder_query(2, &append);

        if (!options_.json) {
            std::fwrite(text.data(), 1, text.size(), stdout);
            if (!options_.raw) std::fputc('\n', stdout);
            if (partial != 0) {
                std::fprintf(stderr,
                             "%s: %s: provisional text: read only through a correction that used a "
                             "block's full capacity\n",
                             kProgram, file_.c_str());
            }
            return;
        }
        std::string line = "{\"file\":" + vorden::tools::json_string(file_) +
                           ",\"text\":" + vorden::tools::json_string(text);
        if (!vorden::tools::is_utf8(text)) line += ",\"hex\":\"" + vorden::tools::hex_bytes(text) + "\"";
        line += std::string(",\"provisional\":") + (partial != 0 ? "true" : "false");
        if (append != nullptr && append->present != 0) {
            line +=
                ",\"structured_append\":{\"present\":true,\"position\":" + std::to_string(append->position) +
                ",\"total\":" + std::to_string(append->total) +
                ",\"parity\":" + std::to_string(append->parity) +
                ",\"length\":" + std::to_string(append->length) + "}";
        }
        line += ",\"milliseconds\":" + format_milliseconds(milliseconds) + "}";
        emit_json(line);
    }

    static std::string format_milliseconds(double milliseconds) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%.3f", milliseconds);
        return buffer;
    }

    // One line per file, flushed, so that a reader can follow a long run.
    static void emit_json(const std::string& object) {
        std::fwrite(object.data(), 1, object.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }

    const Options& options_;
    std::string file_;
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    const int early = parse_arguments(argc, argv, options);
    if (early >= 0) return early;

    int worst = kDecoded;
    for (const std::string& file : options.files) {
        const int code = FileRun(options, file).run();
        if (code > worst) worst = code;
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "%s: cannot write standard output: %s\n", kProgram, std::strerror(errno));
        return kFailed;
    }
    return worst;
}
