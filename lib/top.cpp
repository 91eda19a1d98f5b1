// Decoder driver: the entry operation, the pass loop and the binarization of
// each pass.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "decoder.h"

namespace vorden {

namespace {

const char kVersion[] = "1.2.6";

}  // namespace

// ---------------------------------------------------------------------------
// Binarization: one global threshold per pass, moving from the mean towards
// the darkest grey level so that a failed pass retries with fewer dark pixels.

namespace {

struct GreyLevels {
    int32_t min, max, mean;
};

// The image does not change between the passes of one call, so decode_symbol
// has its levels swept once; a binarize called on its own sweeps every time.
struct CallLevels {
    bool in_call;
    bool swept;
    GreyLevels levels;
} call_levels;

// Loops over fixed blocks of this many pixels compile to vector code at
// the usual optimisation levels; the remainder runs pixel by pixel.
constexpr size_t kBlock = 64;

// Sixteen pixels at a time in vector registers (GCC and Clang vector
// extensions), written out so that no optimisation level has to discover
// the vector code itself: byte-wise minimum and maximum, and eight 16-bit
// sums that take each pair of bytes, folded every 2048 pixels before they
// could overflow (2048 / 8 x 255).
using Bytes16 = uint8_t __attribute__((vector_size(16)));
using Halves8 = uint16_t __attribute__((vector_size(16)));

#if defined(__SSE2__)
// With SSE2 (every x86-64): byte-wise minimum and maximum, and the sum of
// absolute differences from zero, which adds each 8 bytes into a 64-bit lane.
GreyLevels sweep_levels(const uint8_t* __restrict image, size_t pixels) {
    __m128i low = _mm_set1_epi8(static_cast<char>(image[0]));
    __m128i high = low;
    __m128i sums = _mm_setzero_si128();
    const __m128i zero = _mm_setzero_si128();
    size_t i = 0;
    for (; i + 16 <= pixels; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(image + i));
        low = _mm_min_epu8(low, v);
        high = _mm_max_epu8(high, v);
        sums = _mm_add_epi64(sums, _mm_sad_epu8(v, zero));
    }
    uint8_t lows[16], highs[16];
    uint64_t halves[2];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lows), low);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(highs), high);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(halves), sums);
    uint8_t min = lows[0], max = highs[0];
    for (int32_t l = 1; l < 16; ++l) {
        min = lows[l] < min ? lows[l] : min;
        max = highs[l] > max ? highs[l] : max;
    }
    uint64_t sum = halves[0] + halves[1];
#else
GreyLevels sweep_levels(const uint8_t* __restrict image, size_t pixels) {
    constexpr size_t kFold = 2048;
    Bytes16 low, high;
    for (int32_t l = 0; l < 16; ++l) low[l] = high[l] = image[0];
    uint64_t sum = 0;
    size_t i = 0;
    for (; i + kFold <= pixels; i += kFold) {
        Halves8 pairs = {};
        for (size_t k = 0; k < kFold; k += 16) {
            Bytes16 v;
            std::memcpy(&v, image + i + k, sizeof v);
            // All ones where true.
            const Bytes16 below = v < low;
            const Bytes16 above = v > high;
            low = (v & below) | (low & ~below);
            high = (v & above) | (high & ~above);
            Halves8 h;
            std::memcpy(&h, &v, sizeof h);
            pairs += (h & 0xFF) + (h >> 8);
        }
        for (int32_t l = 0; l < 8; ++l) sum += pairs[l];
    }
    uint8_t min = low[0], max = high[0];
    for (int32_t l = 1; l < 16; ++l) {
        min = low[l] < min ? low[l] : min;
        max = high[l] > max ? high[l] : max;
    }
#endif
    for (; i < pixels; ++i) {
        const uint8_t v = image[i];
        min = v < min ? v : min;
        max = v > max ? v : max;
        sum += v;
    }
    const int32_t mean = static_cast<int32_t>(static_cast<double>(sum) / static_cast<double>(pixels));
    return GreyLevels{min, max, mean};
}

GreyLevels levels_of(const uint8_t* image, size_t pixels) {
    CallLevels& c = call_levels;
    if (!c.in_call) return sweep_levels(image, pixels);
    if (!c.swept) {
        c.levels = sweep_levels(image, pixels);
        c.swept = true;
    }
    return c.levels;
}

// out[i] = 64 where image[i] < below, else 0. `below` is at most 255, the
// mean of 8-bit levels, so the comparison fits in bytes.
void threshold_image(const uint8_t* __restrict image, uint8_t* __restrict out, size_t pixels, uint8_t below) {
    size_t i = 0;
    for (; i + kBlock <= pixels; i += kBlock) {
        for (size_t k = 0; k < kBlock; ++k) out[i + k] = image[i + k] < below ? 64 : 0;
    }
    for (; i < pixels; ++i) out[i] = image[i] < below ? 64 : 0;
}

}  // namespace

