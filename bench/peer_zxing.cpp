// zxing-cpp as a benchmark peer: its default reader (try harder, rotations,
// downscaling) limited to QR Code, on the grey image as it is.
#define ZX_USE_UTF8 1
#include <ZXing/ReadBarcode.h>

#include "corpus.h"

namespace vorden::bench {

bool zxing_read(const GreyImage& image, std::string* bytes) {
    ZXing::DecodeHints hints;
    hints.setFormats(ZXing::BarcodeFormat::QRCode);
    const ZXing::ImageView view(image.pixels.data(), image.width, image.height, ZXing::ImageFormat::Lum);
    const ZXing::Result result = ZXing::ReadBarcode(view, hints);
    if (!result.isValid()) return false;
    const auto& raw = result.bytes();
    bytes->assign(raw.begin(), raw.end());
    return true;
}

}  // namespace vorden::bench
