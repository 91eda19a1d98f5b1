// Finder patterns ("eye patterns").
//
// The binary image is run-length encoded by rows and by columns once per
// pass; the 1:1:3:1:1 cross-section of a finder pattern (ISO/IEC 18004 6.3.3)
// is then a test on five consecutive runs. The same tables, and the
// grouping of crossing hits, serve the alignment search (alignment.cpp)
// later in the pass.
#include <algorithm>
#include <bit>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "decoder.h"

namespace vorden {

namespace {

DecoderState& S = decoder_state;

// Bounds are held at 64-bit precision and quotients rounded to 32 bits before
// they meet them, so quotients that fall exactly on a fraction are decided
// the same way everywhere.
constexpr double kOuterMin = 1.0 / 15;   // 0.5 / 7.5
constexpr double kOuterMax = 3.0 / 13;   // 1.5 / 6.5
constexpr double kCenterMin = 1.0 / 3;   // 2.5 / 7.5
constexpr double kCenterMax = 7.0 / 13;  // 3.5 / 6.5

bool within(int32_t run, int32_t total, double lo, double hi) {
    const float q = static_cast<float>(run) / static_cast<float>(total);
    return q >= lo && q <= hi;
}

// within() without its division, for bounds lo_num / lo_den and hi_num /
// hi_den. Runs are at most 32767 pixels, so a total of five is below 2^18,
// and a quotient that is not exactly a bound lies at least 1 / (15 x 2^18)
// from it, far more than a 32-bit float's rounding: the float falls on the
// same side as the exact quotient. Only a quotient exactly on a bound needs
// the float itself.
template <int32_t lo_num, int32_t lo_den, int32_t hi_num, int32_t hi_den>
[[gnu::always_inline]] inline bool runs_within(int32_t run, int32_t total, double lo, double hi) {
    const int32_t above_lo = run * lo_den - lo_num * total;
    const int32_t below_hi = hi_num * total - run * hi_den;
    if (above_lo < 0 || below_hi < 0) return false;
    if (above_lo == 0 || below_hi == 0) return within(run, total, lo, hi);
    return true;
}
[[gnu::always_inline]] inline bool outer_within(int32_t run, int32_t total) {
    return runs_within<1, 15, 3, 13>(run, total, kOuterMin, kOuterMax);
}
[[gnu::always_inline]] inline bool center_within(int32_t run, int32_t total) {
    return runs_within<1, 3, 7, 13>(run, total, kCenterMin, kCenterMax);
}

bool dark(int32_t x, int32_t y) {
    return S.binary_image[pixel_offset(x, y)] == 64;
}

ScanHit* hits_of(MemChunk& pool) {
    return reinterpret_cast<ScanHit*>(pool.data);
}
FinderPattern* patterns() {
    return reinterpret_cast<FinderPattern*>(S.finder_patterns.data);
}

// ---------------------------------------------------------------------------
// Run tables: per line, alternating dark and light run lengths, dark first
// (possibly of length 0), ended by -1 and filled up with zeros.
//
// Runs end where a pixel differs from the one before it along the line, so
// the tables are built from those changes alone, from the image packed into
// bits (below): most of a frame is long runs, and 64 equal pixels compare as
// one word.

// Ends the line's runs at `length` pixels: the last run and the terminator.
// Nothing reads a line past its terminator, so the entries after it are not
// cleared: that would be a store per pixel of both tables for no reader.
void close_line(int16_t* runs, int32_t j, int32_t length, int32_t start) {
    runs[j] = static_cast<int16_t>(length - start);
    runs[j + 1] = -1;
}

// Columns are built 64 at a time, one packed word per row, walking down the
// rows, so the image is read a cache line at a time rather than a pixel per
// line.
constexpr int32_t kStrip = 64;

// A table still held from the pass before is freed first.
int16_t* allocate_runs(int16_t** table, int32_t line_length, int32_t line_count) {
    heap_free(*table);
    const size_t entries = static_cast<size_t>(line_length + 2) * static_cast<size_t>(line_count);
    *table = static_cast<int16_t*>(heap_alloc(entries * sizeof(int16_t)));
    if (*table == nullptr) log_line("malloc() failed.\n");
    return *table;
}

// ---------------------------------------------------------------------------
// The binary image packed into bits, one bit a pixel: bit k of word w of a
// row is pixel 64 w + k, set when dark, and the bits past a row's end are 0.
// build_row_runs packs the image, once per pass; the run tables are then
// built from whole words of changes, and the centre refinement's walks
// become bit scans. find_finder_patterns lets it go once the refinement is
// done, release_finder_patterns when a stage ran on its own.

struct PackedImage {
    uint64_t* words;  // image_height rows of `stride` words, or null
    int32_t stride;
} packed;

// 64 pixels as 64 bits, pixel k in bit k. binary_image holds only 64 and 0
// (binarize writes nothing else), so bit 6 of each byte is the pixel. With
// SSE2 (every x86-64) one instruction gathers the top bits of 16 bytes, once
// a shift has moved bit 6 up; elsewhere a multiplication gathers eight.
#if defined(__SSE2__)
uint64_t pack64(const uint8_t* p) {
    uint64_t bits = 0;
    for (int32_t k = 0; k < 4; ++k) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
        bits |= static_cast<uint64_t>(static_cast<uint16_t>(_mm_movemask_epi8(_mm_slli_epi16(v, 1))))
                << (16 * k);
    }
    return bits;
}
#else
uint64_t load8(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
uint64_t pack8(const uint8_t* p) {
    return (((load8(p) >> 6) & 0x0101010101010101ull) * 0x0102040810204080ull) >> 56;
}
uint64_t pack64(const uint8_t* p) {
    uint64_t bits = 0;
    if constexpr (std::endian::native == std::endian::little) {
        for (int32_t k = 0; k < 8; ++k) bits |= pack8(p + 8 * k) << (8 * k);
    } else {
        for (int32_t k = 0; k < 64; ++k) bits |= static_cast<uint64_t>(p[k] == 64) << k;
    }
    return bits;
}
#endif

void pack_row(const uint8_t* line, int32_t width, uint64_t* words, int32_t stride) {
    for (int32_t w = 0; w < stride; ++w) {
        const int32_t x0 = 64 * w;
        if (x0 + 64 <= width) {
            words[w] = pack64(line + x0);
        } else if (width >= 64) {
            // The row's last pixels: the 64 that end the row, shifted down
            // past those of the word before, which leaves light bits above.
            words[w] = pack64(line + width - 64) >> (x0 + 64 - width);
        } else {
            // A row narrower than a word, padded with light pixels.
            uint8_t tail[64] = {};
            std::memcpy(tail, line + x0, static_cast<size_t>(width - x0));
            words[w] = pack64(tail);
        }
    }
}

void release_packed_image() {
    heap_free(packed.words);
    packed.words = nullptr;
}

// Packs binary_image, replacing any packed image held; false when there is
// no room.
bool pack_image() {
    release_packed_image();
    const int32_t stride = (S.image_width + 63) / 64;
    packed.stride = stride;
    packed.words = static_cast<uint64_t*>(
        heap_alloc(static_cast<size_t>(stride) * static_cast<size_t>(S.image_height) * sizeof(uint64_t)));
    if (packed.words == nullptr) return false;
    for (int32_t y = 0; y < S.image_height; ++y) {
        pack_row(S.binary_image + static_cast<size_t>(y) * S.image_width, S.image_width,
                 packed.words + static_cast<size_t>(y) * stride, stride);
    }
    return true;
}

const uint64_t* packed_row(int32_t y) {
    return packed.words + static_cast<size_t>(y) * packed.stride;
}

// A row's runs from its bits: a run starts wherever a pixel differs from
// the one before it, which is a bit of the row XORed with the row shifted by
// one pixel.
void row_runs_of_bits(const uint64_t* bits, int32_t width, int16_t* runs) {
    int32_t j = 0;
    if ((bits[0] & 1) == 0) runs[j++] = 0;  // a light first pixel: the dark run is empty
    int32_t start = 0;
    uint64_t before = bits[0] & 1;  // pixel 0 has no pixel before it: no change there
    for (int32_t w = 0; 64 * w < width; ++w) {
        uint64_t changes = bits[w] ^ ((bits[w] << 1) | before);
        before = bits[w] >> 63;
        if (width - 64 * w < 64) changes &= (1ull << (width - 64 * w)) - 1;  // pixels of the row only
        for (; changes != 0; changes &= changes - 1) {
            const int32_t x = 64 * w + std::countr_zero(changes);
            runs[j++] = static_cast<int16_t>(x - start);
            start = x;
        }
    }
    close_line(runs, j, width, start);
}

// The runs of the 64 columns of word w down the rows: a run starts wherever
// a pixel differs from the one above it.
void column_strip_runs_of_bits(int32_t w, int16_t* table) {
    const int32_t height = S.image_height;
    const int32_t entries = height + 2;
    const int32_t x0 = 64 * w;
    const int32_t columns = std::min(kStrip, S.image_width - x0);
    int16_t* runs[kStrip];
    int32_t j[kStrip], start[kStrip];
    uint64_t above = packed_row(0)[w];
    for (int32_t k = 0; k < columns; ++k) {
        runs[k] = table + static_cast<size_t>(x0 + k) * entries;
        j[k] = 0;
        start[k] = 0;
        if (((above >> k) & 1) == 0) runs[k][j[k]++] = 0;
    }
    for (int32_t y = 1; y < height; ++y) {
        const uint64_t now = packed_row(y)[w];
        for (uint64_t changes = now ^ above; changes != 0; changes &= changes - 1) {
            const int32_t k = std::countr_zero(changes);  // bits past the row's end never change
            runs[k][j[k]++] = static_cast<int16_t>(y - start[k]);
            start[k] = y;
        }
        above = now;
    }
    for (int32_t k = 0; k < columns; ++k) close_line(runs[k], j[k], height, start[k]);
}

}  // namespace

// The row table and the packed image that it, the column table and the
// refinement are built from.
int32_t build_row_runs() {
    const int32_t width = S.image_width;
    if (!pack_image()) {
        log_line("malloc() failed.\n");
        return 0;
    }
    int16_t* table = allocate_runs(&S.row_runs, width, S.image_height);
    if (table == nullptr) return 0;
    for (int32_t y = 0; y < S.image_height; ++y)
        row_runs_of_bits(packed_row(y), width, table + static_cast<size_t>(y) * (width + 2));
    return -1;
}

// From the packed image of build_row_runs.
int32_t build_column_runs() {
    int16_t* table = allocate_runs(&S.column_runs, S.image_height, S.image_width);
    if (table == nullptr) return 0;
    for (int32_t w = 0; 64 * w < S.image_width; ++w) column_strip_runs_of_bits(w, table);
    return -1;
}

// ---------------------------------------------------------------------------
// Hits: the windows of five runs in the proportions of a finder pattern.

void scan_finder_runs(const int16_t* table, int32_t line_length, int32_t line_count, MemChunk* hits) {
    for (int32_t line = 0; line < line_count; ++line) {
        const int16_t* r = table + static_cast<size_t>(line) * (line_length + 2);
        // Fewer than five runs: no window.
        if (r[0] == -1 || r[1] == -1 || r[2] == -1 || r[3] == -1 || r[4] == -1) continue;

        int32_t total = r[0] + r[1] + r[2] + r[3] + r[4];
        int32_t start = 0;
        for (int32_t i = 0;; i += 2) {
            // The centre run first: it fails most windows.
            if (center_within(r[i + 2], total) && outer_within(r[i], total) &&
                outer_within(r[i + 1], total) && outer_within(r[i + 3], total) &&
                outer_within(r[i + 4], total)) {
                const ScanHit hit{line, start, start + r[i] + r[i + 1], r[i + 2], total, -1};
                memchunk_add(hits, &hit);
            }
            // Slide by one dark-light pair, so windows always open on a dark run.
            const int32_t d = r[i] + r[i + 1];
            start += d;
            if (r[i + 5] == -1 || r[i + 6] == -1) break;
            total = total - d + r[i + 5] + r[i + 6];
        }
    }
}

// ---------------------------------------------------------------------------
// Grouping: crossing row and column hits joined into candidates.

namespace {

// Appends a fresh record, in number order, for each group number that hits
// still carry, and points record_of[number] at it. The numbers merged away
// (on striped input nearly all of the hundreds of thousands issued) would
// only be dropped again, so they take no record. The records' count, or -1
// without room.
int32_t open_candidates(int32_t groups, int32_t* record_of) {
    constexpr int32_t kCarried = -2;
    std::fill(record_of, record_of + groups, -1);
    for (MemChunk* pool : {&S.row_hits, &S.column_hits}) {
        const ScanHit* hits = hits_of(*pool);
        for (int32_t i = 0; i < pool->count; ++i) {
            if (hits[i].group >= 0) record_of[hits[i].group] = kCarried;
        }
    }
    FinderPattern blank{};
    blank.top = S.image_height;
    blank.left = S.image_width;
    int32_t records = 0;
    for (int32_t k = 0; k < groups; ++k) {
        if (record_of[k] != kCarried) continue;
        blank.group = k;
        if (!memchunk_add(&S.finder_patterns, &blank)) return -1;
        record_of[k] = records++;
    }
    return records;
}

// Group numbers as the joins below issue them. The rule is that when two
// groups meet, the smaller number survives and the larger is never used
// again; relabelling every hit of the larger at each meeting costs a pass
// over both arrays per merge, which on striped input is quadratic. Instead
// each number points towards the one it was merged into (union-find with
// the smaller as the root), and settle() writes every hit's final number
// once at the end: the same numbers and the same decisions as relabelling.
class GroupNumbers {
  public:
    // Room for `most` numbers from `first` on; ok() is false without it.
    GroupNumbers(int32_t first, int32_t most)
        : first_(first),
          next_(first),
          parent_(static_cast<int32_t*>(heap_alloc(static_cast<size_t>(most) * sizeof(int32_t)))) {}
    ~GroupNumbers() { heap_free(parent_); }
    GroupNumbers(const GroupNumbers&) = delete;
    GroupNumbers& operator=(const GroupNumbers&) = delete;

