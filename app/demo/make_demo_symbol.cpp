// Renders the demo symbol that scripts/run shows to the virtual camera: a
// QR Code of the demo text, written as a binary PGM with a quiet zone.
#include <qrencode.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr const char* DEMO_TEXT = "Ostrel デモ: QRコードを読み取りました。";
constexpr int MODULE_PIXELS = 6;
constexpr int QUIET_ZONE = 4;  // modules, as ISO/IEC 18004 asks

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.pgm\n", argv[0]);
        return 2;
    }
    QRcode* code = QRcode_encodeString8bit(DEMO_TEXT, 0, QR_ECLEVEL_M);
    if (code == nullptr) {
        std::perror("QRcode_encodeString8bit");
        return 1;
    }
    const int side = (code->width + 2 * QUIET_ZONE) * MODULE_PIXELS;
    FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr) {
        std::perror(argv[1]);
        QRcode_free(code);
        return 1;
    }
    std::fprintf(out, "P5\n%d %d\n255\n", side, side);
    for (int y = 0; y < side; ++y) {
        const int row = y / MODULE_PIXELS - QUIET_ZONE;
        for (int x = 0; x < side; ++x) {
            const int column = x / MODULE_PIXELS - QUIET_ZONE;
            const bool inside = row >= 0 && row < code->width && column >= 0 && column < code->width;
            // Bit 0 of a module byte marks a dark module.
            const bool dark = inside && (code->data[row * code->width + column] & 1) != 0;
            std::fputc(dark ? 0 : 255, out);
        }
    }
    QRcode_free(code);
    return std::fclose(out) == 0 ? 0 : 1;
}
