// Runs the decoder's stages one by one on a grey image, for tests that look
// at the state between them.
#ifndef VORDEN_TEST_STAGES_H
#define VORDEN_TEST_STAGES_H

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "decoder.h"
#include "renderer.h"

namespace vorden::test {

// What `run` writes to the log stream it is given, which is also the
// decoder state's log stream meanwhile.
inline std::string log_of(const std::function<void(FILE*)>& run) {
    char* buffer = nullptr;
    size_t size = 0;
    FILE* log = open_memstream(&buffer, &size);
    decoder_state.log_stream = log;
    run(log);
    decoder_state.log_stream = nullptr;
    std::fclose(log);
    std::string text(buffer, size);
    std::free(buffer);
    return text;
}

// Empties a pool of the state, releasing what an earlier case left in it.
inline void empty_pool(MemChunk* pool, int32_t element_size) {
    memchunk_free(pool);
    memchunk_init(pool, element_size);
}

class Stages {
  public:
    // Installs the image and binarizes it as the first pass does.
    explicit Stages(const Image& image) : binary_(image.pixels.size()) {
        DecoderState& s = decoder_state;
        s.image_width = image.width;
        s.image_height = image.height;
        s.binary_image = binary_.data();
        s.log_stream = nullptr;
        binarize(0, image.pixels.data(), 8);
    }
    ~Stages() {
        release_sampling_grid();
        release_finder_patterns();
        decoder_state.binary_image = nullptr;
    }
    Stages(const Stages&) = delete;
    Stages& operator=(const Stages&) = delete;

    // The stages up to the module matrix, with the driver's two attempts;
    // false when neither gets there. The last attempt's grid stays alive.
    bool sample() {
        DecoderState& s = decoder_state;
        if (!find_finder_patterns()) return false;
        for (int attempt = 0; attempt < 2; ++attempt) {
            release_sampling_grid();
            s.symbol_version = estimate_version(attempt, s.image_width, s.image_height);
            if (s.symbol_version >= 1 && build_sampling_grid() && sample_modules()) return true;
        }
        return false;
    }

    // Modules of the sampled matrix that differ from the symbol's.
    static int mismatches(const Symbol& symbol) {
        const DecoderState& s = decoder_state;
        if (s.symbol_size != symbol.size) return symbol.size * symbol.size;
        int wrong = 0;
        for (int i = 0; i < symbol.size * symbol.size; ++i) {
            wrong += (s.module_matrix[i] == 64) != (symbol.dark[i] != 0);
        }
        return wrong;
    }

  private:
    std::vector<uint8_t> binary_;
};

}  // namespace vorden::test

#endif
