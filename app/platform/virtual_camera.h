// The built-in virtual camera: plays image files as camera frames, ten a
// second, cycling, with slight noise so that no two frames are equal. It
// exists for machines without a camera and for the application's own tests.
#ifndef OSTREL_PLATFORM_VIRTUAL_CAMERA_H
#define OSTREL_PLATFORM_VIRTUAL_CAMERA_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/capture_service.h"

namespace ostrel {

// An RGB picture, top row first.
struct RgbPicture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;
};

// The virtual camera's pixel formats, in the order its format dialog lists
// them. RGB32 is offered although the application cannot read it, so that
// its refusal can be seen.
enum class VirtualFormat : uint32_t { yuy2 = 0, rgb24 = 1, rgb32 = 2 };

std::vector<FormatOption> virtual_format_options();
BITMAPINFOHEADER virtual_frame_format(VirtualFormat format, FrameSize size);

// The picture scaled to fit `size`, centred on grey, its aspect kept.
RgbPicture fit_picture(const RgbPicture& picture, FrameSize size);
// One frame of a fitted picture in the format's layout (YUY2 rows top-down;
// RGB rows bottom-up, blue first, RGB24 rows padded to a multiple of 16
// pixels), every sample moved by up to `noise` levels from the xorshift
// generator `state`.
std::vector<uint8_t> make_virtual_frame(const RgbPicture& fitted, VirtualFormat format, int noise,
                                        uint32_t& state);

// Loads an image file, or every image file of a folder in name order.
// Empty, with `error` set, when nothing could be loaded.
std::vector<RgbPicture> load_pictures(const std::string& path, std::string& error);

// Whether a virtual camera is still plugged in; shared with its devices.
struct VirtualPlug;

class VirtualCamera final : public CaptureDriver {
  public:
    VirtualCamera(std::vector<RgbPicture> pictures, VirtualFormat format, FrameSize size);
    std::string name() override { return "Ostrel virtual camera"; }
    std::string version() override { return "1.0"; }
    // Null once the camera has been unplugged.
    std::unique_ptr<CaptureDevice> open() override;

    // Pulls the camera out, as a USB camera unplugged mid-stream, for the
    // tests of a camera that vanishes: a running stream ends by itself on
    // its capture thread, delivering nothing more, and the devices opened
    // from the camera keep their last format but offer no formats and
    // neither change format nor start again. Safe from any thread, the
    // capture thread's frame callback included. There is no plugging back.
    void unplug();

  private:
    std::shared_ptr<const std::vector<RgbPicture>> pictures_;
    VirtualFormat format_;
    FrameSize size_;
    std::shared_ptr<VirtualPlug> plug_;
};

// The virtual camera that OSTREL_VIRTUAL_CAMERA asks for, or null (with a
// line on standard error when the images cannot be loaded).
// OSTREL_VIRTUAL_CAMERA_FORMAT, e.g. "RGB24" or "YUY2 320x240", sets the
// format it starts in.
std::shared_ptr<CaptureDriver> virtual_camera_from_environment();

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_VIRTUAL_CAMERA_H
