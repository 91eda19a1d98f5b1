// vorden-decode: decodes the QR Code symbol in each image file named on the
// command line and prints its text.
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "batch.h"
#include "image_input.h"
#include "json_text.h"
#include "reduce.h"
#include "vorden.h"

namespace {

using vorden::tools::Capture;
using vorden::tools::GreyImage;
using vorden::tools::Input;
using vorden::tools::Record;

constexpr const char* kProgram = "vorden-decode";

// decode_symbol refuses larger sides: its run tables count in 16 bits.
constexpr int64_t kMaxSide = 32767;

// Exit codes; a run ends with the worst of its files.
constexpr int kDecoded = 0;
constexpr int kNoSymbol = 1;
constexpr int kFailed = 2;

// Worker processes beyond this gain nothing and only take descriptors.
constexpr int64_t kMostJobs = 256;

// From this many files, a terminal on standard error shows how far the run is.
constexpr size_t kManyFiles = 100;

constexpr const char* kUsage =
    "Usage: vorden-decode [OPTION]... FILE...\n"
    "Decode the QR Code symbol in each image FILE (PNG, JPEG, BMP, binary PGM/PPM;\n"
    "\"-\" reads standard input) and print its text followed by a newline, in the\n"
    "order of the files.\n"
    "Symbols the decoder's designed pass misses (tilted, skewed, unevenly lit,\n"
    "light on dark, mirrored, small) are looked for further.\n"
    "\n"
    "Options:\n"
    "  --plain           the decoder's designed pass alone\n"
    "  --json            one JSON object per line for each file: file, text,\n"
    "                    provisional, structured_append, strategy, corners, mirrored\n"
    "                    (when it was), milliseconds; text is null when no symbol\n"
    "                    was read, and an unreadable file gives error\n"
    "  --raw             write the decoded bytes exactly, with nothing added\n"
    "  --reduce          shrink an image with a side of 1280 pixels or more by the\n"
    "                    integer factor max(width / 640, height / 640), as the\n"
    "                    camera application does\n"
    "  --pixel-depth N   pass N to the decoder: 1 declares a two-level image (0 dark,\n"
    "                    anything else light), 8 (the default) grey\n"
    "  --max-pixels N    refuse an image of more than N pixels (default 100000000),\n"
    "                    as its header declares, before decoding any\n"
    "  --max-bytes N     refuse a file, or standard input, of more than N bytes\n"
    "                    (default 268435456, 256 MiB); reading stops there\n"
    "  --log             write the decoder's diagnostic lines to standard error,\n"
    "                    then a line for each further strategy tried\n"
    "  -r, --recursive   decode the image files in each FILE that is a folder, and\n"
    "                    in its folders, by extension (png, jpg, jpeg, bmp, pgm,\n"
    "                    ppm, pnm), in the order of their names\n"
    "  --jobs N          decode in N worker processes (default: one per core)\n"
    "  --stats           end with a line on standard error: files, read, not\n"
    "                    found, failed and the time taken\n"
    "  --help            show this help and exit\n"
    "  --version         show the decoder's version and exit\n"
    "\n"
    "Colour is turned into luminance as (r + g + b) / 3; alpha is ignored.\n"
    "The decoder takes at most 32767 pixels on a side. A PNG or JPEG file that\n"
    "ends before its last chunk or end-of-image marker is refused as truncated.\n"
    "\n"
    "Exit status: 0 when every file decoded, 1 when a file held no readable\n"
    "symbol, 2 on a usage error, a file that could not be read or used, or when\n"
    "standard output could not be written; with several files the worst of these.\n";

struct Options {
    bool json = false;
    bool raw = false;
    bool reduce = false;
    bool log = false;
    bool plain = false;
    bool recursive = false;
    bool stats = false;
    int64_t jobs = 0;  // 0: one per core
    int32_t pixel_depth = 8;
    int64_t max_pixels = vorden::tools::kDefaultMaxPixels;
    int64_t max_bytes = static_cast<int64_t>(vorden::tools::kDefaultMaxBytes);
    std::vector<std::string> files;
};

int usage_error(const std::string& message) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", kProgram, message.c_str(), kProgram);
    return kFailed;
}

bool parse_integer(const std::string& text, int64_t low, int64_t high, int64_t& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long long parsed = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < low || parsed > high) return false;
    value = parsed;
    return true;
}

// The first error in writing standard output, for the message at the end:
// a full disk or a closed descriptor must not pass for success. Taken right
// after the write that failed, while errno still tells why.
int output_error = 0;

void note_output_error() {
    if (output_error == 0 && std::ferror(stdout)) output_error = errno != 0 ? errno : EIO;
}

bool flush_standard_output() {
    errno = 0;
    std::fflush(stdout);
    note_output_error();
    if (output_error == 0) return true;
    std::fprintf(stderr, "%s: cannot write to standard output: %s\n", kProgram, std::strerror(output_error));
    return false;
}

