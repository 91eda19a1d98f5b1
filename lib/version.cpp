#include "decoder.h"
namespace vorden {
int32_t estimate_version(int32_t, int32_t, int32_t) { return 0; }
}  // namespace vorden