namespace {

int32_t pass_threshold(int32_t pass, const GreyLevels& g) {
    if (pass == 1) return (g.mean + g.min) / 2;
    if (pass == 2) return (3 * g.mean + g.min) / 4;
    return g.mean;
}

// Whether any pixel lies in [lo, hi): the binary images of thresholds lo
// and hi differ exactly there.
bool any_between(const uint8_t* __restrict image, size_t pixels, int32_t lo, int32_t hi) {
    const auto base = static_cast<uint8_t>(lo);
    const auto span = static_cast<uint8_t>(hi - lo);
    constexpr size_t kStretch = 64 * kBlock;
    size_t i = 0;
    for (; i + kStretch <= pixels; i += kStretch) {
        uint8_t inside = 0;
        for (size_t k = 0; k < kStretch; ++k) inside |= static_cast<uint8_t>(image[i + k] - base) < span;
        if (inside != 0) return true;
    }
    for (; i < pixels; ++i) {
        if (static_cast<uint8_t>(image[i] - base) < span) return true;
    }
    return false;
}

}  // namespace

void binarize(int32_t pass, const uint8_t* image, int32_t pixel_depth) {
    DecoderState& s = decoder_state;
    const size_t pixels = static_cast<size_t>(s.image_width) * static_cast<size_t>(s.image_height);

    // Two-level input: only a byte of 0 is dark, so "below 1" is the rule.
    if (is_two_level(pixel_depth)) {
        threshold_image(image, s.binary_image, pixels, 1);
        return;
    }

    const GreyLevels g = levels_of(image, pixels);
    const int32_t threshold = pass_threshold(pass, g);
    log_line("min %d, max %d, threshold %d\n", g.min, g.max, threshold);

    threshold_image(image, s.binary_image, pixels, static_cast<uint8_t>(threshold));
}

// ---------------------------------------------------------------------------
// Passes that would repeat one before them. Each pass depends on nothing but
// its binary image, so a pass whose threshold leaves the same binary image
// as an earlier pass's (no pixel lies between the two thresholds, as in any
// two-level picture) would write the same lines and reach the same outcome.
// It is not run again: its record is replayed instead.

namespace {

// What a pass left for the call: its log lines, the provisional text it held
// last, and the live records that decoder_query reads.
struct PassRecord {
    bool valid;
    size_t refused;  // the heap's count when the pass began
    KeptLog log;
    bool held;
    StructuredAppendInfo held_append, live_append;
    int32_t held_length, live_length, live_partial;
    char held_text[sizeof(DecoderState::result_text)];
};
PassRecord records[2];  // passes 0 and 1: pass 2 is the last

// The earlier pass whose binary image `pass` repeats, or -1.
int32_t repeated_pass(int32_t pass, const uint8_t* image) {
    const DecoderState& s = decoder_state;
    const size_t pixels = static_cast<size_t>(s.image_width) * static_cast<size_t>(s.image_height);
    const GreyLevels g = call_levels.levels;
    const int32_t t = pass_threshold(pass, g);
    for (int32_t earlier = 0; earlier < pass; ++earlier) {
        const PassRecord& r = records[earlier];
        if (!r.valid || (s.log_stream != nullptr && r.log.failed)) continue;
        const int32_t u = pass_threshold(earlier, g);
        if (!any_between(image, pixels, std::min(t, u), std::max(t, u))) return earlier;
    }
    return -1;
}

void start_record(int32_t pass) {
    if (pass >= 2) return;
    PassRecord& r = records[pass];
    r.valid = true;
    r.refused = heap_figures().refused;
    r.log.size = 0;
    r.log.failed = false;
    r.held = false;
    if (decoder_state.log_stream != nullptr) keep_log_lines(&r.log);
}

void note_held(int32_t pass) {
    if (pass >= 2) return;
    const DecoderState& s = decoder_state;
    PassRecord& r = records[pass];
    r.held = true;
    r.held_append = s.structured_append;
    r.held_length = s.text_length;
    std::memcpy(r.held_text, s.result_text, sizeof r.held_text);
}

void end_record(int32_t pass) {
    keep_log_lines(nullptr);
    if (pass >= 2) return;
    const DecoderState& s = decoder_state;
    PassRecord& r = records[pass];
    // A pass that ran short of room may fare otherwise with it.
    if (heap_figures().refused != r.refused) r.valid = false;
    r.live_append = s.structured_append;
    r.live_length = s.text_length;
    r.live_partial = s.result_partial;
}

// Replays the record, as the pass would have ended; true when it held a text.
bool replay(const PassRecord& r) {
    DecoderState& s = decoder_state;
    if (s.log_stream != nullptr) std::fwrite(r.log.text, 1, r.log.size, s.log_stream);
    if (r.held) std::memcpy(s.result_text, r.held_text, sizeof s.result_text);
    s.structured_append = r.live_append;
    s.text_length = r.live_length;
    s.result_partial = r.live_partial;
    return r.held;
}

void release_records() {
    keep_log_lines(nullptr);
    for (PassRecord& r : records) {
        heap_free(r.log.text);
        r.log = KeptLog{};
        r.valid = false;
    }
}

}  // namespace

