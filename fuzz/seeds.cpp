// Writes seed inputs for a fuzz target into a folder: rendered symbols for
// decode_symbol, their codeword streams for segments and rsdecode.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "decoder.h"
#include "renderer.h"
#include "vorden.h"

using namespace vorden::test;

namespace {

void write(const std::string& folder, int n, const std::vector<uint8_t>& bytes) {
    const std::string path = folder + "/seed-" + std::to_string(n);
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return;
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: fuzz-seeds decode_symbol|segments|rsdecode FOLDER\n");
        return 2;
    }
    const std::string target = argv[1];
    const std::string folder = argv[2];
    const Mode modes[] = {Mode::Numeric, Mode::Alphanumeric, Mode::Byte, Mode::Byte};
    const char* texts[] = {"0123456789", "HELLO QR", "seed text", "\x01\xff"};
    int n = 0;
    for (int version : {1, 2, 3, 7}) {
        for (int m = 0; m < 4; ++m) {
            EncodeOptions options;
            options.version = version;
            options.level = static_cast<Level>(m);
            const Symbol symbol = encode(modes[m], texts[m], options);
            RenderOptions render_options;
            render_options.module_px = version < 3 ? 3 : 2;
            render_options.quiet_zone = 2;
            render_options.angle_deg = 10.0 * m;
            const Image image = render(symbol, render_options);
            if (target == "decode_symbol") {
                std::vector<uint8_t> in = {static_cast<uint8_t>((image.width - 1) & 0xFF),
                                           static_cast<uint8_t>((image.width - 1) >> 8),
                                           static_cast<uint8_t>((image.height - 1) & 0xFF),
                                           static_cast<uint8_t>((image.height - 1) >> 8),
                                           static_cast<uint8_t>(m == 3 ? 2 : 0)};
                in.insert(in.end(), image.pixels.begin(), image.pixels.end());
                write(folder, n++, in);
                continue;
            }
            if (decode_symbol(image.pixels.data(), image.width, image.height, 8, nullptr) == nullptr)
                continue;
            const vorden::DecoderState& s = vorden::decoder_state;
            std::vector<uint8_t> in = {static_cast<uint8_t>(version - 1)};
            if (target == "segments") {
                in.insert(in.end(), s.data_codewords, s.data_codewords + s.data_codeword_count);
            } else {
                // Single-block symbols: the raw codewords are the block.
                if (s.block_layout[0].block_count + s.block_layout[1].block_count != 1) continue;
                in.push_back(static_cast<uint8_t>(vorden::level_row(s.ec_level)));
                in.push_back(0);
                in.insert(in.end(), s.raw_codewords, s.raw_codewords + s.total_codewords);
            }
            write(folder, n++, in);
        }
    }
    std::printf("%d seeds for %s in %s\n", n, target.c_str(), folder.c_str());
    return 0;
}
