// The data-segment parser on an arbitrary codeword stream: 1 byte version,
// then the data codewords (as many as given, up to the buffer).
#include <cstring>

#include "decoder.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vorden;
    FuzzInput in{data, size};
    DecoderState& s = decoder_state;
    s.symbol_version = 1 + in.byte() % 40;
    const size_t count = in.rest_size() < sizeof s.data_codewords ? in.rest_size() : sizeof s.data_codewords;
    std::memcpy(s.data_codewords, in.rest(), count);
    s.data_codeword_count = static_cast<int32_t>(count);
    const char* text = decode_data_segments();
    if (text != nullptr && (s.text_length < 1 || s.text_length > 7089)) __builtin_trap();
    return 0;
}