    bool ok() const { return parent_ != nullptr; }
    int32_t issued() const { return next_; }

    void join(ScanHit& h, ScanHit& v);
    void settle();

  private:
    bool grouped(int32_t g) const { return g >= first_; }
    int32_t& up(int32_t g) { return parent_[g - first_]; }
    // The surviving number of g's group, halving the path on the way.
    int32_t root(int32_t g) {
        while (up(g) != g) {
            up(g) = up(up(g));
            g = up(g);
        }
        return g;
    }

    int32_t first_, next_;
    int32_t* parent_;
};

// Joins a crossing row hit and column hit into one group. Finder groups
// count from 0, alignment groups from 1.
void GroupNumbers::join(ScanHit& h, ScanHit& v) {
    const bool h_grouped = grouped(h.group);
    const bool v_grouped = grouped(v.group);
    if (h_grouped) h.group = root(h.group);
    if (v_grouped) v.group = root(v.group);
    if (v_grouped && !h_grouped) {
        h.group = v.group;
    } else if (v_grouped && h.group != v.group) {
        up(std::max(h.group, v.group)) = std::min(h.group, v.group);
    } else if (!v_grouped && h_grouped) {
        v.group = h.group;
    } else if (!v_grouped && !h_grouped) {
        up(next_) = next_;
        h.group = next_;
        v.group = next_;
        ++next_;
    }
}

void GroupNumbers::settle() {
    for (MemChunk* pool : {&S.row_hits, &S.column_hits}) {
        ScanHit* hits = hits_of(*pool);
        for (int32_t i = 0; i < pool->count; ++i) {
            if (grouped(hits[i].group)) hits[i].group = root(hits[i].group);
        }
    }
}

// A new number needs a row hit and a column hit that neither had one.
int32_t most_groups() {
    return std::min(S.row_hits.count, S.column_hits.count) + 1;
}

// Which stretch of a hit joins: the centre run for finder hits, the dark
// run for alignment hits.
struct CentreRun {
    static int32_t start(const ScanHit& h) { return h.center_start; }
    static int32_t end(const ScanHit& h) { return h.center_start + h.center_length; }
};
struct DarkRun {
    static int32_t start(const ScanHit& h) { return h.start; }
    static int32_t end(const ScanHit& h) { return h.start + h.length; }
};

// Where each column's hits begin in the column hit array: the hits of
// column lo + c are hits[first[c] .. first[c + 1] - 1]. The scans store
// their hits line by line, of columns [lo, lo + lines), and in order along
// each line, so within a column their runs follow one another down the
// image, apart, and at most one holds a given row. Row hits come row by
// row, so each column keeps a cursor that only moves down. first is null
// when there is no room.
template <class Run>
struct ColumnIndex {
    int32_t lo, lines;
    int32_t* first;
    int32_t* cursor;