// Returns -1 to go on, otherwise the exit code to leave with now.
int parse_arguments(int argc, char** argv, Options& options) {
    const std::set<std::string> valued = {"--pixel-depth", "--max-pixels", "--max-bytes", "--jobs"};
    bool options_ended = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (options_ended || arg == "-" || arg.rfind("-", 0) != 0) {
            options.files.push_back(arg);
        } else if (arg == "--") {
            options_ended = true;
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return flush_standard_output() ? kDecoded : kFailed;
        } else if (arg == "--version") {
            std::printf("%s (vorden %s)\n", kProgram, decoder_version_string());
            return flush_standard_output() ? kDecoded : kFailed;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--raw") {
            options.raw = true;
        } else if (arg == "--reduce") {
            options.reduce = true;
        } else if (arg == "--log") {
            options.log = true;
        } else if (arg == "--plain") {
            options.plain = true;
        } else if (arg == "-r" || arg == "--recursive") {
            options.recursive = true;
        } else if (arg == "--stats") {
            options.stats = true;
        } else if (const size_t equals = arg.find('='); valued.count(arg.substr(0, equals)) != 0) {
            // --name VALUE or --name=VALUE
            const std::string name = arg.substr(0, equals);
            std::string value;
            if (equals != std::string::npos) {
                value = arg.substr(equals + 1);
            } else if (i + 1 < argc) {
                value = argv[++i];
            } else {
                return usage_error(name + " needs a value");
            }
            int64_t number = 0;
            if (name == "--pixel-depth") {
                if (!parse_integer(value, INT32_MIN, INT32_MAX, number))
                    return usage_error(name + ": not an integer: '" + value + "'");
                options.pixel_depth = static_cast<int32_t>(number);
            } else if (name == "--jobs") {
                if (!parse_integer(value, 1, kMostJobs, number))
                    return usage_error(name + ": not a number from 1 to " + std::to_string(kMostJobs) +
                                       ": '" + value + "'");
                options.jobs = number;
            } else {
                if (!parse_integer(value, 1, INT64_MAX, number))
                    return usage_error(name + ": not a positive integer: '" + value + "'");
                (name == "--max-pixels" ? options.max_pixels : options.max_bytes) = number;
            }
        } else {
            return usage_error("unknown option '" + arg + "'");
        }
    }
    if (options.json && options.raw) return usage_error("--json and --raw exclude each other");
    if (options.files.empty()) return usage_error("no image file given");
    return -1;
}

// One file's run, writing to the streams it is given: the batch writes them
// out in input order.
class FileRun {
  public:
    FileRun(const Options& options, std::string file, FILE* out, FILE* err)
        : options_(options), file_(std::move(file)), out_(out), err_(err) {}

    int run() {
        try {
            return decode();
        } catch (const std::bad_alloc&) {
            return fail("out of memory");
        }
    }

    int fail(const std::string& reason) {
        std::fprintf(err_, "%s: %s: %s\n", kProgram, file_.c_str(), reason.c_str());
        if (options_.json) {
            emit_json("{\"file\":" + vorden::tools::json_string(file_) +
                      ",\"error\":" + vorden::tools::json_string(reason) + "}");
        }
        return kFailed;
    }

