// ZBar as a benchmark peer: QR Code only, bytes as coded (no character-set
// conversion, like the other two). One scanner for the process, as an
// application would keep it.
#include <zbar.h>

#include <memory>

#include "corpus.h"

namespace vorden::bench {

// zbar.h declares its C interface inside namespace zbar when compiled as C++.
using namespace zbar;

namespace {

zbar_image_scanner_t* scanner() {
    static const std::unique_ptr<zbar_image_scanner_t, void (*)(zbar_image_scanner_t*)> instance(
        [] {
            zbar_image_scanner_t* s = zbar_image_scanner_create();
            zbar_image_scanner_set_config(s, ZBAR_NONE, ZBAR_CFG_ENABLE, 0);
            zbar_image_scanner_set_config(s, ZBAR_QRCODE, ZBAR_CFG_ENABLE, 1);
            zbar_image_scanner_set_config(s, ZBAR_QRCODE, ZBAR_CFG_BINARY, 1);
            return s;
        }(),
        &zbar_image_scanner_destroy);
    return instance.get();
}

}  // namespace

bool zbar_read(const GreyImage& image, std::string* bytes) {
    zbar_image_t* z = zbar_image_create();
    zbar_image_set_format(z, zbar_fourcc('Y', '8', '0', '0'));
    zbar_image_set_size(z, static_cast<unsigned>(image.width), static_cast<unsigned>(image.height));
    // No cleanup handler: the pixels stay the caller's.
    zbar_image_set_data(z, image.pixels.data(), image.pixels.size(), nullptr);
    bool read = false;
    if (zbar_scan_image(scanner(), z) > 0) {
        const zbar_symbol_t* symbol = zbar_image_first_symbol(z);
        if (symbol != nullptr) {
            bytes->assign(zbar_symbol_get_data(symbol), zbar_symbol_get_data_length(symbol));
            read = true;
        }
    }
    zbar_image_destroy(z);
    return read;
}

}  // namespace vorden::bench