    ColumnIndex(const ScanHit* columns, int32_t count, int32_t lo_, int32_t lines_)
        : lo(lo_), lines(lines_), first(nullptr), cursor(nullptr) {
        const size_t entries = static_cast<size_t>(lines) + 1;
        first = static_cast<int32_t*>(heap_alloc(2 * entries * sizeof(int32_t)));
        if (first == nullptr) return;
        cursor = first + entries;
        int32_t i = 0;
        for (int32_t c = 0; c <= lines; ++c) {
            while (i < count && columns[i].line < lo + c) ++i;
            first[c] = cursor[c] = i;
        }
    }
    ~ColumnIndex() { heap_free(first); }
    ColumnIndex(const ColumnIndex&) = delete;
    ColumnIndex& operator=(const ColumnIndex&) = delete;

    // Joins row hit h with every column hit of the columns through h's run
    // (its end included) whose run holds h's row, in array order.
    void join_crossing(ScanHit& h, ScanHit* columns, GroupNumbers& groups) {
        const int32_t last_column = std::min(Run::end(h), lo + lines - 1);
        const auto ends_before = [](const ScanHit& v, int32_t row) { return Run::end(v) < row; };
        for (int32_t c = std::max(Run::start(h), lo) - lo; c <= last_column - lo; ++c) {
            ScanHit* begin = columns + first[c];
            ScanHit* end = columns + first[c + 1];
            ScanHit* v = columns + cursor[c];
            // A row hit above the one before: search the column again.
            if (v != begin && Run::end(v[-1]) >= h.line)
                v = std::lower_bound(begin, end, h.line, ends_before);
            while (v != end && Run::end(*v) < h.line) ++v;
            cursor[c] = static_cast<int32_t>(v - columns);
            for (; v != end && Run::start(*v) <= h.line; ++v) groups.join(h, *v);
        }
    }
};

// Joins every crossing pair of row and column hits, in the order of the row
// hits and, for each, of the column hits: each line passes through the
// other's run (its end included). False, with no group joined, when there is
// no room for the numbers or the index.
template <class Run>
bool join_crossings(GroupNumbers& numbers, int32_t lo, int32_t lines) {
    ScanHit* rows = hits_of(S.row_hits);
    ScanHit* columns = hits_of(S.column_hits);
    if (!numbers.ok()) return false;
    ColumnIndex<Run> index(columns, S.column_hits.count, lo, lines);
    if (index.first == nullptr) return false;
    for (int32_t i = 0; i < S.row_hits.count; ++i) index.join_crossing(rows[i], columns, numbers);
    numbers.settle();
    return true;
}

}  // namespace

void group_crossing_hits() {
    GroupNumbers numbers(0, most_groups());
    if (!join_crossings<CentreRun>(numbers, 0, S.image_width)) {
        log_line("malloc() failed.\n");
        S.finder_count = -1;
        return;
    }
    const int32_t groups = numbers.issued();
    log_line("cross %d \n", groups);

    auto* record_of = static_cast<int32_t*>(heap_alloc(static_cast<size_t>(groups) * sizeof(int32_t)));
    const int32_t records = record_of == nullptr ? -1 : open_candidates(groups, record_of);
    if (records < 0) {
        heap_free(record_of);
        log_line("malloc() failed.\n");
        S.finder_count = -1;
        return;
    }
    const ScanHit* rows = hits_of(S.row_hits);
    const ScanHit* columns = hits_of(S.column_hits);
    FinderPattern* found = patterns();
    for (int32_t i = 0; i < S.row_hits.count; ++i) {
        const ScanHit& h = rows[i];
        if (h.group < 0) continue;
        FinderPattern& f = found[record_of[h.group]];
        f.x += static_cast<float>(h.start) + static_cast<float>(h.length) / 2;
        f.width += static_cast<float>(h.length);
        f.center_width += static_cast<float>(h.center_length);
        f.row_hit_count += 1;
        f.left = std::min(f.left, h.start);
        f.right = std::max(f.right, h.start + h.length);
    }
    for (int32_t i = 0; i < S.column_hits.count; ++i) {
        const ScanHit& v = columns[i];
        if (v.group < 0) continue;
        FinderPattern& f = found[record_of[v.group]];
        f.y += static_cast<float>(v.start) + static_cast<float>(v.length) / 2;
        f.height += static_cast<float>(v.length);
        f.center_height += static_cast<float>(v.center_length);
        f.column_hit_count += 1;
        f.top = std::min(f.top, v.start);
        f.bottom = std::max(f.bottom, v.start + v.length);
    }

    heap_free(record_of);

    // Groups seen in one direction only are no candidates; nor is one whose
    // mean centre is not dark.
    int32_t kept = 0;
    for (int32_t k = 0; k < records; ++k) {
        FinderPattern f = found[k];
        if (f.row_hit_count == 0 || f.column_hit_count == 0) continue;
        const float rows_seen = static_cast<float>(f.row_hit_count);
        const float columns_seen = static_cast<float>(f.column_hit_count);
        f.width /= rows_seen;
        f.center_width /= rows_seen;
        f.x /= rows_seen;
        f.height /= columns_seen;
        f.center_height /= columns_seen;
        f.y /= columns_seen;
        if (!dark(static_cast<int32_t>(f.x), static_cast<int32_t>(f.y))) continue;
        found[kept++] = f;
    }
    S.finder_count = kept;
    log_line("cross %d \n", kept);
}

bool group_alignment_hits(int32_t first_column, int32_t columns) {
    GroupNumbers numbers(1, most_groups());
    return join_crossings<DarkRun>(numbers, first_column, columns);
}

// ---------------------------------------------------------------------------
// Refinement: each candidate's centre moved to the centroid of its centre square.

namespace {

// Dark regions can span much of a symbol (or of a noisy frame), and every
// candidate inside one walks all of it, row by row. A walk reads each row
// packed into bits, where each of its four questions is mostly one bit scan:
// bit k of word w is pixel 64 w + k; bits past the row's end are 0 and never
// taken for pixels.
struct BitRow {
    const uint64_t* words;

