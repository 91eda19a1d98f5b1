// Renders the demo symbol that scripts/run shows to the virtual camera: a
// QR Code of the demo text in 8-bit mode, level M, six pixels a module with
// a quiet zone of four modules, written as a binary PGM.
#include <cstdio>
#include <exception>

#include "renderer.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.pgm\n", argv[0]);
        return 2;
    }
    using namespace vorden::test;
    try {
        write_pgm(render(encode(Mode::Byte, "Ostrel デモ: QRコードを読み取りました。", {.level = Level::M}),
                         {.module_px = 6, .quiet_zone = 4}),
                  argv[1]);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s: %s\n", argv[1], error.what());
        return 1;
    }
    return 0;
}