  private:
    int decode() {
        std::vector<uint8_t> bytes;
        std::string error;
        if (!vorden::tools::read_file(file_, bytes, error, static_cast<size_t>(options_.max_bytes)))
            return fail("cannot read: " + error);

        // Refuse an over-large image on its header's word, before its pixels
        // take any memory.
        int64_t width = 0, height = 0;
        if (!vorden::tools::image_size(bytes, width, height, error))
            return fail("cannot decode image: " + error);
        // Sides come from 32-bit fields at most, so the product is exact.
        if (width * height > options_.max_pixels) {
            return fail("image too large: " + std::to_string(width) + " x " + std::to_string(height) +
                        " pixels, more than the limit of " + std::to_string(options_.max_pixels) +
                        " pixels (--max-pixels raises it)");
        }
        int64_t decoded_width = width, decoded_height = height;
        if (options_.reduce) {
            const int64_t f = vorden::tools::reduction_factor(width, height);
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
        const auto decode = options_.plain ? decode_symbol : decode_symbol_thorough;
        const char* text = decode(image.pixels.data(), image.width, image.height, options_.pixel_depth,
                                  options_.log ? err_ : nullptr);
        const double milliseconds =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();

        if (text == nullptr) {
            std::fprintf(err_, "%s: %s: no QR Code symbol found\n", kProgram, file_.c_str());
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
            std::fwrite(text.data(), 1, text.size(), out_);
            if (!options_.raw) std::fputc('\n', out_);
            if (partial != 0) {
                std::fprintf(err_,
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
        if (ReadInfo info; decoder_read_info(&info)) {
            line += ",\"strategy\":" + vorden::tools::json_string(info.strategy_name) + ",\"corners\":[";
            for (int k = 0; k < 4; ++k) {
                char point[64];
                std::snprintf(point, sizeof point, "%s[%.1f,%.1f]", k == 0 ? "" : ",", info.corners[k][0],
                              info.corners[k][1]);
                line += point;
            }
            line += "]";
            if (info.mirrored != 0) line += ",\"mirrored\":true";
        }
        line += ",\"milliseconds\":" + format_milliseconds(milliseconds) + "}";
        emit_json(line);
    }

    static std::string format_milliseconds(double milliseconds) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%.3f", milliseconds);
        return buffer;
    }

    void emit_json(const std::string& object) {
        std::fwrite(object.data(), 1, object.size(), out_);
        std::fputc('\n', out_);
    }

    const Options& options_;
    std::string file_;
    FILE* out_;
    FILE* err_;
};

// Writes the records out as they come, in input order, with the progress
// line and the counts for --stats.
class Report {
  public:
    Report(const Options& options, size_t files)
        : options_(options),
          files_(files),
          progress_(files >= kManyFiles && isatty(STDERR_FILENO) != 0),
          stdout_is_terminal_(isatty(STDOUT_FILENO) != 0),
          start_(std::chrono::steady_clock::now()) {}

    void write(Record& record) {
        ++done_;
        const int code = std::clamp(record.code, kDecoded, kFailed);
        ++counts_[code];
        worst_ = std::max(worst_, code);
        for (const Record::Chunk& chunk : record.chunks) {
            if (chunk.stream == 2 || stdout_is_terminal_) clear_progress();
            FILE* stream = chunk.stream == 1 ? stdout : stderr;
            std::fwrite(chunk.bytes.data(), 1, chunk.bytes.size(), stream);
            if (chunk.stream == 1) {
                // One line per file, flushed, so that a reader can follow a long run.
                if (options_.json) std::fflush(stdout);
                note_output_error();
            }
        }
        show_progress();
    }

    int finish() {
        clear_progress();
        if (options_.stats) {
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
            std::fprintf(stderr, "%s: %zu files: %zu read, %zu not found, %zu failed, %.3f s\n", kProgram,
                         files_, counts_[kDecoded], counts_[kNoSymbol], counts_[kFailed], seconds);
        }
        return flush_standard_output() ? worst_ : kFailed;
    }

  private:
    void show_progress() {
        if (!progress_) return;
        const auto now = std::chrono::steady_clock::now();
        if (shown_ && now - drawn_ < std::chrono::milliseconds(100) && done_ < files_) return;
        if (stdout_is_terminal_) std::fflush(stdout);
        std::fprintf(stderr, "\r%s: %zu of %zu files", kProgram, done_, files_);
        std::fflush(stderr);
        shown_ = true;
        drawn_ = now;
    }

    void clear_progress() {
        if (!shown_) return;
        std::fputs("\r\033[K", stderr);
        shown_ = false;
    }

    const Options& options_;
    const size_t files_;
    const bool progress_;
    const bool stdout_is_terminal_;
    const std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point drawn_;
    bool shown_ = false;
    size_t done_ = 0;
    size_t counts_[3] = {0, 0, 0};
    int worst_ = kDecoded;
};

}  // namespace

int main(int argc, char** argv) {
    // Each file's image and the decoder's buffers are alike in size from one
    // file to the next: kept by the C library rather than handed back to the
    // system and faulted in again, they cost nothing the second time. Left
    // to itself, glibc's adaptive thresholds settle differently in each
    // process, and a batch's workers would pay that cost file after file.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
    Options options;
    const int early = parse_arguments(argc, argv, options);
    if (early >= 0) return early;

    const std::vector<Input> inputs = vorden::tools::list_inputs(options.files, options.recursive);
    Report report(options, inputs.size());
    const auto produce = [&](size_t i) {
        Record record;
        {
            const Capture capture(record);  // closed before the record moves
            FileRun file(options, inputs[i].path, capture.out(), capture.err());
            record.code = inputs[i].error.empty() ? file.run() : file.fail(inputs[i].error);
        }
        return record;
    };
    const auto consume = [&](size_t i, Record& record) {
        if (!record.lost.empty()) {
            const Capture capture(record);
            record.code = FileRun(options, inputs[i].path, capture.out(), capture.err())
                              .fail("not decoded: " + record.lost);
        }
        report.write(record);
    };
    const int jobs = options.jobs > 0 ? static_cast<int>(options.jobs) : vorden::tools::available_cores();
    try {
        vorden::tools::run_in_order(inputs.size(), jobs, produce, consume);
    } catch (const std::system_error& error) {
        std::fprintf(stderr, "%s: cannot run the worker processes: %s\n", kProgram, error.what());
        report.finish();
        return kFailed;
    }
    return report.finish();
}