    static uint64_t from_bit(int32_t x) { return ~0ull << (x & 63); }
    static uint64_t up_to_bit(int32_t x) { return ~0ull >> (63 - (x & 63)); }
    static int32_t lowest(int32_t w, uint64_t bits) { return 64 * w + std::countr_zero(bits); }
    static int32_t highest(int32_t w, uint64_t bits) { return 64 * w + 63 - std::countl_zero(bits); }

    int32_t next_dark(int32_t from, int32_t to) const {
        if (from >= to) return from;
        int32_t w = from >> 6;
        uint64_t bits = words[w] & from_bit(from);
        while (bits == 0) {
            if (64 * ++w >= to) return to;
            bits = words[w];
        }
        return std::min(lowest(w, bits), to);
    }
    int32_t previous_dark(int32_t from, int32_t floor) const {
        if (from <= floor) return from;
        int32_t w = from >> 6;
        uint64_t bits = words[w] & up_to_bit(from);
        while (bits == 0) {
            if (64 * w <= floor + 1) return floor;  // no word left above floor
            bits = words[--w];
        }
        return std::max(highest(w, bits), floor);
    }
    int32_t after_dark(int32_t from, int32_t limit) const {
        if (from >= limit) return from;
        int32_t w = from >> 6;
        uint64_t bits = ~words[w] & from_bit(from);
        while (bits == 0) {
            if (64 * ++w >= limit) return limit;
            bits = ~words[w];
        }
        return std::min(lowest(w, bits), limit);
    }
    int32_t before_dark(int32_t from) const {
        if (from < 0) return from;
        int32_t w = from >> 6;
        uint64_t bits = ~words[w] & up_to_bit(from);
        while (bits == 0) {
            if (w == 0) return -1;
            bits = ~words[--w];
        }
        return highest(w, bits);
    }
};

// Widens [left, right] over the dark runs of the row that overlap the
// previous row's bounds, leaving them on the first non-dark column each
// side. False when the row has no dark pixel in [left, right).
//
// left may stand on column -1 and right on column image_width from the row
// before; like every position outside the image they read the top-left
// pixel, whose darkness is outside_dark.
[[gnu::always_inline]] inline bool step_row(const BitRow& line, bool outside_dark, int32_t& left,
                                            int32_t& right) {
    const int32_t width = S.image_width;
    if (left >= 0 && right < width) {
        // Both bounds inside the image, as nearly always: the steps below
        // without their cases for the columns outside.
        const int32_t first = line.next_dark(left, right);
        if (first >= right) return false;
        left = line.before_dark(first);
        right = line.after_dark(line.previous_dark(right, left), width);
        return true;
    }
    if (left < 0 && left < right && !outside_dark) ++left;
    if (left >= 0) left = line.next_dark(left, right);
    if (left >= right) return false;
    if (left >= 0) left = line.before_dark(left);
    if (right >= width && left < right && !outside_dark) --right;
    if (right < width) right = line.previous_dark(right, left);
    if (right < 0 && outside_dark) right = 0;
    if (right >= 0 && right < width) right = line.after_dark(right, width);
    return true;
}

// The region's running sums, added to row by row in walking order.
struct Region {
    int64_t n;
    float sum_y, sum_x;
    bool abandoned;  // the walk left its band after the pass's rows ran out
};

// The walks' bound on hostile frames. In noise or a crowd of joined
// patterns thousands of candidates each walk a region spanning the frame, at
// a cost of pixels times height. A pass's walks take their rows freely up to
// half a row per pixel (at least 65,536 rows): more than twice what any
// photograph or rendered symbol was seen to take (a fifth of a row per pixel
// for version 40 at 2.5 px a module, a third for small crowded photographs,
// which the floor covers). Past it a walk that leaves its band, the
// candidate's own extent widened by that extent on each side, is abandoned
// and the candidate dropped. Where its light ring holds, a finder pattern's
// centre square lies inside the pattern's own extent, so it is never lost.
constexpr int64_t kFreeRows = 1 << 16;
constexpr int64_t kUnbounded = INT64_MAX;
int64_t rows_left = kUnbounded;

struct Band {
    int32_t top, bottom, left, right;
} band;

bool in_band(int32_t row, int32_t left, int32_t right) {
    return row >= band.top && row <= band.bottom && left >= band.left && right <= band.right;
}

// The last row a walk reached, with its bounds.
struct Edge {
    int32_t row, left, right;
};

// Walks that meet share their rows. In a noisy frame or a region of joined
// patterns thousands of candidates walk the same dark region, and from the
// first row where two walks enter with the same bounds they take the same
// steps to the same end. Each row a walk takes is kept as a node under the
// row, the direction and the bounds it was entered with; a later walk that
// enters a kept row follows the nodes instead of scanning the rows again,
// adding the same row sums to its own in the same order, so every centre
// comes out bit for bit as the scans would make it. Only the candidates of
// one refinement share nodes, and their number is bounded: past the bound
// a walk scans as it would alone.
constexpr int16_t kEnds = INT16_MIN;
constexpr int64_t kTrialRows = 1 << 14;

struct TrailNode {
    uint64_t key;         // the row, the direction and the bounds entering it
    int16_t left, right;  // the bounds leaving it; left kEnds: the walk ends there
    int32_t next;         // the node of the following row, -1 while unknown
};

struct Trails {
    TrailNode* nodes;
    int32_t count, capacity, most;
    int64_t asked, found;  // rows looked up and rows found kept
    int32_t* slots;        // open addressing on the key: node numbers, -1 empty
    uint32_t bits;
} trails;

uint64_t trail_key(int32_t row, int32_t step, int32_t left, int32_t right) {
    return static_cast<uint64_t>(row) << 33 | static_cast<uint64_t>(step > 0) << 32 |
           static_cast<uint64_t>(left + 1) << 16 | static_cast<uint64_t>(right + 1);
}

uint32_t trail_slot(uint64_t key) {
    return static_cast<uint32_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - trails.bits));
}

