// The driver: entry checks and binarization.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decoder.h"
#include "renderer.h"
#include "stages.h"
#include "vorden.h"

using namespace vorden;
using vorden::test::log_of;

namespace {

DecoderState& S = decoder_state;

// decode_symbol with a memory log; returns what it logged.
std::string decode_log(const std::vector<uint8_t>& image, int w, int h, int depth, const char** result) {
    return log_of([&](FILE* log) { *result = decode_symbol(image.data(), w, h, depth, log); });
}

std::vector<uint8_t> binarized(const std::vector<uint8_t>& image, int pass, int depth) {
    S.image_width = static_cast<int>(image.size());
    S.image_height = 1;
    std::vector<uint8_t> out(image.size(), 0xAA);
    S.binary_image = out.data();
    S.log_stream = nullptr;
    binarize(pass, image.data(), depth);
    S.binary_image = nullptr;
    return out;
}

}  // namespace

TEST(Top, RefusesBadArgumentsWithoutTouchingState) {
    S.image_width = 77;
    const std::vector<uint8_t> pixels(4, 0);
    const char* result = reinterpret_cast<const char*>(1);
    EXPECT_EQ(decode_log(pixels, 0, 4, 8, &result), "");
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(decode_log(pixels, 4, -1, 8, &result), "");
    EXPECT_EQ(decode_log(pixels, 32768, 1, 8, &result), "");
    EXPECT_EQ(decode_log(pixels, 1, 32768, 8, &result), "");
    EXPECT_EQ(decode_symbol(nullptr, 2, 2, 8, stderr), nullptr);
    EXPECT_EQ(S.image_width, 77);
}

TEST(Binarize, ThresholdsPerPassEqualIsLightAndTheTwoLevelRule) {
    // min 20 and mean 120 (sum 960 over 8 pixels): thresholds 120, 70 and 95.
    const std::vector<uint8_t> image = {20, 220, 69, 70, 94, 95, 160, 232};
    EXPECT_EQ(binarized(image, 0, 8), (std::vector<uint8_t>{64, 0, 64, 64, 64, 64, 0, 0}));
    EXPECT_EQ(binarized(image, 1, 8), (std::vector<uint8_t>{64, 0, 64, 0, 0, 0, 0, 0}));
    EXPECT_EQ(binarized(image, 2, 8), (std::vector<uint8_t>{64, 0, 64, 64, 64, 0, 0, 0}));
    EXPECT_EQ(binarized({128, 128, 128}, 0, 8), (std::vector<uint8_t>{0, 0, 0}));
    // Mean 0.75 truncates to 0, the minimum: every pass thresholds at 0.
    for (int pass = 0; pass < 3; ++pass)
        EXPECT_EQ(binarized({0, 0, 0, 3}, pass, 8), (std::vector<uint8_t>(4, 0)));
    // Two levels: only 0 is dark; only the low 16 bits of the depth count.
    EXPECT_EQ(binarized({0, 1, 255, 7}, 2, 1), (std::vector<uint8_t>{64, 0, 0, 0}));
    EXPECT_EQ(binarized({0, 1, 255, 7}, 0, 65537), (std::vector<uint8_t>{64, 0, 0, 0}));
}
