// Version estimation from the finder distance, and the version information
// blocks of versions 7 and up (ISO/IEC 18004 6.10, Annex D).
#include <algorithm>
#include <cmath>

#include "decoder.h"

namespace vorden {

// 6-bit version, then 12 BCH(18,6) check bits of the generator
// x^12 + x^11 + x^10 + x^9 + x^8 + x^5 + x^2 + 1 (ISO/IEC 18004 Annex D).
const uint32_t version_info_words[41] = {
    0,       0,       0,       0,       0,       0,       0,       0x07C94, 0x085BC, 0x09A99, 0x0A4D3,
    0x0BBF6, 0x0C762, 0x0D847, 0x0E60D, 0x0F928, 0x10B78, 0x1145D, 0x12A17, 0x13532, 0x149A6, 0x15683,
    0x168C9, 0x177EC, 0x18EC4, 0x191E1, 0x1AFAB, 0x1B08E, 0x1CC1A, 0x1D33F, 0x1ED75, 0x1F250, 0x209D5,
    0x216F0, 0x228BA, 0x2379F, 0x24B0B, 0x2542E, 0x26A64, 0x27541, 0x28C69,
};

// Bit k (most significant first) lies a modules along x_unit and b along
// y_unit from the neighbouring finder centre: copy 1 is the 6 x 3 block left
// of the upper right pattern, copy 2 the 3 x 6 block above the lower left.
const int8_t version_info_offsets[2][18][2] = {
    {{-5, 2},
     {-6, 2},
     {-7, 2},
     {-5, 1},
     {-6, 1},
     {-7, 1},
     {-5, 0},
     {-6, 0},
     {-7, 0},
     {-5, -1},
     {-6, -1},
     {-7, -1},
     {-5, -2},
     {-6, -2},
     {-7, -2},
     {-5, -3},
     {-6, -3},
     {-7, -3}},
    {{2, -5},
     {2, -6},
     {2, -7},
     {1, -5},
     {1, -6},
     {1, -7},
     {0, -5},
     {0, -6},
     {0, -7},
     {-1, -5},
     {-1, -6},
     {-1, -7},
     {-2, -5},
     {-2, -6},
     {-2, -7},
     {-3, -5},
     {-3, -6},
     {-3, -7}},
};

namespace {

DecoderState& S = decoder_state;

const FinderPattern& finder(int32_t place) {
    return reinterpret_cast<const FinderPattern*>(S.finder_patterns.data)[S.selected_finders[place]];
}

// Seven-module extent of a finder pattern for the attempt: the run widths on
// attempt 0, the centre-square diagonal on attempt 1.
float pattern_size(const FinderPattern& f, int32_t attempt) {
    if (attempt == 1) return f.size;
    const double w = f.width;
    const double h = f.height;
    return static_cast<float>(std::sqrt((w * w + h * h) / 2));
}

// Step of one module from `from` towards `to`, whose centres lie `d` pixels
// apart, scaled per axis by the module sizes mx and my. Zero when the two
// centres coincide, which has no direction.
void unit_towards(const FinderPattern& from, const FinderPattern& to, float mx, float my, float unit[2]) {
    const float dx = to.x - from.x;
    const float dy = to.y - from.y;
    const float d = std::sqrt(dx * dx + dy * dy);
    if (!(d > 0) || !std::isfinite(d)) {
        unit[0] = unit[1] = 0;
        return;
    }
    unit[0] = dx * mx / d;
    unit[1] = dy * my / d;
}

// Module size per axis from two patterns, by the attempt's measure.
void module_sizes(const FinderPattern& a, const FinderPattern& b, int32_t attempt, float& mx, float& my) {
    if (attempt == 1) {
        mx = my = (a.size + b.size) / 14;
    } else {
        mx = (a.width + b.width) / 14;
        my = (a.height + b.height) / 14;
    }
}

}  // namespace

int32_t estimate_version(int32_t attempt, int32_t image_width, int32_t image_height) {
    const FinderPattern& f0 = finder(0);
    const FinderPattern& f1 = finder(1);
    const FinderPattern& f2 = finder(2);

    const float s0 = pattern_size(f0, attempt);
    const float s1 = pattern_size(f1, attempt);
    const float dx = f1.x - f0.x;
    const float dy = f1.y - f0.y;
    const float d = std::sqrt(dx * dx + dy * dy);
    const float m = (s0 + s1) / 14;  // the two patterns together span 14 modules
    const float modules = d / m;

    // Centres lie 4 * version + 10 modules apart, so coincident centres give
    // n = 0 and an estimate of -2. A quotient that is not finite (a zero
    // size) is no version; a finite one is held to a count no image reaches
    // before it meets the integer conversion.
    int32_t estimate = 0;
    if (std::isfinite(modules)) {
        const double n = std::clamp(round_nearest(modules), -1.0e9, 1.0e9);
        estimate = (static_cast<int32_t>(n) - 10) / 4;
    }

    float mx, my;
    module_sizes(f0, f1, attempt, mx, my);
    unit_towards(f0, f1, mx, my, S.x_unit);
    module_sizes(f0, f2, attempt, mx, my);
    unit_towards(f0, f2, mx, my, S.y_unit);
    log_line("x_unit(%f, %f)\n", S.x_unit[0], S.x_unit[1]);
    log_line("y_unit(%f, %f)\n", S.y_unit[0], S.y_unit[1]);

    int32_t version = estimate;
    if (estimate > 6) {
        version = read_version_information(1, image_width, image_height);
        if (version < 0) version = read_version_information(2, image_width, image_height);
    }
    log_line("version %d\n", version);
    if (version <= 0) return version;

    const float q = static_cast<float>(4 * version + 10);
    S.x_unit[0] = (f1.x - f0.x) / q;
    S.x_unit[1] = (f1.y - f0.y) / q;
    S.y_unit[0] = (f2.x - f0.x) / q;
    S.y_unit[1] = (f2.y - f0.y) / q;
    return version;
}

int32_t read_version_information(int32_t copy, int32_t image_width, int32_t image_height) {
    const FinderPattern& b = finder(copy == 1 ? 1 : 2);
    const int8_t(*offsets)[2] = version_info_offsets[copy == 1 ? 0 : 1];
    uint32_t bits = 0;
    for (int32_t k = 0; k < 18; ++k) {
        bits <<= 1;
        const float a_k = offsets[k][0];
        const float b_k = offsets[k][1];
        const float px = a_k * S.x_unit[0] + b_k * S.y_unit[0] + b.x;
        const float py = a_k * S.x_unit[1] + b_k * S.y_unit[1] + b.y;
        // A copy reaching outside the image fails as a whole.
        if (!(px >= 0 && px < image_width && py >= 0 && py < image_height)) return -1;
        const int32_t x = static_cast<int32_t>(round_nearest(px));
        const int32_t y = static_cast<int32_t>(round_nearest(py));
        if (S.binary_image[pixel_index(x, y)] == 64) bits |= 1;
    }
    log_line("version info bit 0x%lx\n", static_cast<unsigned long>(bits));
    return match_version_information(bits);
}

int32_t match_version_information(uint32_t bits) {
    // Eighteen light modules are no version information at all; the search
    // below would take them for version 1, whose table entry is 0.
    if ((bits & 0x3FFFF) == 0) return -1;
    for (int32_t v = 1; v <= 40; ++v) {
        uint32_t diff = (bits ^ version_info_words[v]) & 0x3FFFF;
        int32_t count = 0;
        while (diff != 0 && count <= 3) {
            diff &= diff - 1;
            ++count;
        }
        // The words are at least 8 bits apart: up to 3 errors are correctable.
        if (count <= 3) {
            log_line("version bit different %d bits.\n", count);
            return v;
        }
    }
    return -1;
}

}  // namespace vorden