int32_t find_trail(uint64_t key) {
    if (trails.nodes == nullptr) return -1;
    ++trails.asked;
    const uint32_t mask = (1u << trails.bits) - 1;
    for (uint32_t i = trail_slot(key);; i = (i + 1) & mask) {
        const int32_t at = trails.slots[i];
        if (at < 0) return -1;
        if (trails.nodes[at].key == key) {
            ++trails.found;
            return at;
        }
    }
}

// Room for twice the nodes, rehashed; false when the bound or the heap
// refuses.
bool grow_trails() {
    if (trails.capacity >= trails.most) return false;
    const int32_t capacity = std::min(2 * trails.capacity, trails.most);
    const uint32_t bits = trails.bits + 1;
    auto* nodes = static_cast<TrailNode*>(heap_alloc(static_cast<size_t>(capacity) * sizeof(TrailNode)));
    auto* slots = static_cast<int32_t*>(heap_alloc((size_t{1} << bits) * sizeof(int32_t)));
    if (nodes == nullptr || slots == nullptr) {
        heap_free(nodes);
        heap_free(slots);
        trails.most = trails.capacity;
        return false;
    }
    std::memcpy(nodes, trails.nodes, static_cast<size_t>(trails.count) * sizeof(TrailNode));
    std::fill(slots, slots + (size_t{1} << bits), -1);
    heap_free(trails.nodes);
    heap_free(trails.slots);
    trails.nodes = nodes;
    trails.slots = slots;
    trails.capacity = capacity;
    trails.bits = bits;
    const uint32_t mask = (1u << bits) - 1;
    for (int32_t k = 0; k < trails.count; ++k) {
        uint32_t i = trail_slot(nodes[k].key);
        while (slots[i] >= 0) i = (i + 1) & mask;
        slots[i] = k;
    }
    return true;
}

// Keeps a row's outcome; its node number, or -1 without room.
int32_t keep_trail(uint64_t key, bool goes_on, int32_t left, int32_t right) {
    if (trails.nodes == nullptr || (trails.count == trails.capacity && !grow_trails())) return -1;
    const uint32_t mask = (1u << trails.bits) - 1;
    uint32_t i = trail_slot(key);
    while (trails.slots[i] >= 0) i = (i + 1) & mask;
    const int32_t at = trails.count++;
    trails.slots[i] = at;
    trails.nodes[at] =
        TrailNode{key, goes_on ? static_cast<int16_t>(left) : kEnds, static_cast<int16_t>(right), -1};
    return at;
}

void end_trails() {
    heap_free(trails.nodes);
    heap_free(trails.slots);
    trails = Trails{};
}

// Room for 128 nodes to start with, growing to one node per 16 pixels.
void start_trails() {
    const size_t pixels = static_cast<size_t>(S.image_width) * S.image_height;
    trails = Trails{};
    trails.most = static_cast<int32_t>(std::min<size_t>(pixels / 16 + 256, size_t{1} << 24));
    trails.capacity = 128;
    trails.bits = 8;  // twice the nodes' slots, so that probes stay short
    trails.nodes = static_cast<TrailNode*>(heap_alloc(trails.capacity * sizeof(TrailNode)));
    trails.slots = static_cast<int32_t*>(heap_alloc((size_t{1} << trails.bits) * sizeof(int32_t)));
    if (trails.nodes == nullptr || trails.slots == nullptr) {
        end_trails();
        return;
    }
    std::fill(trails.slots, trails.slots + (size_t{1} << trails.bits), -1);
}

// Walks from `row` in steps of `step` (1 or -1) while each row continues
// the region, adding every row to the sums. Returns the last row reached,
// or `edge` when the first row does not continue the region.
Edge walk(int32_t row, int32_t step, int32_t left, int32_t right, Edge edge, Region& r) {
    const bool outside_dark = S.binary_image[0] == 64;
    // Walks through noise seldom meet, and looking rows up would cost them
    // more than scanning: sharing ends once the rows looked up, after the
    // first kTrialRows, found fewer than half kept.
    if (trails.asked >= kTrialRows && 2 * trails.found < trails.asked) end_trails();
    int32_t before = -1;  // the node of the row before, to link to this one
    for (; row >= 0 && row < S.image_height; row += step) {
        const uint64_t key = trail_key(row, step, left, right);
        int32_t at =
            before >= 0 && trails.nodes[before].next >= 0 ? trails.nodes[before].next : find_trail(key);
        bool goes_on;
        if (at >= 0) {
            goes_on = trails.nodes[at].left != kEnds;
            left = trails.nodes[at].left;
            right = trails.nodes[at].right;
        } else {
            goes_on = step_row(BitRow{packed_row(row)}, outside_dark, left, right);
            at = keep_trail(key, goes_on, left, right);
        }
        if (before >= 0) trails.nodes[before].next = at;
        before = at;
        if (!goes_on) break;
        if (--rows_left < 0 && !in_band(row, left, right)) {
            r.abandoned = true;
            break;
        }
        edge = Edge{row, left, right};
        const int64_t w = right - left + 1;
        r.n += w;
        r.sum_y += static_cast<float>(w * row);
        // (right + left) x w is even (one of the two factors is), so the
        // shift is the exact halving that "/ 2" would do, also below zero.
        r.sum_x += static_cast<float>((static_cast<int64_t>(right + left) * w) >> 1);
    }
    return edge;
}

// No hits left: refine_finder_centers drops the candidate.
void drop(FinderPattern* candidate) {
    candidate->row_hit_count = 0;
    candidate->column_hit_count = 0;
}

void refine_around(FinderPattern* candidate, int32_t cx, int32_t cy) {
    // The dark run through (cx, cy), by bit scans: it may span the row.
    const BitRow line{packed_row(cy)};
    const int32_t centre_left = line.before_dark(cx - 1) + 1;
    const int32_t centre_right = line.after_dark(cx + 1, S.image_width) - 1;

    const int64_t n = centre_right - centre_left + 1;
    Region region{n, static_cast<float>(n * cy),
                  static_cast<float>(static_cast<int64_t>(centre_right + centre_left) * n / 2), false};
    const int32_t w = candidate->right - candidate->left, h = candidate->bottom - candidate->top;
    band = Band{candidate->top - h, candidate->bottom + h, candidate->left - w - 1, candidate->right + w + 1};
    const Edge centre{cy, centre_left, centre_right};
    const Edge top = walk(cy - 1, -1, centre_left, centre_right, centre, region);
    // Downwards from the centre row itself, which thereby counts twice.
    const Edge bottom = region.abandoned ? top : walk(cy, 1, centre_left, centre_right, centre, region);
    if (region.abandoned) return drop(candidate);

    candidate->y = region.sum_y / static_cast<float>(region.n) + 0.5f;
    candidate->x = region.sum_x / static_cast<float>(region.n) + 0.5f;

    const float span = static_cast<float>(std::abs(top.row - bottom.row) + 1);
    const float d1 = static_cast<float>(std::abs(top.right - bottom.left) + 1);
    const float d2 = static_cast<float>(std::abs(top.left - bottom.right) + 1);
    const float a = d1 * d1 + span * span;
    const float b = d2 * d2 + span * span;
    // The longer diagonal over sqrt(2) is the centre square's side (3 modules).
    candidate->size = static_cast<float>(std::sqrt(std::max(a, b)) / 1.41421356 / 3 * 7);
}

}  // namespace

