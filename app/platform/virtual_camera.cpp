// The built-in virtual camera: plays an image file, or every image of a
// folder in name order, as camera frames ten times a second, with slight
// noise so that no two frames are equal. It stands in for a camera on
// machines without one, and reads its files as vorden-decode does.
//
// OSTREL_VIRTUAL_CAMERA names the file or folder; OSTREL_VIRTUAL_CAMERA_FORMAT,
// e.g. "RGB24" or "YUY2 320x240", the mode it starts in.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "image_input.h"
#include "platform/camera.h"

namespace ostrel {

namespace {

// An RGB picture, top row first.
struct RgbPicture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;
};

constexpr int NOISE_LEVELS = 3;
constexpr LONG SIZES[][2] = {{160, 120}, {320, 240}, {640, 480}, {800, 600}, {1280, 720}};

std::vector<VideoMode> virtual_modes() {
    std::vector<VideoMode> modes;
    for (const auto& size : SIZES) modes.push_back(yuy2_mode(size[0], size[1]));
    for (const auto& size : SIZES) modes.push_back(rgb24_mode(size[0], size[1]));
    return modes;
}

// The picture scaled to fit the mode's size, centred on grey, its aspect
// kept, sampled bilinearly at each pixel's centre.
RgbPicture fit_picture(const RgbPicture& picture, const VideoMode& size) {
    RgbPicture fitted{size.width, size.height, std::vector<uint8_t>(size.width * size.height * 3, 0x80)};
    const double scale = std::min(static_cast<double>(size.width) / picture.width,
                                  static_cast<double>(size.height) / picture.height);
    const int width = std::max(1, static_cast<int>(picture.width * scale));
    const int height = std::max(1, static_cast<int>(picture.height * scale));
    auto at = [&](int x, int y, int c) {
        return picture.rgb[(static_cast<size_t>(y) * picture.width + x) * 3 + c];
    };
    for (int y = 0; y < height; ++y) {
        const double sy = std::clamp((y + 0.5) / scale - 0.5, 0.0, picture.height - 1.0);
        const int y0 = static_cast<int>(sy), y1 = std::min(y0 + 1, picture.height - 1);
        const double fy = sy - y0;
        uint8_t* row = &fitted.rgb[(static_cast<size_t>((size.height - height) / 2 + y) * size.width +
                                    (size.width - width) / 2) *
                                   3];
        for (int x = 0; x < width; ++x) {
            const double sx = std::clamp((x + 0.5) / scale - 0.5, 0.0, picture.width - 1.0);
            const int x0 = static_cast<int>(sx), x1 = std::min(x0 + 1, picture.width - 1);
            const double fx = sx - x0;
            for (int c = 0; c < 3; ++c) {
                const double upper = at(x0, y0, c) * (1 - fx) + at(x1, y0, c) * fx;
                const double lower = at(x0, y1, c) * (1 - fx) + at(x1, y1, c) * fx;
                row[x * 3 + c] = static_cast<uint8_t>(upper * (1 - fy) + lower * fy + 0.5);
            }
        }
    }
    return fitted;
}

// One frame in the delivered layout, every sample moved by up to
// NOISE_LEVELS from the xorshift generator `state` (never 0).
std::vector<uint8_t> make_frame(const RgbPicture& fitted, const VideoMode& mode, uint32_t& state) {
    const bool yuy2 = mode.compression == FOURCC_YUY2;
    const BITMAPINFOHEADER header = header_of(mode);
    std::vector<uint8_t> frame(header.biSizeImage, yuy2 ? 128 : 0);
    const size_t stride = header.biSizeImage / fitted.height;
    for (int y = 0; y < fitted.height; ++y) {
        uint8_t* row = frame.data() + stride * (yuy2 ? y : fitted.height - 1 - y);
        for (int x = 0; x < fitted.width; ++x) {
            int c[3];
            for (int k = 0; k < 3; ++k) {
                state ^= state << 13;
                state ^= state >> 17;
                state ^= state << 5;
                const int noise = static_cast<int>(state % (2 * NOISE_LEVELS + 1)) - NOISE_LEVELS;
                c[k] = std::clamp(fitted.rgb[(static_cast<size_t>(y) * fitted.width + x) * 3 + k] + noise, 0,
                                  255);
            }
            if (!yuy2) {
                std::reverse_copy(c, c + 3, row + x * 3);  // blue first
                continue;
            }
            // ITU-R BT.601 studio range; a pair of pixels shares the chroma
            // of its first.
            row[x * 2] = static_cast<uint8_t>(((66 * c[0] + 129 * c[1] + 25 * c[2] + 128) >> 8) + 16);
            if (x % 2 != 0) continue;
            row[x * 2 + 1] = static_cast<uint8_t>(((-38 * c[0] - 74 * c[1] + 112 * c[2] + 128) >> 8) + 128);
            if (x + 1 < fitted.width)
                row[x * 2 + 3] =
                    static_cast<uint8_t>(((112 * c[0] - 94 * c[1] - 18 * c[2] + 128) >> 8) + 128);
        }
    }
    return frame;
}

// An image file, or every file of a folder that is an image, in name order.
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
        std::vector<uint8_t> bytes;
        int64_t width = 0;
        int64_t height = 0;
        vorden::tools::GreyImage grey;
        RgbPicture picture;
        std::string why;
        bool read = vorden::tools::read_file(file.string(), bytes, why) &&
                    vorden::tools::image_size(bytes, width, height, why);
        if (read && width * height > vorden::tools::kDefaultMaxPixels) {
            why = "more than 100 megapixels";
            read = false;
        }
        if (read && vorden::tools::decode_image(bytes, grey, why, &picture.rgb)) {
            picture.width = grey.width;
            picture.height = grey.height;
            // A grey image is its grey level in all three channels.
            if (picture.rgb.empty())
                for (const uint8_t g : grey.pixels) picture.rgb.insert(picture.rgb.end(), 3, g);
            pictures.push_back(std::move(picture));
        } else {
            error = file.string() + ": " + why;
        }
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
        if (next_ > std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms)) {
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

// "YUY2" or "RGB24", and optionally one of the sizes as "WxH".
bool parse_mode(const char* text, VideoMode& mode) {
    char name[16] = {};
    LONG width = mode.width;
    LONG height = mode.height;
    if (std::sscanf(text, "%15s %dx%d", name, &width, &height) < 1) return false;
    const std::string format = name;
    const VideoMode wanted = format == "YUY2" ? yuy2_mode(width, height) : rgb24_mode(width, height);
    const std::vector<VideoMode> offered = virtual_modes();
    if ((format != "YUY2" && format != "RGB24") ||
        std::find(offered.begin(), offered.end(), wanted) == offered.end())
        return false;
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
