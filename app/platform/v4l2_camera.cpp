// V4L2 cameras.
#include "platform/v4l2_camera.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

namespace ostrel {

namespace {

class SystemIo final : public V4l2Io {
  public:
    int open(const char* path, int flags) override { return ::open(path, flags); }
    int close(int fd) override { return ::close(fd); }
    int ioctl(int fd, unsigned long request, void* argument) override {
        int result;
        do result = ::ioctl(fd, request, argument);
        while (result == -1 && errno == EINTR);
        return result;
    }
    void* mmap(size_t length, int fd, off_t offset) override {
        return ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset);
    }
    int munmap(void* address, size_t length) override { return ::munmap(address, length); }
    int poll(int fd, short& revents, int wake_fd, short& wake_revents, int timeout_ms) override {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
        const int result = ::poll(fds, 2, timeout_ms);
        revents = fds[0].revents;
        wake_revents = fds[1].revents;
        return result;
    }
};

constexpr uint32_t BUFFER_COUNT = 4;
constexpr FrameSize COMMON_SIZES[] = {{160, 120}, {320, 240},  {640, 480},
                                      {800, 600}, {1280, 720}, {1920, 1080}};

uint32_t rounded_width(uint32_t pixel_format, uint32_t width) {
    if (pixel_format == V4L2_PIX_FMT_YUYV) return (width + 1) & ~1u;
    return (width + 15) & ~15u;
}

bool is_rgb(uint32_t pixel_format) {
    return pixel_format == V4L2_PIX_FMT_BGR24 || pixel_format == V4L2_PIX_FMT_RGB24;
}

struct Buffer {
    void* start = MAP_FAILED;
    size_t length = 0;
};

class V4l2Device final : public CaptureDevice {
  public:
    V4l2Device(V4l2Io& io, int fd, const v4l2_pix_format& format) : io_(io), fd_(fd), format_(format) {}
    ~V4l2Device() override {
        stop();
        io_.close(fd_);
    }

    BITMAPINFOHEADER format() override { return header_for(format_); }

    std::vector<FormatOption> format_options() override {
        std::vector<FormatOption> options;
        for (uint32_t index = 0;; ++index) {
            v4l2_fmtdesc description = {};
            description.index = index;
            description.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            if (io_.ioctl(fd_, VIDIOC_ENUM_FMT, &description) != 0) break;
            FormatOption option;
            option.code = description.pixelformat;
            option.name = fourcc_name(description.pixelformat) + " " +
                          std::string(reinterpret_cast<const char*>(description.description),
                                      strnlen(reinterpret_cast<const char*>(description.description),
                                              sizeof description.description));
            option.sizes = frame_sizes(description.pixelformat);
            options.push_back(std::move(option));
        }
        return options;
    }

    FormatChoice current_choice() override {
        const std::vector<FormatOption> options = format_options();
        FormatChoice choice;
        for (size_t k = 0; k < options.size(); ++k) {
            if (options[k].code == format_.pixelformat) choice.option = k;
        }
        choice.size = {static_cast<LONG>(format_.width), static_cast<LONG>(format_.height)};
        return choice;
    }

    bool set_format(const FormatOption& option, FrameSize size) override {
        v4l2_format format = {};
        format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        format.fmt.pix.width = static_cast<uint32_t>(size.width);
        format.fmt.pix.height = static_cast<uint32_t>(size.height);
        format.fmt.pix.pixelformat = option.code;
        format.fmt.pix.field = V4L2_FIELD_ANY;
        if (io_.ioctl(fd_, VIDIOC_S_FMT, &format) != 0) return false;
        // The driver may have adjusted the request.
        format_ = format.fmt.pix;
        return true;
    }

    void set_frame_interval(uint32_t microseconds) override { interval_us_ = microseconds; }

