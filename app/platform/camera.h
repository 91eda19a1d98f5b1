// A camera as the capture window sees it: frames in the one layout the
// frame callback reads, pulled one at a time.
//
// The layout: YUY2 rows top-down of (width + 1) & ~1 pixels, two bytes each;
// RGB24 rows bottom-up, blue first, of (width + 15) & ~15 pixels, three bytes
// each, the padding zero.
#ifndef OSTREL_PLATFORM_CAMERA_H
#define OSTREL_PLATFORM_CAMERA_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace ostrel {

// What a camera delivers: biCompression, biBitCount and the size.
struct VideoMode {
    DWORD compression = FOURCC_YUY2;
    WORD bit_count = 16;
    LONG width = 0;
    LONG height = 0;
    bool operator==(const VideoMode&) const = default;
};
constexpr VideoMode yuy2_mode(LONG width, LONG height) {
    return {FOURCC_YUY2, 16, width, height};
}
constexpr VideoMode rgb24_mode(LONG width, LONG height) {
    return {BI_RGB, 24, width, height};
}
// Bytes of one row of the layout above.
inline size_t row_bytes(const VideoMode& mode) {
    if (mode.compression == FOURCC_YUY2) return static_cast<size_t>((mode.width + 1) & ~1) * 2;
    if (mode.compression == BI_RGB && mode.bit_count == 24)
        return static_cast<size_t>((mode.width + 15) & ~15) * 3;
    return static_cast<size_t>(mode.width) * mode.bit_count / 8;
}
// The mode's format header; biSizeImage is the bytes of one frame.
inline BITMAPINFOHEADER header_of(const VideoMode& mode) {
    BITMAPINFOHEADER header = {};
    header.biSize = sizeof header;
    header.biWidth = mode.width;
    header.biHeight = mode.height;
    header.biPlanes = 1;
    header.biBitCount = mode.bit_count;
    header.biCompression = mode.compression;
    header.biSizeImage =
        static_cast<DWORD>(row_bytes(mode) * static_cast<size_t>(std::max<LONG>(mode.height, 0)));
    return header;
}

// A camera opened by its driver. The capture thread pulls its frames; the
// other calls come from the dialog's thread while no stream runs.
class Camera {
  public:
    virtual ~Camera() = default;
    virtual std::vector<VideoMode> modes() = 0;  // what the format dialog offers
    virtual VideoMode mode() = 0;
    virtual bool set_mode(const VideoMode& mode) = 0;
    virtual bool start(uint32_t frame_interval_us) = 0;
    // The next frame in `frame`: 1, or 0 when none came within `timeout_ms`,
    // or -1 when the camera has gone (unplugged) and will send no more.
    virtual int next_frame(std::vector<uint8_t>& frame, int timeout_ms) = 0;
    virtual void stop() = 0;
};

struct CameraDriver {
    std::string name;
    std::string version;
    std::function<std::unique_ptr<Camera>()> open;  // null when it cannot be opened now
};

// The cameras: the one OSTREL_VIRTUAL_CAMERA asks for (virtual_camera.cpp),
// and those among /dev/video0 to /dev/video9, at most `limit` (v4l2_camera.cpp).
std::optional<CameraDriver> virtual_camera_from_environment();
std::vector<CameraDriver> find_v4l2_cameras(size_t limit);

// The system calls of the V4L2 cameras: libv4l2's, unless a test scripts a
// device in their place.
struct V4l2Calls {
    int (*open)(const char* path, int flags);
    int (*close)(int fd);
    int (*ioctl)(int fd, unsigned long request, void* argument);  // -1 with errno, as ioctl(2)
    void* (*mmap)(size_t length, int fd, int64_t offset);         // MAP_FAILED on failure
    int (*munmap)(void* start, size_t length);
    int (*poll)(int fd, int timeout_ms);  // > 0: a frame is ready; < 0: the device failed
};
extern V4l2Calls v4l2_calls;

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_CAMERA_H
