// V4L2 cameras, /dev/video0 to /dev/video9, through libv4l2: it converts
// whatever the camera sends (MJPG included) to BGR24 in user space, so every
// camera offers RGB24 at each of its sizes, and YUY2 where it sends YUYV.
// Every call goes through v4l2_calls, so tests can script a device.
#include <fcntl.h>
#include <libv4l2.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

#include "platform/camera.h"

namespace ostrel {

namespace {

int call_open(const char* path, int flags) {
    return v4l2_open(path, flags);
}
int call_ioctl(int fd, unsigned long request, void* argument) {
    int result;
    do result = v4l2_ioctl(fd, request, argument);
    while (result == -1 && errno == EINTR);
    return result;
}
void* call_mmap(size_t length, int fd, int64_t offset) {
    return v4l2_mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset);
}
int call_poll(int fd, int timeout_ms) {
    pollfd ready = {fd, POLLIN, 0};
    const int result = ::poll(&ready, 1, timeout_ms);
    if (result < 0) return errno == EINTR ? 0 : -1;
    return result > 0 && (ready.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 ? -1 : result;
}

constexpr uint32_t BUFFER_COUNT = 4;
struct Buffer {
    void* start = MAP_FAILED;
    size_t length = 0;
};

class V4l2Camera final : public Camera {
  public:
    explicit V4l2Camera(int fd) : fd_(fd) {}
    ~V4l2Camera() override {
        stop();
        v4l2_calls.close(fd_);
    }

    std::vector<VideoMode> modes() override {
        std::vector<VideoMode> yuy2;
        std::vector<VideoMode> rgb24;
        for (uint32_t index = 0;; ++index) {
            v4l2_fmtdesc description = {};
            description.index = index;
            description.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            if (v4l2_calls.ioctl(fd_, VIDIOC_ENUM_FMT, &description) != 0) break;
            // The formats libv4l2 makes from the camera's own add no sizes.
            if ((description.flags & V4L2_FMT_FLAG_EMULATED) != 0) continue;
            for (const VideoMode& rgb : sizes(description.pixelformat)) {
                if (description.pixelformat == V4L2_PIX_FMT_YUYV)
                    yuy2.push_back(yuy2_mode(rgb.width, rgb.height));
                if (std::find(rgb24.begin(), rgb24.end(), rgb) == rgb24.end()) rgb24.push_back(rgb);
            }
        }
        yuy2.insert(yuy2.end(), rgb24.begin(), rgb24.end());
        return yuy2;
    }

    VideoMode mode() override {
        const LONG width = static_cast<LONG>(pix_.width);
        const LONG height = static_cast<LONG>(pix_.height);
        return pix_.pixelformat == V4L2_PIX_FMT_YUYV ? yuy2_mode(width, height) : rgb24_mode(width, height);
    }

    bool set_mode(const VideoMode& mode) override {
        v4l2_format format = {};
        format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        format.fmt.pix.width = static_cast<uint32_t>(mode.width);
        format.fmt.pix.height = static_cast<uint32_t>(mode.height);
        format.fmt.pix.pixelformat = mode.compression == FOURCC_YUY2 ? V4L2_PIX_FMT_YUYV : V4L2_PIX_FMT_BGR24;
        format.fmt.pix.field = V4L2_FIELD_ANY;
        if (v4l2_calls.ioctl(fd_, VIDIOC_S_FMT, &format) != 0) return false;
        const uint32_t got = format.fmt.pix.pixelformat;
        if (got != V4L2_PIX_FMT_YUYV && got != V4L2_PIX_FMT_BGR24) return false;
        // The size may have been adjusted to the nearest the camera has.
        pix_ = format.fmt.pix;
        return true;
    }

    bool start(uint32_t interval_us) override {
        stop();
        // Cameras without frame-rate control refuse this and keep their rate.
        v4l2_streamparm parm = {};
        parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        parm.parm.capture.timeperframe = {interval_us, 1000000};
        if (interval_us != 0) v4l2_calls.ioctl(fd_, VIDIOC_S_PARM, &parm);
        v4l2_requestbuffers request = {};
        request.count = BUFFER_COUNT;
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_MMAP;
        if (v4l2_calls.ioctl(fd_, VIDIOC_REQBUFS, &request) != 0 || request.count == 0) return false;
        buffers_.assign(request.count, {});
        for (uint32_t k = 0; k < request.count; ++k) {
            v4l2_buffer buffer = query(k);
            if (v4l2_calls.ioctl(fd_, VIDIOC_QUERYBUF, &buffer) != 0) return fail();
            buffers_[k] = {v4l2_calls.mmap(buffer.length, fd_, buffer.m.offset), buffer.length};
            if (buffers_[k].start == MAP_FAILED || v4l2_calls.ioctl(fd_, VIDIOC_QBUF, &buffer) != 0)
                return fail();
        }
        v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (v4l2_calls.ioctl(fd_, VIDIOC_STREAMON, &type) != 0) return fail();
        streaming_ = true;
        return true;
    }

    int next_frame(std::vector<uint8_t>& frame, int timeout_ms) override {
        const int ready = v4l2_calls.poll(fd_, timeout_ms);
        if (ready <= 0) return ready;
        v4l2_buffer buffer = query(0);
        if (v4l2_calls.ioctl(fd_, VIDIOC_DQBUF, &buffer) != 0) return errno == EAGAIN ? 0 : -1;
        bool whole = false;
        if (buffer.index < buffers_.size() && (buffer.flags & V4L2_BUF_FLAG_ERROR) == 0) {
            const Buffer& mapped = buffers_[buffer.index];
            whole = arrange(static_cast<const uint8_t*>(mapped.start),
                            std::min<size_t>(buffer.bytesused, mapped.length), frame);
        }
        if (v4l2_calls.ioctl(fd_, VIDIOC_QBUF, &buffer) != 0) return -1;
        return whole ? 1 : 0;
    }

    void stop() override {
        v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (std::exchange(streaming_, false)) v4l2_calls.ioctl(fd_, VIDIOC_STREAMOFF, &type);
        if (buffers_.empty()) return;
        for (const Buffer& buffer : buffers_) {
            if (buffer.start != MAP_FAILED) v4l2_calls.munmap(buffer.start, buffer.length);
        }
        buffers_.clear();
        v4l2_requestbuffers request = {};
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_MMAP;
        v4l2_calls.ioctl(fd_, VIDIOC_REQBUFS, &request);
    }

  private:
    static v4l2_buffer query(uint32_t index) {
        v4l2_buffer buffer = {};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        buffer.index = index;
        return buffer;
    }

    bool fail() {
        stop();
        return false;
    }

    std::vector<VideoMode> sizes(uint32_t pixel_format);

    // The captured rows into the delivered layout. False for a short frame.
    bool arrange(const uint8_t* data, size_t bytes, std::vector<uint8_t>& frame) {
        const VideoMode current = mode();
        const size_t height = pix_.height;
        const size_t pixels = pix_.width * (current.compression == FOURCC_YUY2 ? 2 : 3);
        const size_t row = header_of(current).biSizeImage / std::max<size_t>(height, 1);
        const size_t stride = std::max<size_t>(pix_.bytesperline, pixels);
        if (height == 0 || bytes < stride * (height - 1) + pixels) return false;
        frame.assign(row * height, 0);
        for (size_t y = 0; y < height; ++y) {
            // RGB rows are stored bottom-up.
            const size_t to = current.compression == FOURCC_YUY2 ? y : height - 1 - y;
            std::memcpy(frame.data() + row * to, data + stride * y, pixels);
        }
        return true;
    }

    int fd_;
    v4l2_pix_format pix_ = {};
    std::vector<Buffer> buffers_;
    bool streaming_ = false;
};

// The sizes of a pixel format at RGB24: the discrete ones, or of a range the
// common sizes inside it and its largest.
std::vector<VideoMode> V4l2Camera::sizes(uint32_t pixel_format) {
    constexpr uint32_t COMMON[][2] = {{160, 120}, {320, 240},  {640, 480},
                                      {800, 600}, {1280, 720}, {1920, 1080}};
    std::vector<VideoMode> found;
    v4l2_frmsizeenum size = {};
    size.pixel_format = pixel_format;
    for (; v4l2_calls.ioctl(fd_, VIDIOC_ENUM_FRAMESIZES, &size) == 0; ++size.index) {
        if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
            found.push_back(rgb24_mode(size.discrete.width, size.discrete.height));
            continue;
        }
        const v4l2_frmsize_stepwise& range = size.stepwise;
        for (const auto& [w, h] : COMMON) {
            if (w >= range.min_width && w <= range.max_width && h >= range.min_height &&
                h <= range.max_height && (w - range.min_width) % std::max(range.step_width, 1u) == 0 &&
                (h - range.min_height) % std::max(range.step_height, 1u) == 0)
                found.push_back(rgb24_mode(w, h));
        }
        const VideoMode largest = rgb24_mode(range.max_width, range.max_height);
        if (std::find(found.begin(), found.end(), largest) == found.end()) found.push_back(largest);
        break;
    }
    return found;
}

// The camera at `path` as a driver, when it captures video by streaming.
std::optional<CameraDriver> probe(const std::string& path) {
    const int fd = v4l2_calls.open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    v4l2_capability capability = {};
    const int result = v4l2_calls.ioctl(fd, VIDIOC_QUERYCAP, &capability);
    v4l2_calls.close(fd);
    if (result != 0) return std::nullopt;
    const uint32_t caps = (capability.capabilities & V4L2_CAP_DEVICE_CAPS) != 0 ? capability.device_caps
                                                                                : capability.capabilities;
    if ((caps & V4L2_CAP_VIDEO_CAPTURE) == 0 || (caps & V4L2_CAP_STREAMING) == 0) return std::nullopt;
    const auto* card = reinterpret_cast<const char*>(capability.card);
    const uint32_t v = capability.version;
    return CameraDriver{
        std::string(card, strnlen(card, sizeof capability.card)),
        std::to_string((v >> 16) & 0xFF) + "." + std::to_string((v >> 8) & 0xFF) + "." +
            std::to_string(v & 0xFF),
        [path]() -> std::unique_ptr<Camera> {
            const int device = v4l2_calls.open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
            if (device < 0) return nullptr;
            auto camera = std::make_unique<V4l2Camera>(device);
            // The camera's own format when it is YUYV, else RGB24 at its size.
            v4l2_format format = {};
            format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            if (v4l2_calls.ioctl(device, VIDIOC_G_FMT, &format) != 0) return nullptr;
            const auto width = static_cast<LONG>(format.fmt.pix.width);
            const auto height = static_cast<LONG>(format.fmt.pix.height);
            const bool yuyv = format.fmt.pix.pixelformat == V4L2_PIX_FMT_YUYV;
            if (!camera->set_mode(yuyv ? yuy2_mode(width, height) : rgb24_mode(width, height)))
                return nullptr;
            return camera;
        }};
}

}  // namespace

V4l2Calls v4l2_calls = {call_open, v4l2_close, call_ioctl, call_mmap, v4l2_munmap, call_poll};

std::vector<CameraDriver> find_v4l2_cameras(size_t limit) {
    std::vector<CameraDriver> cameras;
    for (int n = 0; n < DRIVER_INDEXES && cameras.size() < limit; ++n) {
        if (auto camera = probe("/dev/video" + std::to_string(n))) cameras.push_back(std::move(*camera));
    }
    return cameras;
}

}  // namespace ostrel