    bool start(FrameSink sink) override {
        stop();
        if (interval_us_ != 0) {
            // Cameras without frame-rate control refuse this; they keep
            // their own rate.
            v4l2_streamparm parm = {};
            parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            parm.parm.capture.timeperframe = {interval_us_, 1000000};
            io_.ioctl(fd_, VIDIOC_S_PARM, &parm);
        }
        v4l2_requestbuffers request = {};
        request.count = BUFFER_COUNT;
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_MMAP;
        if (io_.ioctl(fd_, VIDIOC_REQBUFS, &request) != 0 || request.count == 0) return false;
        buffers_.assign(request.count, {});
        for (uint32_t k = 0; k < request.count; ++k) {
            v4l2_buffer buffer = {};
            buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buffer.memory = V4L2_MEMORY_MMAP;
            buffer.index = k;
            if (io_.ioctl(fd_, VIDIOC_QUERYBUF, &buffer) != 0) return fail_start();
            buffers_[k].start = io_.mmap(buffer.length, fd_, buffer.m.offset);
            if (buffers_[k].start == MAP_FAILED) return fail_start();
            buffers_[k].length = buffer.length;
            if (io_.ioctl(fd_, VIDIOC_QBUF, &buffer) != 0) return fail_start();
        }
        v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (io_.ioctl(fd_, VIDIOC_STREAMON, &type) != 0) return fail_start();
        wake_fd_ = eventfd(0, EFD_CLOEXEC);
        if (wake_fd_ < 0) return fail_start();
        streaming_ = true;
        thread_ = std::thread([this, sink = std::move(sink)] { run(sink); });
        return true;
    }

    void stop() override {
        if (thread_.joinable()) {
            const uint64_t one = 1;
            [[maybe_unused]] ssize_t written = ::write(wake_fd_, &one, sizeof one);
            if (thread_.get_id() == std::this_thread::get_id()) {
                thread_.detach();
            } else {
                thread_.join();
            }
        }
        release_buffers();
    }

  private:
    std::vector<FrameSize> frame_sizes(uint32_t pixel_format) {
        std::vector<FrameSize> sizes;
        for (uint32_t index = 0;; ++index) {
            v4l2_frmsizeenum size = {};
            size.index = index;
            size.pixel_format = pixel_format;
            if (io_.ioctl(fd_, VIDIOC_ENUM_FRAMESIZES, &size) != 0) break;
            if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
                sizes.push_back(
                    {static_cast<LONG>(size.discrete.width), static_cast<LONG>(size.discrete.height)});
                continue;
            }
            // A range: the common sizes inside it, and its largest.
            const v4l2_frmsize_stepwise& range = size.stepwise;
            const uint32_t step_width = std::max(range.step_width, 1u);
            const uint32_t step_height = std::max(range.step_height, 1u);
            for (FrameSize common : COMMON_SIZES) {
                const auto w = static_cast<uint32_t>(common.width);
                const auto h = static_cast<uint32_t>(common.height);
                if (w >= range.min_width && w <= range.max_width && h >= range.min_height &&
                    h <= range.max_height && (w - range.min_width) % step_width == 0 &&
                    (h - range.min_height) % step_height == 0) {
                    sizes.push_back(common);
                }
            }
            const FrameSize largest = {static_cast<LONG>(range.max_width),
                                       static_cast<LONG>(range.max_height)};
            if (std::find(sizes.begin(), sizes.end(), largest) == sizes.end()) sizes.push_back(largest);
            break;
        }
        if (sizes.empty())
            sizes.push_back({static_cast<LONG>(format_.width), static_cast<LONG>(format_.height)});
        return sizes;
    }

    bool fail_start() {
        release_buffers();
        return false;
    }

    void release_buffers() {
        if (streaming_) {
            v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            io_.ioctl(fd_, VIDIOC_STREAMOFF, &type);
            streaming_ = false;
        }
        if (buffers_.empty()) return;
        for (Buffer& buffer : buffers_) {
            if (buffer.start != MAP_FAILED) io_.munmap(buffer.start, buffer.length);
        }
        buffers_.clear();
        v4l2_requestbuffers request = {};
        request.count = 0;
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_MMAP;
        io_.ioctl(fd_, VIDIOC_REQBUFS, &request);
        if (wake_fd_ >= 0) ::close(wake_fd_);
        wake_fd_ = -1;
    }

