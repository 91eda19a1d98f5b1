// Behind the capture window: cameras, their drivers, and what the window
// system supplies (a preview surface and the video-format dialog).
//
// A frame's layout: YUY2 rows top-down of (width + 1) & ~1 pixels, two bytes
// each; RGB24 rows bottom-up, blue first, of (width + 15) & ~15 pixels, three
// bytes each, the padding zero.
#ifndef OSTREL_PLATFORM_CAMERA_H
#define OSTREL_PLATFORM_CAMERA_H

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
size_t row_bytes(const VideoMode& mode);
BITMAPINFOHEADER header_of(const VideoMode& mode);  // biSizeImage: the bytes of one frame

// A camera opened by its driver. The capture thread pulls its frames; the
// other calls come from the dialog's thread while no stream runs.
class Camera {
  public:
    virtual ~Camera() = default;
    virtual std::vector<VideoMode> modes() = 0;  // what the format dialog offers
    virtual VideoMode mode() = 0;
    virtual bool set_mode(const VideoMode& mode) = 0;
    virtual bool start(uint32_t frame_interval_us) = 0;
    // 1 with the next frame, 0 when none came within `timeout_ms`, or -1
    // when the camera has gone (unplugged) and will send no more.
    virtual int next_frame(std::vector<uint8_t>& frame, int timeout_ms) = 0;
    virtual void stop() = 0;
};

struct CameraDriver {
    std::string name;
    std::string version;
    std::function<std::unique_ptr<Camera>()> open;  // null when it cannot be opened now
};

// The virtual camera when OSTREL_VIRTUAL_CAMERA asks for it, then the V4L2
// cameras among /dev/video0 to /dev/video9; looked for once.
std::vector<CameraDriver> camera_drivers();
void set_camera_drivers(std::optional<std::vector<CameraDriver>> drivers);  // nullopt looks again
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

// A picture for the screen: RGB, top row first.
struct PreviewPicture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;
};
// Nullopt when the frame is too short for its mode.
std::optional<PreviewPicture> preview_of(const VideoMode& mode, const std::vector<uint8_t>& frame);

// From the window system. The surface is called on the capture thread and
// must not block; the dialog answers with one of `modes`, or nullopt.
using PreviewSurface = std::function<void(std::shared_ptr<const PreviewPicture>)>;
using PreviewSurfaceFactory = std::function<PreviewSurface(void* parent, int x, int y, int w, int h)>;
using FormatDialog =
    std::function<std::optional<VideoMode>(void* parent, const std::vector<VideoMode>& modes, VideoMode now)>;
void set_window_system(PreviewSurfaceFactory surfaces, FormatDialog dialog);

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_CAMERA_H