// Replaces the candidate's centre by the centroid of the dark region around
// it: the 3 x 3-module centre square, which the light ring isolates. Walks
// the packed image of build_row_runs.
void refine_finder_center(FinderPattern* candidate) {
    const int32_t cx = static_cast<int32_t>(round_nearest(candidate->x));
    const int32_t cy = static_cast<int32_t>(round_nearest(candidate->y));
    if (cy < 0 || cy >= S.image_height || cx < 0 || cx >= S.image_width || !dark(cx, cy))
        return drop(candidate);
    refine_around(candidate, cx, cy);
}

int32_t refine_finder_centers() {
    FinderPattern* found = patterns();
    int32_t kept = 0;
    start_trails();
    rows_left = std::max<int64_t>(kFreeRows, int64_t{S.image_width} * S.image_height / 2);
    for (int32_t i = 0; i < S.finder_count; ++i) {
        refine_finder_center(&found[i]);
        if (found[i].row_hit_count != 0 && found[i].column_hit_count != 0) found[kept++] = found[i];
    }
    rows_left = kUnbounded;
    end_trails();
    S.finder_count = kept;
    return kept;
}

// ---------------------------------------------------------------------------
// Scoring: what tells a finder pattern from a finder-like crowd.

namespace {

constexpr int32_t kNoBound = INT_MAX;

bool live(const FinderPattern& f) {
    return f.score >= 0;
}

// The hits of every group in one direction, in array order: the hits of
// group g are hits[order[first[g]] .. order[first[g + 1] - 1]]. Built once
// for the scoring passes, so that each candidate visits its own hits only.
struct GroupIndex {
    const ScanHit* hits;
    int32_t groups;
    int32_t* first;  // groups + 1 entries
    int32_t* order;
};

// One direction's hits of one candidate, in array order.
struct HitView {
    const ScanHit* hits;
    const int32_t* order;
    int32_t count;
    const ScanHit& operator[](int32_t i) const { return hits[order[i]]; }
};

// A group number outside the index, which no hit carries, has no hits; the
// ungrouped hits (-1) belong to no candidate.
HitView hits_of_group(const GroupIndex& index, int32_t group) {
    if (group < 0 || group >= index.groups) return HitView{index.hits, index.order, 0};
    const int32_t begin = index.first[group];
    return HitView{index.hits, index.order + begin, index.first[group + 1] - begin};
}

// Counting sort of the hit numbers by group, stable, so that each group's
// hits keep their array order. `storage` holds groups + 1 + count entries.
void build_index(const MemChunk& pool, int32_t groups, int32_t* storage, GroupIndex& index) {
    const ScanHit* hits = reinterpret_cast<const ScanHit*>(pool.data);
    int32_t* first = storage;
    int32_t* order = storage + groups + 1;
    std::fill(first, first + groups + 1, 0);
    for (int32_t i = 0; i < pool.count; ++i) {
        if (hits[i].group >= 0) ++first[hits[i].group + 1];
    }
    for (int32_t g = 0; g < groups; ++g) first[g + 1] += first[g];
    // first[g] is now where group g starts; filling moves it to where g ends,
    // which is where g + 1 starts, hence the shift afterwards.
    for (int32_t i = 0; i < pool.count; ++i) {
        if (hits[i].group >= 0) order[first[hits[i].group]++] = i;
    }
    for (int32_t g = groups; g > 0; --g) first[g] = first[g - 1];
    first[0] = 0;
    index = GroupIndex{hits, groups, first, order};
}

// Centre-run bounds over one direction's hits of a candidate: hi < lo means
// the long centre runs share no common part.
void common_center(const HitView& hits, float center, int32_t& lo, int32_t& hi) {
    lo = 0;
    hi = kNoBound;
    for (int32_t i = 0; i < hits.count; ++i) {
        const ScanHit& h = hits[i];
        if (static_cast<float>(h.center_length) / center < 0.5) continue;
        lo = std::max(lo, h.center_start);
        hi = std::min(hi, h.center_start + h.center_length);
    }
}

void score_center_runs(FinderPattern& p, const HitView& rows, const HitView& columns) {
    int32_t lo, hi;
    common_center(rows, p.center_width, lo, hi);
    if (hi < lo) {
        p.score = -1;
    } else if (p.x > static_cast<float>(hi) || p.x < static_cast<float>(lo)) {
        p.score -= 1;
    }
    common_center(columns, p.center_height, lo, hi);
    if (hi < lo) {
        p.score = -1;
    } else if (p.y > static_cast<float>(hi) || p.y < static_cast<float>(lo)) {
        p.score -= 1;
    }
}

// Where each crossing line meets the hit, relative to the pattern's extent:
// a crossing far outside the pattern marks a false candidate. The quotient
// grows with the crossing line, so for each hit only the first and the last
// crossing line can fall outside, and when none does every pair counts:
// a group of R hits one way and C the other costs R + C, not R x C. (The
// extent, a mean length of hits, is positive.)
void score_crossings(FinderPattern& p, const HitView& along, const HitView& across, float extent) {
    int32_t first = INT_MAX, last = INT_MIN;
    for (int32_t j = 0; j < across.count; ++j) {
        first = std::min(first, across[j].line);
        last = std::max(last, across[j].line);
    }
    const int64_t lines = across.count;
    const auto outside = [extent](int32_t line, int32_t start) {
        const float q = static_cast<float>(line - start) / extent;
        return q < -0.3 || q > 1;
    };
    int64_t k = 0;
    for (int32_t i = 0; i < along.count && lines > 0; ++i) {
        const ScanHit& h = along[i];
        if (outside(first, h.center_start) || outside(last, h.center_start)) {
            p.score = -1;
        } else {
            k += lines;
        }
    }
    if (p.score >= 0) {
        p.score += static_cast<int32_t>(static_cast<float>(10 * k) / (p.center_width * p.center_height));
    }
}

// Containment bonus. The test uses each hit's centre run, not its five runs:
// the centre of a true pattern lies inside every centre run through it, so
// this tells apart candidates whose hits only brush the centre square, which
// the five-run extent would almost always contain.
void score_containment(FinderPattern& p, const HitView& rows, const HitView& columns) {
    int32_t n = 0;
    int32_t m = 0;
    for (int32_t pass = 0; pass < 2; ++pass) {
        const HitView& hits = pass == 0 ? rows : columns;
        const float centre = pass == 0 ? p.x : p.y;
        for (int32_t i = 0; i < hits.count; ++i) {
            const ScanHit& h = hits[i];
            ++n;
            if (centre > static_cast<float>(h.center_start) &&
                centre < static_cast<float>(h.center_start + h.center_length)) {
                ++m;
            }
        }
    }
    if (n > 0) p.score += static_cast<int32_t>(static_cast<float>(10 * m) / static_cast<float>(n));
}

bool similar(float a, float b) {
    const float q = a / b;
    const float d = a - b;
    return (q >= 0.7 && q <= 1.4) || (d >= -2 && d <= 2);
}

// ---------------------------------------------------------------------------
// Partners. For a size a > 0, similar(a, b) holds for the b of one interval
// around a: a / b and a - b, each rounded, only fall as b grows, so each of
// the two tests holds on an interval of b, and both intervals hold a itself.
// Its ends are found exactly by bisection over the floats' bit patterns,
// which positive floats order as their values. A 2-d tree over the live
// candidates then finds the two partners a candidate needs without looking
// at every other one, which on a frame crowded with candidates is the
// difference between a pass and the square of one.

uint32_t bits_of(float f) {
    return std::bit_cast<uint32_t>(f);
}

// The least and the greatest positive finite b with similar(a, b).
void similar_range(float a, float& lo, float& hi) {
    uint32_t low = 1, high = bits_of(a);
    while (low < high) {
        const uint32_t mid = low + (high - low) / 2;
        if (similar(a, std::bit_cast<float>(mid))) {
            high = mid;
        } else {
            low = mid + 1;
        }
    }
    lo = std::bit_cast<float>(low);
    low = bits_of(a);
    high = bits_of(FLT_MAX);
    while (low < high) {
        const uint32_t mid = low + (high - low + 1) / 2;
        if (similar(a, std::bit_cast<float>(mid))) {
            low = mid;
        } else {
            high = mid - 1;
        }
    }
    hi = std::bit_cast<float>(low);
}

struct SizeBox {
    float w_lo, w_hi, h_lo, h_hi;
    bool meets(const SizeBox& b) const {
        return w_lo <= b.w_hi && b.w_lo <= w_hi && h_lo <= b.h_hi && b.h_lo <= h_hi;
    }
};

// Nodes split their candidates at the median of the centre width, then of
// the height, down to leaves of at most kLeaf; each knows the bounds of its
// candidates' sizes and how many of them are still live.
class PartnerTree {
  public:
    explicit PartnerTree(FinderPattern* found, int32_t count) : found_(found) {
        for (int32_t i = 0; i < count; ++i) n_ += live(found[i]) ? 1 : 0;
        // Leaves hold at least kLeaf / 2 candidates, unless the root is one.
        const size_t nodes = 2 * (static_cast<size_t>(n_) / (kLeaf / 2) + 1);
        block_ = heap_alloc(nodes * sizeof(Node) + (static_cast<size_t>(n_) + count) * sizeof(int32_t));
        if (block_ == nullptr) return;
        nodes_ = static_cast<Node*>(block_);
        order_ = reinterpret_cast<int32_t*>(nodes_ + nodes);
        at_ = order_ + n_;
        int32_t k = 0;
        for (int32_t i = 0; i < count; ++i) {
            if (live(found[i])) order_[k++] = i;
        }
        used_ = 1;
        build(0, 0, n_, 0);
        for (k = 0; k < n_; ++k) at_[order_[k]] = k;
    }
    ~PartnerTree() { heap_free(block_); }
    PartnerTree(const PartnerTree&) = delete;
    PartnerTree& operator=(const PartnerTree&) = delete;