    // Runs until stop() wakes it or the device goes away (unplugged: poll
    // reports an error, or a buffer cannot be taken or given back); either
    // way the thread simply ends, and stop() later releases what is left.
    void run(const FrameSink& sink) {
        std::vector<uint8_t> frame;
        for (;;) {
            short revents = 0;
            short wake_revents = 0;
            const int ready = io_.poll(fd_, revents, wake_fd_, wake_revents, 1000);
            if (wake_revents != 0) return;
            if (ready < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (ready == 0) continue;
            if ((revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return;
            if ((revents & POLLIN) == 0) continue;
            v4l2_buffer buffer = {};
            buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buffer.memory = V4L2_MEMORY_MMAP;
            if (io_.ioctl(fd_, VIDIOC_DQBUF, &buffer) != 0) {
                if (errno == EAGAIN) continue;
                return;
            }
            if (buffer.index < buffers_.size() && (buffer.flags & V4L2_BUF_FLAG_ERROR) == 0) {
                const Buffer& mapped = buffers_[buffer.index];
                const size_t used = std::min<size_t>(buffer.bytesused, mapped.length);
                if (convert_frame(format_, static_cast<const uint8_t*>(mapped.start), used, frame)) {
                    sink(frame.data(), frame.size());
                }
            }
            if (io_.ioctl(fd_, VIDIOC_QBUF, &buffer) != 0) return;
        }
    }

    V4l2Io& io_;
    int fd_;
    v4l2_pix_format format_;
    uint32_t interval_us_ = 0;
    std::vector<Buffer> buffers_;
    bool streaming_ = false;
    int wake_fd_ = -1;
    std::thread thread_;
};

}  // namespace

V4l2Io& system_v4l2_io() {
    static SystemIo io;
    return io;
}

MappedFormat map_pixel_format(uint32_t pixel_format, uint32_t width, uint32_t bytes_per_line) {
    switch (pixel_format) {
        case V4L2_PIX_FMT_YUYV:
            return {FOURCC_YUY2, 16, true};
        case V4L2_PIX_FMT_BGR24:
        case V4L2_PIX_FMT_RGB24:
            return {BI_RGB, 24, true};
        case V4L2_PIX_FMT_GREY:
            return {pixel_format, 8, false};
        case V4L2_PIX_FMT_NV12:
        case V4L2_PIX_FMT_NV21:
        case V4L2_PIX_FMT_YUV420:
        case V4L2_PIX_FMT_YVU420:
            return {pixel_format, 12, false};
        case V4L2_PIX_FMT_UYVY:
        case V4L2_PIX_FMT_YVYU:
        case V4L2_PIX_FMT_RGB565:
            return {pixel_format, 16, false};
        case V4L2_PIX_FMT_RGB32:
        case V4L2_PIX_FMT_BGR32:
        case V4L2_PIX_FMT_XBGR32:
        case V4L2_PIX_FMT_ABGR32:
            return {pixel_format, 32, false};
        case V4L2_PIX_FMT_MJPEG:
        case V4L2_PIX_FMT_JPEG:
        case V4L2_PIX_FMT_H264:
            // Compressed video decodes to 24-bit pictures.
            return {pixel_format, 24, false};
        default: {
            const uint32_t bits = width != 0 ? bytes_per_line * 8 / width : 0;
            return {pixel_format, static_cast<WORD>(std::min<uint32_t>(bits, 0xFFFF)), false};
        }
    }
}

BITMAPINFOHEADER header_for(const v4l2_pix_format& format) {
    const MappedFormat mapped = map_pixel_format(format.pixelformat, format.width, format.bytesperline);
    BITMAPINFOHEADER header = {};
    header.biSize = sizeof header;
    header.biWidth = static_cast<LONG>(format.width);
    header.biHeight = static_cast<LONG>(format.height);
    header.biPlanes = 1;
    header.biBitCount = mapped.bit_count;
    header.biCompression = mapped.compression;
    header.biSizeImage = mapped.readable ? rounded_width(format.pixelformat, format.width) * format.height *
                                               mapped.bit_count / 8
                                         : format.sizeimage;
    return header;
}

bool convert_frame(const v4l2_pix_format& format, const uint8_t* data, size_t bytes,
                   std::vector<uint8_t>& out) {
    const size_t width = format.width;
    const size_t height = format.height;
    if (format.pixelformat == V4L2_PIX_FMT_YUYV) {
        const size_t row_bytes = rounded_width(format.pixelformat, format.width) * 2;
        const size_t stride = std::max<size_t>(format.bytesperline, width * 2);
        const size_t copied = std::min(row_bytes, stride);
        if (height == 0 || bytes < stride * (height - 1) + copied) return false;
        out.assign(row_bytes * height, 0);
        for (size_t y = 0; y < height; ++y)
            std::memcpy(out.data() + row_bytes * y, data + stride * y, copied);
        return true;
    }
    if (is_rgb(format.pixelformat)) {
        const size_t row_bytes = rounded_width(format.pixelformat, format.width) * 3;
        const size_t stride = std::max<size_t>(format.bytesperline, width * 3);
        if (height == 0 || bytes < stride * (height - 1) + width * 3) return false;
        out.assign(row_bytes * height, 0);
        const bool swap = format.pixelformat == V4L2_PIX_FMT_RGB24;
        for (size_t y = 0; y < height; ++y) {
            const uint8_t* source = data + stride * y;
            uint8_t* target = out.data() + row_bytes * (height - 1 - y);
            if (!swap) {
                std::memcpy(target, source, width * 3);
                continue;
            }
            for (size_t x = 0; x < width; ++x, source += 3, target += 3) {
                target[0] = source[2];
                target[1] = source[1];
                target[2] = source[0];
            }
        }
        return true;
    }
    out.assign(data, data + bytes);
    return true;
}

std::string fourcc_name(uint32_t pixel_format) {
    std::string name;
    for (int shift = 0; shift < 32; shift += 8) {
        const char c = static_cast<char>((pixel_format >> shift) & 0xFF);
        if (c != ' ' && c != '\0') name += c;
    }
    return name;
}

V4l2Camera::V4l2Camera(V4l2Io& io, std::string path, std::string card, uint32_t version)
    : io_(io), path_(std::move(path)), card_(std::move(card)), version_(version) {}

std::string V4l2Camera::version() {
    return std::to_string((version_ >> 16) & 0xFF) + "." + std::to_string((version_ >> 8) & 0xFF) + "." +
           std::to_string(version_ & 0xFF);
}

std::unique_ptr<CaptureDevice> V4l2Camera::open() {
    const int fd = io_.open(path_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    v4l2_format format = {};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (io_.ioctl(fd, VIDIOC_G_FMT, &format) != 0) {
        io_.close(fd);
        return nullptr;
    }
    return std::make_unique<V4l2Device>(io_, fd, format.fmt.pix);
}

std::shared_ptr<V4l2Camera> V4l2Camera::probe(V4l2Io& io, const std::string& path) {
    const int fd = io.open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    v4l2_capability capability = {};
    const int result = io.ioctl(fd, VIDIOC_QUERYCAP, &capability);
    io.close(fd);
    if (result != 0) return nullptr;
    const uint32_t caps = (capability.capabilities & V4L2_CAP_DEVICE_CAPS) != 0 ? capability.device_caps
                                                                                : capability.capabilities;
    if ((caps & V4L2_CAP_VIDEO_CAPTURE) == 0 || (caps & V4L2_CAP_STREAMING) == 0) return nullptr;
    const auto* card = reinterpret_cast<const char*>(capability.card);
    return std::make_shared<V4l2Camera>(io, path, std::string(card, strnlen(card, sizeof capability.card)),
                                        capability.version);
}

std::vector<std::shared_ptr<CaptureDriver>> find_v4l2_cameras(V4l2Io& io, size_t limit) {
    std::vector<std::shared_ptr<CaptureDriver>> cameras;
    for (int n = 0; n < 10 && cameras.size() < limit; ++n) {
        if (auto camera = V4l2Camera::probe(io, "/dev/video" + std::to_string(n))) cameras.push_back(camera);
    }
    return cameras;
}

}  // namespace ostrel
