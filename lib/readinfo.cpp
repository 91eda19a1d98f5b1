// The last read, as decoder_read_info reports it: which strategy read the
// text and where the symbol's corners lie in the caller's image. The
// designed call and the thorough reader both keep their texts here.
#include <cmath>
#include <cstring>

#include "decoder.h"

namespace vorden {

namespace {

DecoderState& S = decoder_state;

}  // namespace

LastRead last_read;

// ---------------------------------------------------------------------------
// Module-to-image maps. Module (c, r) has its centre at integer coordinates;
// finder centres sit at modules 3 and size - 4.

bool Homography::map(double c, double r, float& x, float& y) const {
    const double w = h[6] * c + h[7] * r + 1;
    if (!(std::fabs(w) > 1e-9)) return false;
    x = static_cast<float>((h[0] * c + h[1] * r + h[2]) / w);
    y = static_cast<float>((h[3] * c + h[4] * r + h[5]) / w);
    return std::isfinite(x) && std::isfinite(y);
}

Homography affine_map() {
    const FinderPattern& f0 =
        reinterpret_cast<const FinderPattern*>(S.finder_patterns.data)[S.selected_finders[0]];
    const double ox = f0.x - 3 * S.x_unit[0] - 3 * S.y_unit[0];
    const double oy = f0.y - 3 * S.x_unit[1] - 3 * S.y_unit[1];
    return Homography{{S.x_unit[0], S.y_unit[0], ox, S.x_unit[1], S.y_unit[1], oy, 0, 0}};
}

void corners_of(const Homography& m, float corners[4][2]) {
    const double far = S.symbol_size - 0.5;
    const double at[4][2] = {{-0.5, -0.5}, {far, -0.5}, {far, far}, {-0.5, far}};
    for (int k = 0; k < 4; ++k)
        if (!m.map(at[k][0], at[k][1], corners[k][0], corners[k][1])) corners[k][0] = corners[k][1] = 0;
}

// ---------------------------------------------------------------------------
// Keeping a text.

void keep_text(const float corners[4][2], bool transposed) {
    std::memcpy(S.result_text, S.text_buffer, sizeof S.result_text);
    ReadInfo& info = last_read.info;
    info.strategy = last_read.strategy;
    info.strategy_name = last_read.name;
    info.mirrored = transposed ? -1 : 0;
    // Read transposed, the matrix's top right is the symbol's bottom left.
    const int order[4] = {0, transposed ? 3 : 1, 2, transposed ? 1 : 3};
    for (int k = 0; k < 4; ++k)
        for (int a = 0; a < 2; ++a) info.corners[k][a] = corners[order[k]][a] * last_read.scale;
    last_read.valid = true;
}

// The designed call's hooks: no read until it keeps a text, whose corners
// follow from the finder triple and the units of its version.
void forget_read() {
    last_read.valid = false;
}

void note_designed_read() {
    float corners[4][2];
    corners_of(affine_map(), corners);
    last_read.strategy = 0;
    last_read.name = "designed";
    last_read.scale = 1.0f;
    keep_text(corners, false);
}

}  // namespace vorden

extern "C" int32_t decoder_read_info(ReadInfo* out) {
    if (out == nullptr || !vorden::last_read.valid) return 0;
    *out = vorden::last_read.info;
    return -1;
}