    bool ok() const { return block_ != nullptr; }

    // Live candidates other than i, similar to i in both sizes, counted up
    // to `need`.
    int32_t partners(int32_t i, int32_t need) {
        const FinderPattern& p = found_[i];
        SizeBox box;
        range_of(p.center_width, box.w_lo, box.w_hi);
        range_of(p.center_height, box.h_lo, box.h_hi);
        return count(0, 0, n_, box, i, need);
    }

    // Candidate i, which was live, is no longer.
    void remove(int32_t i) {
        const int32_t at = at_[i];
        int32_t node = 0, begin = 0, end = n_;
        for (;;) {
            --nodes_[node].live;
            if (end - begin <= kLeaf) return;
            const int32_t mid = begin + (end - begin) / 2;
            if (at < mid) {
                node = nodes_[node].left;
                end = mid;
            } else {
                node = nodes_[node].left + 1;
                begin = mid;
            }
        }
    }

  private:
    static constexpr int32_t kLeaf = 8;
    struct Node {
        SizeBox bounds;
        int32_t live, left;
    };

    float size(int32_t i, int32_t axis) const {
        return axis == 0 ? found_[i].center_width : found_[i].center_height;
    }

    // similar_range, remembered: crowds of candidates share their sizes.
    void range_of(float a, float& lo, float& hi) {
        Range& r = ranges_[(bits_of(a) * 0x9E3779B1u) >> 24];
        if (!r.known || r.a != a) {
            r = Range{true, a, 0, 0};
            similar_range(a, r.lo, r.hi);
        }
        lo = r.lo;
        hi = r.hi;
    }
    struct Range {
        bool known;
        float a, lo, hi;
    };
    Range ranges_[256] = {};

    void build(int32_t node, int32_t begin, int32_t end, int32_t axis) {
        Node& n = nodes_[node];
        n.live = end - begin;
        n.bounds = SizeBox{FLT_MAX, -FLT_MAX, FLT_MAX, -FLT_MAX};
        for (int32_t k = begin; k < end; ++k) {
            const FinderPattern& f = found_[order_[k]];
            n.bounds.w_lo = std::min(n.bounds.w_lo, f.center_width);
            n.bounds.w_hi = std::max(n.bounds.w_hi, f.center_width);
            n.bounds.h_lo = std::min(n.bounds.h_lo, f.center_height);
            n.bounds.h_hi = std::max(n.bounds.h_hi, f.center_height);
        }
        if (end - begin <= kLeaf) return;
        const int32_t mid = begin + (end - begin) / 2;
        std::nth_element(order_ + begin, order_ + mid, order_ + end,
                         [&](int32_t a, int32_t b) { return size(a, axis) < size(b, axis); });
        n.left = used_;
        used_ += 2;
        build(n.left, begin, mid, axis ^ 1);
        build(n.left + 1, mid, end, axis ^ 1);
    }

    int32_t count(int32_t node, int32_t begin, int32_t end, const SizeBox& box, int32_t self,
                  int32_t need) const {
        const Node& n = nodes_[node];
        if (n.live == 0 || need == 0 || !n.bounds.meets(box)) return 0;
        if (end - begin <= kLeaf) {
            const FinderPattern& p = found_[self];
            int32_t found = 0;
            for (int32_t k = begin; k < end && found < need; ++k) {
                const int32_t j = order_[k];
                const FinderPattern& q = found_[j];
                if (j != self && live(q) && similar(p.center_width, q.center_width) &&
                    similar(p.center_height, q.center_height)) {
                    ++found;
                }
            }
            return found;
        }
        const int32_t mid = begin + (end - begin) / 2;
        const int32_t left = count(n.left, begin, mid, box, self, need);
        return left + count(n.left + 1, mid, end, box, self, need - left);
    }

    FinderPattern* found_;
    int32_t n_ = 0, used_ = 0;
    void* block_ = nullptr;
    Node* nodes_ = nullptr;
    int32_t* order_ = nullptr;
    int32_t* at_ = nullptr;
};

// One more than the largest group number of either hit array and of the
// candidates.
int32_t group_numbers() {
    int32_t groups = 0;
    for (const MemChunk* pool : {&S.row_hits, &S.column_hits}) {
        const ScanHit* hits = reinterpret_cast<const ScanHit*>(pool->data);
        for (int32_t i = 0; i < pool->count; ++i) groups = std::max(groups, hits[i].group + 1);
    }
    const FinderPattern* found = patterns();
    for (int32_t i = 0; i < S.finder_count; ++i) groups = std::max(groups, found[i].group + 1);
    return groups;
}

}  // namespace

