// Reads the leading choice bytes of a fuzz input; missing bytes read as 0.
#ifndef VORDEN_FUZZ_INPUT_H
#define VORDEN_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>

struct FuzzInput {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    uint8_t byte() { return at < size ? data[at++] : 0; }
    uint16_t word() { return static_cast<uint16_t>(byte() | byte() << 8); }
    const uint8_t* rest() const { return data + (at < size ? at : size); }
    size_t rest_size() const { return at < size ? size - at : 0; }
};

#endif
