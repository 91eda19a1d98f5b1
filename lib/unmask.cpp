#include "decoder.h"
namespace vorden {
void remove_data_mask() {}
}  // namespace vorden