bool mostly_dark(const uint8_t* image, size_t pixels) {
    const auto below = static_cast<uint8_t>(sweep_levels(image, pixels).mean);
    size_t dark = 0, i = 0;
    for (; i + kBlock <= pixels; i += kBlock) {
        uint8_t block = 0;  // at most kBlock
        for (size_t k = 0; k < kBlock; ++k) block = static_cast<uint8_t>(block + (image[i + k] < below));
        dark += block;
    }
    for (; i < pixels; ++i) dark += image[i] < below;
    return dark > pixels / 2;
}

}  // namespace vorden

// ---------------------------------------------------------------------------
// Public face.

using namespace vorden;

extern "C" const char* decode_symbol(const uint8_t* image, int32_t width, int32_t height, int32_t pixel_depth,
                                     FILE* log) {
    forget_read();
    // Refuse what the 16-bit run tables cannot describe before touching state.
    if (!image_fits(image, width, height)) return nullptr;
    DecoderState& s = decoder_state;
    s.image_width = width;
    s.image_height = height;
    s.log_stream = log;

    s.binary_image =
        static_cast<uint8_t*>(heap_alloc(static_cast<size_t>(width) * static_cast<size_t>(height)));
    if (s.binary_image == nullptr) {
        log_line("malloc() failed.\n");
        return nullptr;
    }

    call_levels.in_call = true;
    call_levels.swept = false;
    bool held = false;
    // What decoder_query reports of the held text; a later attempt's parse
    // rewrites the live record even when it fails.
    StructuredAppendInfo held_append{};
    int32_t held_length = 0;
    for (int32_t pass = 0; pass < 3; ++pass) {
        s.result_partial = 0;
        log_line("mode %d\n", pass);
        binarize(pass, image, pixel_depth);
        if (const int32_t earlier = is_two_level(pixel_depth) ? -1 : repeated_pass(pass, image);
            earlier >= 0) {
            if (replay(records[earlier])) {
                held = true;
                held_append = records[earlier].held_append;
                held_length = records[earlier].held_length;
            }
            continue;
        }
        start_record(pass);
        if (find_finder_patterns()) {
            for (int32_t attempt = 0; attempt < 2; ++attempt) {
                s.symbol_version = estimate_version(attempt, s.image_width, s.image_height);
                if (s.symbol_version < 1) continue;
                if (!build_sampling_grid() || !sample_modules() || !read_format_information()) {
                    release_sampling_grid();
                    continue;
                }
                remove_data_mask();
                if (!read_codewords()) {
                    release_sampling_grid();
                    continue;
                }
                const char* text = decode_data_segments();
                release_sampling_grid();
                if (text == nullptr) continue;
                std::memcpy(s.result_text, text, sizeof s.result_text);
                note_designed_read();
                if (s.result_partial == 0) {
                    release_finder_patterns();
                    release_records();
                    heap_free(s.binary_image);
                    s.binary_image = nullptr;
                    call_levels.in_call = false;
                    return s.result_text;
                }
                // A full-capacity correction may be wrong: keep it only as a
                // fallback while the remaining attempts look for a sure read.
                held = true;
                held_append = s.structured_append;
                held_length = s.text_length;
                note_held(pass);
            }
        }
        release_finder_patterns();
        end_record(pass);
        if (is_two_level(pixel_depth)) break;
    }
    release_records();
    heap_free(s.binary_image);
    s.binary_image = nullptr;
    call_levels.in_call = false;

    if (!held) return nullptr;
    s.result_partial = -1;
    s.structured_append = held_append;
    s.text_length = held_length;
    return s.result_text;
}

extern "C" const char* decoder_version_string(void) {
    return kVersion;
}

extern "C" int32_t decoder_query(int32_t kind, void* out) {
    if (out == nullptr) return 0;
    if (kind == 1) {
        *static_cast<int32_t*>(out) = decoder_state.result_partial;
        return -1;
    }
    if (kind == 2) {
        *static_cast<const StructuredAppendInfo**>(out) = &decoder_state.structured_append;
        return -1;
    }
    return 0;
}
