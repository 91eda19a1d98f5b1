// The camera's reduction of large frames, shared by the camera worker and
// vorden-decode --reduce so that both decode the same pixels.
#ifndef VORDEN_TOOLS_REDUCE_H
#define VORDEN_TOOLS_REDUCE_H

#include <cstdint>

namespace vorden::tools {

// f = the larger of width / 640 and height / 640 for frames of 1280 pixels
// or more in either direction, so that neither side passes 960; 1 otherwise.
int32_t reduction_factor(int64_t width, int64_t height);

// Writes the ceil(width / f) x ceil(height / f) reduced image to `out`: each
// pixel the truncated mean of its f x f block, or of the part of the block
// inside the image at the right and bottom edges.
void reduce_by_blocks(const uint8_t* pixels, int32_t width, int32_t height, int32_t f, uint8_t* out);

}  // namespace vorden::tools

#endif