// Without room for its index or its partner tree the stage fails: the pass
// ends as at a grouping without room, finder_count -1 telling so.
void score_finder_candidates() {
    FinderPattern* found = patterns();
    const int32_t count = S.finder_count;

    const int32_t groups = group_numbers();
    const size_t entries = 2 * (static_cast<size_t>(groups) + 1) + static_cast<size_t>(S.row_hits.count) +
                           static_cast<size_t>(S.column_hits.count);
    auto* storage = static_cast<int32_t*>(heap_alloc(entries * sizeof(int32_t)));
    if (storage == nullptr) {
        log_line("malloc() failed.\n");
        S.finder_count = -1;
        return;
    }
    GroupIndex rows, columns;
    build_index(S.row_hits, groups, storage, rows);
    build_index(S.column_hits, groups, storage + groups + 1 + S.row_hits.count, columns);
    auto row_hits = [&](const FinderPattern& p) { return hits_of_group(rows, p.group); };
    auto column_hits = [&](const FinderPattern& p) { return hits_of_group(columns, p.group); };

    for (int32_t i = 0; i < count; ++i) {  // a square centre
        FinderPattern& p = found[i];
        const float q = p.center_width / p.center_height;
        const float d = p.center_width - p.center_height;
        if ((q > 1.2 || q < 0.8) && (d < -2 || d > 2)) p.score = -1;
    }
    for (int32_t i = 0; i < count; ++i) {
        if (live(found[i])) score_center_runs(found[i], row_hits(found[i]), column_hits(found[i]));
    }
    for (int32_t i = 0; i < count; ++i) {
        FinderPattern& p = found[i];
        if (!live(p)) continue;
        score_crossings(p, row_hits(p), column_hits(p), p.width);
        score_crossings(p, column_hits(p), row_hits(p), p.height);
    }
    for (int32_t i = 0; i < count; ++i) {
        if (live(found[i])) score_containment(found[i], row_hits(found[i]), column_hits(found[i]));
    }
    heap_free(storage);

    // A finder pattern has two partners of about its own size.
    PartnerTree tree(found, count);
    if (!tree.ok()) {
        log_line("malloc() failed.\n");
        S.finder_count = -1;
        return;
    }
    for (int32_t i = 0; i < count; ++i) {
        if (live(found[i]) && tree.partners(i, 2) < 2) {
            found[i].score = -1;
            tree.remove(i);
        }
    }
}

// ---------------------------------------------------------------------------
// Choice of three candidates.

void choose_finder_triple() {
    int32_t* place = S.selected_finders;
    place[0] = place[1] = place[2] = -1;
    const FinderPattern* found = patterns();
    for (int32_t p = 0; p < 3; ++p) {
        int32_t best = -1;
        int32_t chosen = 0;
        for (int32_t j = 0; j < S.finder_count; ++j) {
            if (p >= 1 && j == place[0]) continue;
            if (p == 2 && j == place[1]) continue;
            if (found[j].score > best) {
                best = found[j].score;
                chosen = j;
            }
        }
        place[p] = chosen;
    }
}

// ---------------------------------------------------------------------------
// Orientation.

// Puts the right-angle corner first, then orders the other two so that the
// corner-to-place-1 vector turned a quarter turn (clockwise on screen, with y
// down) points towards place 2.
int32_t orient_finder_triple() {
    int32_t* place = S.selected_finders;
    const FinderPattern* found = patterns();
    float mx = 0, my = 0;
    for (int32_t p = 0; p < 3; ++p) {
        mx += found[place[p]].x;
        my += found[place[p]].y;
    }
    mx /= 3;
    my /= 3;

    float nearest = 10000000.0f;
    int32_t corner = 0;
    for (int32_t p = 0; p < 3; ++p) {
        const float dx = found[place[p]].x - mx;
        const float dy = found[place[p]].y - my;
        const float d = std::sqrt(dx * dx + dy * dy);
        if (d < nearest) {
            nearest = d;
            corner = p;
        }
    }
    std::swap(place[0], place[corner]);

    const FinderPattern& k = found[place[0]];
    const FinderPattern& a = found[place[1]];
    const FinderPattern& b = found[place[2]];
    const float vx = -(a.y - k.y);
    const float vy = a.x - k.x;
    const float bx = b.x - k.x;
    const float by = b.y - k.y;
    const float dm = std::sqrt((vx - bx) * (vx - bx) + (vy - by) * (vy - by));
    const float dp = std::sqrt((vx + bx) * (vx + bx) + (vy + by) * (vy + by));
    if (dm < dp) return -1;
    if (dm > dp) {
        std::swap(place[1], place[2]);
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// The stage: a pass's finder patterns from its binary image.

bool find_finder_hits() {
    if (!build_row_runs()) return false;
    scan_finder_runs(S.row_runs, S.image_width, S.image_height, &S.row_hits);
    if (!build_column_runs()) return false;
    scan_finder_runs(S.column_runs, S.image_height, S.image_width, &S.column_hits);
    return true;
}

namespace {

// Run tables, scan, grouping and refinement; false when the pass ends there.
bool find_candidates() {
    if (!find_finder_hits()) return false;
    group_crossing_hits();
    if (S.finder_count < 0) {
        S.finder_count = 0;
        return false;
    }
    refine_finder_centers();
    return true;
}

}  // namespace

int32_t find_finder_patterns() {
    memchunk_init(&S.row_hits, sizeof(ScanHit));
    memchunk_init(&S.column_hits, sizeof(ScanHit));
    memchunk_init(&S.finder_patterns, sizeof(FinderPattern));
    S.finder_count = 0;

    // The packed image serves the tables and the refinement only.
    const bool candidates = find_candidates();
    release_packed_image();
    if (!candidates) return 0;
    if (S.finder_count < 3) {
        log_line("only %d eye pattern found.\n", S.finder_count);
        return 0;
    }

    if (S.finder_count > 3) score_finder_candidates();
    if (S.finder_count < 0) {
        S.finder_count = 0;
        return 0;
    }
    choose_finder_triple();
    if (S.log_stream != nullptr) {
        const FinderPattern* found = patterns();
        for (int32_t i = 0; i < S.finder_count; ++i) {
            for (int32_t p = 0; p < 3; ++p) {
                if (S.selected_finders[p] == i) log_line("*");
            }
            const FinderPattern& f = found[i];
            log_line("Cross %d (%f,%f)-(%f,%f) %d\n", f.group, f.x, f.y, f.width, f.height, f.score);
        }
    }
    return orient_finder_triple() ? -1 : 0;
}

void release_finder_patterns() {
    release_packed_image();
    memchunk_free(&S.row_hits);
    memchunk_free(&S.column_hits);
    memchunk_free(&S.finder_patterns);
    heap_free(S.row_runs);
    S.row_runs = nullptr;
    heap_free(S.column_runs);
    S.column_runs = nullptr;
}

}  // namespace vorden
