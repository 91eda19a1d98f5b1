// Hostile patterns of any size, for the growth check and the camera worker:
// images that make a finder search do far more work than a frame with a
// symbol does.
#ifndef VORDEN_BENCH_PATTERNS_H
#define VORDEN_BENCH_PATTERNS_H

#include <vector>

#include "draw.h"

namespace vorden::bench {

struct Pattern {
    const char* name;
    GreyImage (*draw)(int width, int height);
};

// Diagonal stripes, tiny finders tiled, finders joined into one dark region,
// a 2x2 lattice, three finders on a checkerboard, grey and binary noise.
const std::vector<Pattern>& hostile_patterns();

// Along each row dark 1, light 1, dark 2, light 1 pixels, over and over,
// shifted one pixel a row: runs close to a finder's 1:1:3:1:1 crossing at
// every fifth pixel of every row and column, none of them a finder.
GreyImage diagonal_stripes(int width, int height);

}  // namespace vorden::bench

#endif
