// The built-in virtual camera: plays an image file, or every image of a
// folder in name order, as camera frames ten times a second, with slight
// noise so that no two frames are equal. It stands in for a camera on
// machines without one.
//
// OSTREL_VIRTUAL_CAMERA names the file or folder; OSTREL_VIRTUAL_CAMERA_FORMAT,
// e.g. "RGB24" or "YUY2 320x240", the mode it starts in.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "platform/capture.h"

#define STB_IMAGE_IMPLEMENTATION
#define STBI_FAILURE_USERMSG
#include <stb/stb_image.h>

namespace ostrel {

namespace {

struct RgbPicture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;  // top row first
};

constexpr int NOISE_LEVELS = 3;
constexpr LONG SIZES[][2] = {{160, 120}, {320, 240}, {640, 480}, {800, 600}, {1280, 720}};

std::vector<VideoMode> virtual_modes() {
    std::vector<VideoMode> modes;
    for (bool yuy2 : {true, false}) {
        for (const auto& size : SIZES)
            modes.push_back(yuy2 ? yuy2_mode(size[0], size[1]) : rgb24_mode(size[0], size[1]));
    }
    return modes;
}

// The picture scaled to fit `size`, centred on grey, its aspect kept.
RgbPicture fit_picture(const RgbPicture& picture, const VideoMode& size) {
    RgbPicture fitted;
    fitted.width = size.width;
    fitted.height = size.height;
    fitted.rgb.assign(static_cast<size_t>(size.width) * size.height * 3, 0x80);
    if (picture.width <= 0 || picture.height <= 0) return fitted;
    const double scale = std::min(static_cast<double>(size.width) / picture.width,
                                  static_cast<double>(size.height) / picture.height);
    const int width = std::max(1, static_cast<int>(picture.width * scale));
    const int height = std::max(1, static_cast<int>(picture.height * scale));
    const int left = (size.width - width) / 2;
    const int top = (size.height - height) / 2;
    // Bilinear sampling at each target pixel's centre.
    for (int y = 0; y < height; ++y) {
        const double sy = std::clamp((y + 0.5) / scale - 0.5, 0.0, picture.height - 1.0);
        const int y0 = static_cast<int>(sy);
        const int y1 = std::min(y0 + 1, picture.height - 1);
        const double fy = sy - y0;
        for (int x = 0; x < width; ++x) {
            const double sx = std::clamp((x + 0.5) / scale - 0.5, 0.0, picture.width - 1.0);
            const int x0 = static_cast<int>(sx);
            const int x1 = std::min(x0 + 1, picture.width - 1);
            const double fx = sx - x0;
            uint8_t* out = fitted.rgb.data() + (static_cast<size_t>(top + y) * size.width + left + x) * 3;
            for (int c = 0; c < 3; ++c) {
                auto at = [&](int px, int py) {
                    return picture.rgb[(static_cast<size_t>(py) * picture.width + px) * 3 + c];
                };
                const double top_row = at(x0, y0) * (1 - fx) + at(x1, y0) * fx;
                const double bottom_row = at(x0, y1) * (1 - fx) + at(x1, y1) * fx;
                out[c] = static_cast<uint8_t>(top_row * (1 - fy) + bottom_row * fy + 0.5);
            }
        }
    }
    return fitted;
}

// One frame in the delivered layout, every sample moved by up to
// NOISE_LEVELS from the xorshift generator `state` (never 0).
std::vector<uint8_t> make_frame(const RgbPicture& fitted, const VideoMode& mode, uint32_t& state) {
    const int width = fitted.width;
    auto sample = [&](int x, int y, int c) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        const int noise = static_cast<int>(state % (2 * NOISE_LEVELS + 1)) - NOISE_LEVELS;
        return std::clamp(fitted.rgb[(static_cast<size_t>(y) * width + x) * 3 + c] + noise, 0, 255);
    };
    const BITMAPINFOHEADER header = header_of(mode);
    std::vector<uint8_t> frame(header.biSizeImage, mode.compression == FOURCC_YUY2 ? 128 : 0);
    const size_t stride = header.biSizeImage / fitted.height;
    for (int y = 0; y < fitted.height; ++y) {
        uint8_t* row = frame.data() + stride * (mode.compression == FOURCC_YUY2 ? y : fitted.height - 1 - y);
        for (int x = 0; x < width; ++x) {
            const int r = sample(x, y, 0);
            const int g = sample(x, y, 1);
            const int b = sample(x, y, 2);
            if (mode.compression != FOURCC_YUY2) {
                row[x * 3] = static_cast<uint8_t>(b);
                row[x * 3 + 1] = static_cast<uint8_t>(g);
                row[x * 3 + 2] = static_cast<uint8_t>(r);
                continue;
            }
            // ITU-R BT.601 studio range; a pair of pixels shares the chroma
            // of its first.
            row[x * 2] = static_cast<uint8_t>(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16);
            if (x % 2 != 0) continue;
            row[x * 2 + 1] = static_cast<uint8_t>(((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128);
            if (x + 1 < width)
                row[x * 2 + 3] = static_cast<uint8_t>(((112 * r - 94 * g - 18 * b + 128) >> 8) + 128);
        }
    }
    return frame;
}

// Loads an image file, or every image file of a folder in name order.
// Empty, with `error` set, when nothing could be loaded.
std::vector<RgbPicture> load_pictures(const std::string& path, std::string& error) {
    namespace fs = std::filesystem;
    std::vector<fs::path> files;
    std::error_code code;
    if (fs::is_directory(path, code)) {
        for (const fs::directory_entry& entry : fs::directory_iterator(path, code)) {
            if (entry.is_regular_file(code)) files.push_back(entry.path());
        }
        std::sort(files.begin(), files.end());
    } else {
        files.emplace_back(path);
    }
    std::vector<RgbPicture> pictures;
    for (const fs::path& file : files) {
        int width = 0;
        int height = 0;
        int channels = 0;
        stbi_uc* pixels = stbi_load(file.c_str(), &width, &height, &channels, 3);
        if (pixels == nullptr) {
            error = file.string() + ": " + stbi_failure_reason();
            continue;
        }
        RgbPicture picture;
        picture.width = width;
        picture.height = height;
        picture.rgb.assign(pixels, pixels + static_cast<size_t>(width) * height * 3);
        stbi_image_free(pixels);
        pictures.push_back(std::move(picture));
    }
    if (files.empty()) error = path + ": no image files";
    if (!pictures.empty()) error.clear();
    return pictures;
}

class VirtualCamera final : public Camera {
  public:
    VirtualCamera(std::shared_ptr<const std::vector<RgbPicture>> pictures, VideoMode mode)
        : pictures_(std::move(pictures)), mode_(mode) {}
    std::vector<VideoMode> modes() override { return virtual_modes(); }
    VideoMode mode() override { return mode_; }
    bool set_mode(const VideoMode& mode) override {
        const std::vector<VideoMode> offered = virtual_modes();
        if (std::find(offered.begin(), offered.end(), mode) == offered.end()) return false;
        mode_ = mode;
        return true;
    }
    bool start(uint32_t interval_us) override {
        interval_ = std::chrono::microseconds(interval_us == 0 ? 100000 : interval_us);
        fitted_.clear();
        for (const RgbPicture& picture : *pictures_) fitted_.push_back(fit_picture(picture, mode_));
        next_ = std::chrono::steady_clock::now();
        return true;
    }
    int next_frame(std::vector<uint8_t>& frame, int timeout_ms) override {
        const auto now = std::chrono::steady_clock::now();
        if (next_ > now + std::chrono::milliseconds(timeout_ms)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
            return 0;
        }
        std::this_thread::sleep_until(next_);
        next_ += interval_;
        frame = make_frame(fitted_[shown_++ % fitted_.size()], mode_, state_);
        return 1;
    }
    void stop() override {}

  private:
    std::shared_ptr<const std::vector<RgbPicture>> pictures_;
    VideoMode mode_;
    std::vector<RgbPicture> fitted_;
    std::chrono::microseconds interval_{100000};
    std::chrono::steady_clock::time_point next_;
    size_t shown_ = 0;
    uint32_t state_ = 0x12345678u;
};

// "YUY2" or "RGB24", optionally followed by one of the sizes as "WxH".
bool parse_mode(const char* text, VideoMode& mode) {
    char name[16] = {};
    LONG width = mode.width;
    LONG height = mode.height;
    if (std::sscanf(text, "%15s %dx%d", name, &width, &height) < 1) return false;
    const std::string format = name;
    if (format != "YUY2" && format != "RGB24") return false;
    const VideoMode wanted = format == "YUY2" ? yuy2_mode(width, height) : rgb24_mode(width, height);
    const std::vector<VideoMode> offered = virtual_modes();
    if (std::find(offered.begin(), offered.end(), wanted) == offered.end()) return false;
    mode = wanted;
    return true;
}

}  // namespace

std::optional<CameraDriver> virtual_camera_from_environment() {
    const char* path = std::getenv("OSTREL_VIRTUAL_CAMERA");
    if (path == nullptr || path[0] == '\0') return std::nullopt;
    VideoMode mode = yuy2_mode(640, 480);
    const char* format = std::getenv("OSTREL_VIRTUAL_CAMERA_FORMAT");
    if (format != nullptr && format[0] != '\0' && !parse_mode(format, mode))
        std::fprintf(stderr, "OSTREL_VIRTUAL_CAMERA_FORMAT: not a format of the virtual camera: %s\n",
                     format);
    std::string error;
    auto pictures = std::make_shared<const std::vector<RgbPicture>>(load_pictures(path, error));
    if (pictures->empty()) {
        std::fprintf(stderr, "OSTREL_VIRTUAL_CAMERA: %s\n", error.c_str());
        return std::nullopt;
    }
    return CameraDriver{"Ostrel virtual camera", "1.0",
                        [pictures, mode] { return std::make_unique<VirtualCamera>(pictures, mode); }};
}

}  // namespace ostrel
