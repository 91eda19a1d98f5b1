// The decoder's internal header: the one process-wide state record and the
// stage operations that work on it. Stages return -1 for success and 0 for
// failure; callers test for non-zero.
#ifndef VORDEN_DECODER_H
#define VORDEN_DECODER_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "vorden.h"

namespace vorden {

struct MemChunk {
    uint8_t* data;
    int32_t element_size;
    int32_t count;
    int32_t capacity;
};

struct ScanHit {
    int32_t line, start, center_start, center_length, length, group;
};

struct FinderPattern {
    float width, height, center_width, center_height, y, x;
    int32_t row_hit_count, column_hit_count, group, score, top, bottom, left, right;
    float size;
};

struct GridPoint {
    float x, y;
    int32_t column, row;
    float units_state;
    float local_x_unit[2];
    float local_y_unit[2];
};

using SamplingGrid = MemChunk;

struct BlockGroup {
    int32_t block_count, block_length, data_length, correctable_errors;
};

struct DecoderState {
    // driver
    int32_t image_width, image_height;
    FILE* log_stream;
    uint8_t* binary_image;
    int32_t result_partial, symbol_version;
    char result_text[7090];
    // finder patterns
    int32_t finder_count;
    MemChunk column_hits, row_hits;
    int32_t selected_finders[3];
    MemChunk finder_patterns;
    int16_t* row_runs;
    int16_t* column_runs;
    // geometry
    float y_unit[2], x_unit[2];
    // sampling
    int32_t symbol_size;
    SamplingGrid sampling_grid;
    uint8_t module_matrix[177 * 177];
    uint8_t function_map[3917];
    // format
    int32_t mask_pattern, ec_level;
    // codewords
    BlockGroup block_layout[2];
    int32_t total_codewords, data_codeword_count;
    uint8_t raw_codewords[3706];
    uint8_t data_codewords[3706];
    int32_t block_clean;
    int16_t gf_log[256];
    // data segments
    int32_t bit_offset;
    uint8_t* bit_cursor;
    StructuredAppendInfo structured_append;
    int32_t text_length;
    char text_buffer[7090];
};

extern DecoderState decoder_state;  // the one process-wide instance, zero at start

extern const uint8_t gf_exp[255];
extern const uint32_t version_info_words[41];
extern const int32_t alignment_centres[41][8];
extern const int32_t ec_block_table[41][4][2][4];
extern const uint8_t gf16_powers[15];
extern const char alphanumeric_table[];  // 45 characters + NUL
// Module offsets (along x_unit, along y_unit) of the 18 version-information
// bits from the centre of the neighbouring finder pattern, most significant
// bit first: [0] copy 1 beside F1, [1] copy 2 beside F2.
extern const int8_t version_info_offsets[2][18][2];

// process heap (heap): what the stages allocate, kept warm between calls
void* heap_alloc(size_t bytes);
void* heap_realloc(void* block, size_t bytes);
void heap_free(void* block);
void heap_release();
struct HeapFigures {
    size_t in_use;   // bytes asked for, of the blocks in use
    size_t peak;     // the most in_use has been since heap_reset_peak
    size_t most;     // the most in_use has been since heap_release: the bound of held + kept
    size_t held;     // bytes of the blocks in use
    size_t kept;     // bytes of the freed blocks kept for reuse
    size_t refused;  // allocations that found no room, ever
};
HeapFigures heap_figures();
void heap_reset_peak();
// shared by every stage (helpers)
int32_t pixel_index(int32_t x, int32_t y);
double round_nearest(double v);
// Writes a printf-style diagnostic line to log_stream; silent when it is null.
void log_line(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A pass's log lines, kept as they are written so that a later pass that
// would repeat it exactly can write them again instead. `failed` when there
// was no room: that pass is then not repeated from its record.
struct KeptLog {
    char* text;
    size_t size, capacity;
    bool failed;
};
// log_line keeps every line in `log` too, until called with null.
void keep_log_lines(KeptLog* log);
// driver (top)
void binarize(int32_t pass, const uint8_t* image, int32_t pixel_depth);
// chunk pool (memchunk)
void memchunk_init(MemChunk* pool, int32_t element_size);
void memchunk_free(MemChunk* pool);
void memchunk_clear(MemChunk* pool);
int32_t memchunk_add(MemChunk* pool, const void* record);
void* memchunk_realloc(void* block, size_t bytes);
// finder patterns and alignment search (eyepattern, alignment)
int32_t find_finder_patterns();
void release_finder_patterns();
int32_t build_row_runs();
int32_t build_column_runs();
void scan_finder_runs(const int16_t* table, int32_t line_length, int32_t line_count, MemChunk* hits);
// A pass's run tables and the hits scanned from them, into the state's hit
// arrays; false when a table finds no room.
bool find_finder_hits();
void group_crossing_hits();
int32_t refine_finder_centers();
void refine_finder_center(FinderPattern* candidate);
void score_finder_candidates();
void choose_finder_triple();
int32_t orient_finder_triple();
int32_t find_alignment_pattern(GridPoint* point);
int32_t scan_alignment_runs(const int16_t* table, int32_t line_length, MemChunk* hits, int32_t first_line,
                            int32_t first_position, int32_t line_count, int32_t span, float module);
// The alignment hits grouped as group_crossing_hits groups the finder hits,
// by their dark runs and numbered from 1; false when there is no room.
bool group_alignment_hits(int32_t first_column, int32_t columns);
// version
int32_t estimate_version(int32_t attempt, int32_t image_width, int32_t image_height);
int32_t read_version_information(int32_t copy, int32_t image_width, int32_t image_height);
int32_t match_version_information(uint32_t bits);
// grid
int32_t build_sampling_grid();
int32_t sample_modules();
int32_t sample_module(int32_t column, int32_t row);
GridPoint* find_grid_point(int32_t row, int32_t column);
void release_sampling_grid();
const int32_t* alignment_centres_row(int32_t version);
// format
int32_t read_format_information();
int32_t decode_format_bch(int32_t word);
int32_t gf16_log(int32_t value);
// unmask
void remove_data_mask();
// reorder
int32_t read_codewords();
void mark_function_patterns();
int32_t collect_codewords();
void next_module(int32_t& column, int32_t& row, int32_t& placement_column, int32_t& placement_upward);
int32_t correct_blocks();
// rsdecode
int32_t rs_decode(uint8_t* block, int32_t length, int32_t capacity);
int32_t solve_gf_system(uint8_t** rows, int32_t n);
int32_t gf_logarithm(int32_t value);
// decode
const char* decode_data_segments();
void reset_bit_reader();
int32_t read_bit();
uint32_t read_bits(int32_t n);
int32_t bits_remaining();
char alphanumeric_char(int32_t value);

// thorough reader (thorough): strategies by number, each a whole read of an
// image with the designed call's contract
int32_t thorough_strategy_count();
const char* thorough_strategy_name(int32_t k);
const char* read_with_strategy(int32_t k, const uint8_t* image, int32_t width, int32_t height,
                               int32_t pixel_depth);
// the last read (readinfo): what decoder_read_info reports, the maps from
// module to image that place the corners, and the designed call's hooks
struct LastRead {
    ReadInfo info;
    bool valid;        // whether the last call read anything
    int32_t strategy;  // the read being made: 0 the designed call, k + 1 strategy k
    const char* name;
    float scale;  // image pixels per pixel of the strategy's image
};
extern LastRead last_read;
struct Homography {
    double h[8];  // x = (h0 c + h1 r + h2) / w, y = (h3 c + h4 r + h5) / w, w = h6 c + h7 r + 1
    bool map(double c, double r, float& x, float& y) const;
};
// The affine map of the finder triple at the current version's units.
Homography affine_map();
// The symbol's outer corners (top left, top right, bottom right, bottom
// left) through the map.
void corners_of(const Homography& m, float corners[4][2]);
// Copies text_buffer to result_text and notes the read, its corners in the
// strategy's image (`transposed`: read from a mirrored matrix).
void keep_text(const float corners[4][2], bool transposed);
void forget_read();
void note_designed_read();
// image transforms (transform); binary images hold 64 for dark, 0 for light
bool local_threshold(const uint8_t* image, int32_t width, int32_t height, bool lighter, uint8_t* binary);
void enlarge_twice(const uint8_t* image, int32_t width, int32_t height, uint8_t* out);

// pixel_index for the stages' pixel-by-pixel loops, where a call per pixel
// would cost more than the test it makes: the same rule, inlined.
inline int32_t pixel_offset(int32_t x, int32_t y) {
    const DecoderState& s = decoder_state;
    if (x < 0 || x >= s.image_width || y < 0 || y >= s.image_height) return 0;
    return y * s.image_width + x;
}

// Whether more than half the pixels are darker than the image's mean grey
// level, as a light-on-dark frame is.
bool mostly_dark(const uint8_t* image, size_t pixels);

// The block table's level row (L, M, Q, H) of the level that the format
// information gives, whose two bits order the levels M = 00, L = 01, H = 10,
// Q = 11 (ISO/IEC 18004 Table 12).
constexpr int32_t level_row(int32_t ec_level) {
    return (ec_level ^ 1) & 3;
}

// Images are addressed with 16-bit run lengths, so no side may exceed this.
constexpr int32_t kMaxSide = 32767;

// An image the decoder takes: pixels there, each side 1 to kMaxSide.
inline bool image_fits(const uint8_t* image, int32_t width, int32_t height) {
    return image != nullptr && width >= 1 && height >= 1 && width <= kMaxSide && height <= kMaxSide;
}

// Only the low 16 bits of pixel_depth count, read as a signed value.
inline bool is_two_level(int32_t pixel_depth) {
    return static_cast<int16_t>(pixel_depth & 0xFFFF) == 1;
}

}  // namespace vorden

#endif  // VORDEN_DECODER_H
