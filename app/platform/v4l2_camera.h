// V4L2 cameras, /dev/video0 to /dev/video9, streaming through mmap buffers
// on a capture thread. Every system call goes through V4l2Io, so the
// driver's logic can be run against a scripted device.
#ifndef OSTREL_PLATFORM_V4L2_CAMERA_H
#define OSTREL_PLATFORM_V4L2_CAMERA_H

#include <linux/videodev2.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/capture_service.h"

namespace ostrel {

// The system calls the driver makes.
class V4l2Io {
  public:
    virtual ~V4l2Io() = default;
    virtual int open(const char* path, int flags) = 0;
    virtual int close(int fd) = 0;
    // Returns -1 with errno set on failure, as ioctl(2) does.
    virtual int ioctl(int fd, unsigned long request, void* argument) = 0;
    virtual void* mmap(size_t length, int fd, off_t offset) = 0;  // MAP_FAILED on failure
    virtual int munmap(void* address, size_t length) = 0;
    // Waits until `fd` has a frame or `wake_fd` is readable; poll(2)'s result
    // with the two revents.
    virtual int poll(int fd, short& revents, int wake_fd, short& wake_revents, int timeout_ms) = 0;
};

// The real system calls.
V4l2Io& system_v4l2_io();

// How a V4L2 pixel format is reported as a video format.
struct MappedFormat {
    DWORD compression;  // FOURCC_YUY2, BI_RGB, or the V4L2 FOURCC itself
    WORD bit_count;
    bool readable;  // delivered in a layout the frame callback reads
};
MappedFormat map_pixel_format(uint32_t pixel_format, uint32_t width, uint32_t bytes_per_line);

// The format header for a V4L2 format, with biSizeImage the bytes of one
// delivered frame.
BITMAPINFOHEADER header_for(const v4l2_pix_format& format);

// Rearranges one captured frame into the delivered layout: YUYV rows
// top-down without padding (width rounded up to even); BGR24 and RGB24 as
// blue-first rows, bottom-up, padded with zeros to a multiple of 16 pixels;
// other formats as captured. `out` is resized to header_for(format).biSizeImage.
// False when `bytes` is too short for the format.
bool convert_frame(const v4l2_pix_format& format, const uint8_t* data, size_t bytes,
                   std::vector<uint8_t>& out);

// Names "YUYV", "MJPG", ... for the format dialog.
std::string fourcc_name(uint32_t pixel_format);

class V4l2Camera final : public CaptureDriver {
  public:
    // A camera at `path` that answered VIDIOC_QUERYCAP as a streaming
    // capture device.
    V4l2Camera(V4l2Io& io, std::string path, std::string card, uint32_t version);
    std::string name() override { return card_; }
    std::string version() override;
    std::unique_ptr<CaptureDevice> open() override;

    // The camera at `path`, or null when there is none that captures video
    // by streaming.
    static std::shared_ptr<V4l2Camera> probe(V4l2Io& io, const std::string& path);

  private:
    V4l2Io& io_;
    std::string path_;
    std::string card_;
    uint32_t version_;
};

// The cameras among /dev/video0 to /dev/video9, at most `limit` of them.
std::vector<std::shared_ptr<CaptureDriver>> find_v4l2_cameras(V4l2Io& io, size_t limit);

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_V4L2_CAMERA_H
