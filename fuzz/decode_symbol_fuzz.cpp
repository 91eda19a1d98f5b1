// The whole decoder on an arbitrary image: 2 bytes width, 2 bytes height,
// 1 byte flags (bit 0: two-level, bit 1: logging), then the pixels, repeated
// to fill the image. Built twice: for decode_symbol, and with
// VORDEN_FUZZ_THOROUGH for decode_symbol_thorough on the same inputs.
#include <cstdio>
#include <vector>

#include "fuzz_input.h"
#include "vorden.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static FILE* sink = std::fopen("/dev/null", "w");
    FuzzInput in{data, size};
    const int width = 1 + in.word() % 400;
    const int height = 1 + in.word() % 400;
    const uint8_t flags = in.byte();
    std::vector<uint8_t> image(static_cast<size_t>(width) * height, 0);
    if (in.rest_size() > 0) {
        for (size_t i = 0; i < image.size(); ++i) image[i] = in.rest()[i % in.rest_size()];
    }
#ifdef VORDEN_FUZZ_THOROUGH
    const auto decode = decode_symbol_thorough;
#else
    const auto decode = decode_symbol;
#endif
    decode(image.data(), width, height, (flags & 1) ? 1 : 8, (flags & 2) ? sink : nullptr);
    return 0;
}
