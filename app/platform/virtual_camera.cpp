// The virtual camera.
#include "platform/virtual_camera.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>

#define STB_IMAGE_IMPLEMENTATION
#define STBI_FAILURE_USERMSG
#include <stb/stb_image.h>

namespace ostrel {

struct VirtualPlug {
    std::mutex mutex;
    // Notified when the camera is unplugged or one of its devices is asked
    // to stop.
    std::condition_variable changed;
    bool unplugged = false;
};

namespace {

constexpr uint32_t DEFAULT_INTERVAL_US = 100000;  // ten frames a second
constexpr int NOISE_LEVELS = 3;
constexpr FrameSize DEFAULT_SIZE = {640, 480};
constexpr FrameSize SIZES[] = {{160, 120}, {320, 240}, {640, 480}, {800, 600}, {1280, 720}};

uint32_t next_random(uint32_t& state) {
    // xorshift32; the state must never be 0.
    if (state == 0) state = 0x9E3779B9u;
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

int row_pixels(VirtualFormat format, int width) {
    return format == VirtualFormat::rgb24 ? (width + 15) & ~15 : width;
}

class VirtualDevice final : public CaptureDevice {
  public:
    VirtualDevice(std::shared_ptr<const std::vector<RgbPicture>> pictures, VirtualFormat format,
                  FrameSize size, std::shared_ptr<VirtualPlug> plug)
        : pictures_(std::move(pictures)), format_(format), size_(size), plug_(std::move(plug)) {}
    ~VirtualDevice() override { stop(); }

    BITMAPINFOHEADER format() override { return virtual_frame_format(format_, size_); }
    std::vector<FormatOption> format_options() override {
        // An unplugged camera answers no questions, as a V4L2 node of a
        // removed camera fails every ioctl.
        if (unplugged()) return {};
        return virtual_format_options();
    }
    FormatChoice current_choice() override { return {static_cast<size_t>(format_), size_}; }
    bool set_format(const FormatOption& option, FrameSize size) override {
        if (unplugged()) return false;
        if (option.code > static_cast<uint32_t>(VirtualFormat::rgb32)) return false;
        if (std::find(std::begin(SIZES), std::end(SIZES), size) == std::end(SIZES)) return false;
        format_ = static_cast<VirtualFormat>(option.code);
        size_ = size;
        return true;
    }
    void set_frame_interval(uint32_t microseconds) override {
        interval_us_ = microseconds == 0 ? DEFAULT_INTERVAL_US : microseconds;
    }

    bool start(FrameSink sink) override {
        stop();
        if (unplugged()) return false;
        std::vector<RgbPicture> fitted;
        for (const RgbPicture& picture : *pictures_) fitted.push_back(fit_picture(picture, size_));
        {
            std::lock_guard lock(plug_->mutex);
            stopping_ = false;
        }
        thread_ =
            std::thread([this, fitted = std::move(fitted), sink = std::move(sink)] { run(fitted, sink); });
        return true;
    }

    void stop() override {
        if (!thread_.joinable()) return;
        {
            std::lock_guard lock(plug_->mutex);
            stopping_ = true;
        }
        plug_->changed.notify_all();
        if (thread_.get_id() == std::this_thread::get_id()) {
            // Released from inside its own frame callback: the thread ends
            // by itself after this frame.
            thread_.detach();
        } else {
            thread_.join();
        }
    }

  private:
    bool unplugged() {
        std::lock_guard lock(plug_->mutex);
        return plug_->unplugged;
    }

    // Ends when stopped, or by itself when the camera is unplugged.
    void run(const std::vector<RgbPicture>& fitted, const FrameSink& sink) {
        uint32_t state = 0x12345678u;
        auto next = std::chrono::steady_clock::now();
        const auto interval = std::chrono::microseconds(interval_us_);
        const auto ended = [this] { return stopping_ || plug_->unplugged; };
        for (size_t frame = 0;; ++frame) {
            {
                std::lock_guard lock(plug_->mutex);
                if (ended()) return;
            }
            std::vector<uint8_t> data =
                make_virtual_frame(fitted[frame % fitted.size()], format_, NOISE_LEVELS, state);
            sink(data.data(), data.size());
            next += interval;
            std::unique_lock lock(plug_->mutex);
            if (plug_->changed.wait_until(lock, next, ended)) return;
        }
    }

    std::shared_ptr<const std::vector<RgbPicture>> pictures_;
    VirtualFormat format_;
    FrameSize size_;
    std::shared_ptr<VirtualPlug> plug_;
    uint32_t interval_us_ = DEFAULT_INTERVAL_US;
    std::thread thread_;
    bool stopping_ = false;  // guarded by plug_->mutex
};

bool parse_format(const std::string& text, VirtualFormat& format, FrameSize& size) {
    char name[16] = {};
    int width = 0;
    int height = 0;
    const int fields = std::sscanf(text.c_str(), "%15s %dx%d", name, &width, &height);
    if (fields < 1) return false;
    const std::vector<FormatOption> options = virtual_format_options();
    auto found = std::find_if(options.begin(), options.end(),
                              [&](const FormatOption& option) { return option.name == name; });
    if (found == options.end()) return false;
    format = static_cast<VirtualFormat>(found->code);
    if (fields == 3) {
        if (std::find(std::begin(SIZES), std::end(SIZES), FrameSize{width, height}) == std::end(SIZES))
            return false;
        size = {width, height};
    }
    return true;
}

}  // namespace

std::vector<FormatOption> virtual_format_options() {
    const std::vector<FrameSize> sizes(std::begin(SIZES), std::end(SIZES));
    return {{"YUY2", static_cast<uint32_t>(VirtualFormat::yuy2), sizes},
            {"RGB24", static_cast<uint32_t>(VirtualFormat::rgb24), sizes},
            {"RGB32", static_cast<uint32_t>(VirtualFormat::rgb32), sizes}};
}

BITMAPINFOHEADER virtual_frame_format(VirtualFormat format, FrameSize size) {
    BITMAPINFOHEADER header = {};
    header.biSize = sizeof header;
    header.biWidth = size.width;
    header.biHeight = size.height;
    header.biPlanes = 1;
    switch (format) {
        case VirtualFormat::yuy2:
            header.biBitCount = 16;
            header.biCompression = FOURCC_YUY2;
            break;
        case VirtualFormat::rgb24:
            header.biBitCount = 24;
            header.biCompression = BI_RGB;
            break;
        case VirtualFormat::rgb32:
            header.biBitCount = 32;
            header.biCompression = BI_RGB;
            break;
    }
    header.biSizeImage =
        static_cast<DWORD>(row_pixels(format, size.width)) * size.height * header.biBitCount / 8;
    return header;
}

RgbPicture fit_picture(const RgbPicture& picture, FrameSize size) {
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

std::vector<uint8_t> make_virtual_frame(const RgbPicture& fitted, VirtualFormat format, int noise,
                                        uint32_t& state) {
    const int width = fitted.width;
    const int height = fitted.height;
    auto sample = [&](int x, int y, int c) {
        int value = fitted.rgb[(static_cast<size_t>(y) * width + x) * 3 + c];
        if (noise > 0) value += static_cast<int>(next_random(state) % (2 * noise + 1)) - noise;
        return std::clamp(value, 0, 255);
    };
    std::vector<uint8_t> frame;
    if (format == VirtualFormat::yuy2) {
        // ITU-R BT.601 studio range; each pair of pixels shares its chroma.
        const int stride = (width + 1) & ~1;
        frame.assign(static_cast<size_t>(stride) * height * 2, 128);
        for (int y = 0; y < height; ++y) {
            uint8_t* row = frame.data() + static_cast<size_t>(y) * stride * 2;
            for (int x = 0; x < width; x += 2) {
                int u = 0;
                int v = 0;
                int count = 0;
                for (int k = x; k < std::min(x + 2, width); ++k, ++count) {
                    const int r = sample(k, y, 0);
                    const int g = sample(k, y, 1);
                    const int b = sample(k, y, 2);
                    row[k * 2] = static_cast<uint8_t>(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16);
                    u += ((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128;
                    v += ((112 * r - 94 * g - 18 * b + 128) >> 8) + 128;
                }
                row[x * 2 + 1] = static_cast<uint8_t>(u / count);
                row[x * 2 + 3] = static_cast<uint8_t>(v / count);
            }
        }
        return frame;
    }
    const int pixel_bytes = format == VirtualFormat::rgb24 ? 3 : 4;
    const size_t stride = static_cast<size_t>(row_pixels(format, width)) * pixel_bytes;
    frame.assign(stride * height, 0);
    for (int y = 0; y < height; ++y) {
        uint8_t* out = frame.data() + stride * (height - 1 - y);
        for (int x = 0; x < width; ++x, out += pixel_bytes) {
            out[2] = static_cast<uint8_t>(sample(x, y, 0));
            out[1] = static_cast<uint8_t>(sample(x, y, 1));
            out[0] = static_cast<uint8_t>(sample(x, y, 2));
        }
    }
    return frame;
}

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

VirtualCamera::VirtualCamera(std::vector<RgbPicture> pictures, VirtualFormat format, FrameSize size)
    : pictures_(std::make_shared<const std::vector<RgbPicture>>(std::move(pictures))),
      format_(format),
      size_(size),
      plug_(std::make_shared<VirtualPlug>()) {}

std::unique_ptr<CaptureDevice> VirtualCamera::open() {
    if (pictures_->empty()) return nullptr;
    {
        std::lock_guard lock(plug_->mutex);
        if (plug_->unplugged) return nullptr;
    }
    return std::make_unique<VirtualDevice>(pictures_, format_, size_, plug_);
}

void VirtualCamera::unplug() {
    {
        std::lock_guard lock(plug_->mutex);
        plug_->unplugged = true;
    }
    plug_->changed.notify_all();
}

std::shared_ptr<CaptureDriver> virtual_camera_from_environment() {
    const char* path = std::getenv("OSTREL_VIRTUAL_CAMERA");
    if (path == nullptr || path[0] == '\0') return nullptr;
    VirtualFormat format = VirtualFormat::yuy2;
    FrameSize size = DEFAULT_SIZE;
    const char* format_text = std::getenv("OSTREL_VIRTUAL_CAMERA_FORMAT");
    if (format_text != nullptr && format_text[0] != '\0' && !parse_format(format_text, format, size)) {
        std::fprintf(stderr, "OSTREL_VIRTUAL_CAMERA_FORMAT: not a format of the virtual camera: %s\n",
                     format_text);
    }
    std::string error;
    std::vector<RgbPicture> pictures = load_pictures(path, error);
    if (pictures.empty()) {
        std::fprintf(stderr, "OSTREL_VIRTUAL_CAMERA: %s\n", error.c_str());
        return nullptr;
    }
    return std::make_shared<VirtualCamera>(std::move(pictures), format, size);
}

}  // namespace ostrel
