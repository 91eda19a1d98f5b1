#include "decoder.h"
namespace vorden {
int32_t read_format_information() { return 0; }
}  // namespace vorden
