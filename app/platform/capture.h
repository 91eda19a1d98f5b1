// Behind the capture window: the list of camera drivers, and what the window
// system supplies (a preview surface and the video-format dialog).
#ifndef OSTREL_PLATFORM_CAPTURE_H
#define OSTREL_PLATFORM_CAPTURE_H

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/camera.h"

namespace ostrel {

// The virtual camera, when asked for, then the V4L2 cameras, looked for once.
std::vector<CameraDriver> camera_drivers();
// Replaces the list (tests); nullopt looks again.
void set_camera_drivers(std::optional<std::vector<CameraDriver>> drivers);

// A picture for the screen: RGB, top row first.
struct PreviewPicture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;
};
// A frame of `mode` as a picture; nullopt when the frame is too short.
std::optional<PreviewPicture> preview_of(const VideoMode& mode, const std::vector<uint8_t>& frame);

// From the window system. The surface is called on the capture thread and
// must not block; the dialog answers with one of `modes`, or nullopt.
using PreviewSurface = std::function<void(std::shared_ptr<const PreviewPicture>)>;
using PreviewSurfaceFactory =
    std::function<PreviewSurface(void* parent, int x, int y, int width, int height)>;
using FormatDialog = std::function<std::optional<VideoMode>(void* parent, const std::vector<VideoMode>& modes,
                                                            const VideoMode& current)>;
void set_window_system(PreviewSurfaceFactory surfaces, FormatDialog dialog);

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_CAPTURE_H
