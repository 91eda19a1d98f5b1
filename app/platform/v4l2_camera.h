// The system calls of the V4L2 cameras: libv4l2's, unless a test scripts a
// device in their place before the cameras are looked for.
#ifndef OSTREL_PLATFORM_V4L2_CAMERA_H
#define OSTREL_PLATFORM_V4L2_CAMERA_H

#include <cstddef>
#include <cstdint>

#include "platform/capture.h"

namespace ostrel {

struct V4l2Calls {
    int (*open)(const char* path, int flags);
    int (*close)(int fd);
    int (*ioctl)(int fd, unsigned long request, void* argument);  // -1 with errno, as ioctl(2)
    void* (*mmap)(size_t length, int fd, int64_t offset);         // MAP_FAILED on failure
    int (*munmap)(void* start, size_t length);
    // > 0 when a frame is ready, 0 after the timeout, < 0 when the device failed.
    int (*poll)(int fd, int timeout_ms);
};
extern V4l2Calls v4l2_calls;

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_V4L2_CAMERA_H
