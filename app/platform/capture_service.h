// The video capture service behind capCreateCaptureWindowA: capture drivers
// (cameras), the capture window that answers the WM_CAP_* messages, and the
// two things it needs from the dialog layer, a surface to paint the preview
// on and the drivers' video-format dialog.
//
// Threads: messages arrive on the dialog's thread (the frame callback's own
// WM_CAP_GET_VIDEOFORMAT on the capture thread); a connected device delivers
// frames on a capture thread of its own, which calls the frame callback and
// hands preview pictures to the surface.
#ifndef OSTREL_PLATFORM_CAPTURE_SERVICE_H
#define OSTREL_PLATFORM_CAPTURE_SERVICE_H

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/capture.h"

namespace ostrel {

// A frame size in pixels.
struct FrameSize {
    LONG width = 0;
    LONG height = 0;
    bool operator==(const FrameSize&) const = default;
};

// One pixel format a device offers, with its frame sizes.
struct FormatOption {
    std::string name;   // as the format dialog lists it
    uint32_t code = 0;  // the driver's own identifier of the format
    std::vector<FrameSize> sizes;
};

// What the format dialog returns: an index into the options and one of the
// option's sizes.
struct FormatChoice {
    size_t option = 0;
    FrameSize size;
};

// Frame bytes in the layout the current format describes, valid during the
// call only.
using FrameSink = std::function<void(const uint8_t* data, size_t bytes)>;

// A camera opened by its driver.
class CaptureDevice {
  public:
    virtual ~CaptureDevice() = default;
    // The current format: biWidth, biHeight, biBitCount, biCompression and
    // biSizeImage (the bytes of one delivered frame).
    virtual BITMAPINFOHEADER format() = 0;
    virtual std::vector<FormatOption> format_options() = 0;
    // The option and size now in use, to preselect in the dialog.
    virtual FormatChoice current_choice() = 0;
    // Only while not streaming. False when the device refused.
    virtual bool set_format(const FormatOption& option, FrameSize size) = 0;
    // The frame interval asked for; the device comes as close as it can.
    virtual void set_frame_interval(uint32_t microseconds) = 0;
    // Starts delivering frames to `sink` on a capture thread. A device that
    // vanishes ends its stream by itself.
    virtual bool start(FrameSink sink) = 0;
    // Ends the stream; once it returns, the sink is not called any more.
    virtual void stop() = 0;
};

class CaptureDriver {
  public:
    virtual ~CaptureDriver() = default;
    virtual std::string name() = 0;
    virtual std::string version() = 0;
    // Null when the device cannot be opened now.
    virtual std::unique_ptr<CaptureDevice> open() = 0;
};

// The drivers at indexes 0 to 9: the virtual camera when OSTREL_VIRTUAL_CAMERA
// is set, then the V4L2 cameras found, looked for once.
std::vector<std::shared_ptr<CaptureDriver>> installed_drivers();
// Replaces the driver list (tests); an empty optional looks again.
void set_installed_drivers(std::optional<std::vector<std::shared_ptr<CaptureDriver>>> drivers);

// A picture for the preview: RGB bytes, top row first, no row gaps.
struct PreviewImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;
};

// Converts a frame of `format` into a preview picture; nullopt for a format
// that cannot be shown (compressed video) or a frame too short for it.
std::optional<PreviewImage> preview_from_frame(const BITMAPINFOHEADER& format, const uint8_t* data,
                                               size_t bytes);

// Where a capture window paints. present() is called on the capture thread
// and must not block; the surface paints the newest picture scaled to fit.
class PreviewSurface {
  public:
    virtual ~PreviewSurface() = default;
    virtual void present(std::shared_ptr<const PreviewImage> image) = 0;
};

// Supplied by the dialog layer; without them a capture window has no
// preview on screen and its format dialog is cancelled.
using PreviewSurfaceFactory =
    std::function<std::unique_ptr<PreviewSurface>(void* parent, int x, int y, int width, int height)>;
using FormatDialog = std::function<std::optional<FormatChoice>(
    void* parent, const std::vector<FormatOption>& options, const FormatChoice& current)>;
void set_preview_surface_factory(PreviewSurfaceFactory factory);
void set_format_dialog(FormatDialog dialog);

// The capture window: a connected device, the frame callback, the preview
// state and the capture parameters.
class CaptureServiceWindow final : public CaptureWindow {
  public:
    CaptureServiceWindow(std::unique_ptr<PreviewSurface> surface, void* parent);
    ~CaptureServiceWindow() override;
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

  private:
    LRESULT connect(WPARAM index);
    LRESULT disconnect();
    LRESULT format_dialog();
    LRESULT get_format(WPARAM size, LPARAM buffer);
    void deliver(const uint8_t* data, size_t bytes);

    std::unique_ptr<PreviewSurface> surface_;
    void* parent_;

    // Held while a frame is delivered, so that a callback removed, or a
    // device disconnected, cannot be called afterwards.
    std::mutex delivery_mutex_;
    CAPVIDEOCALLBACK callback_ = nullptr;
    bool preview_ = false;
    UINT preview_rate_ms_ = 15;
    int64_t last_preview_ms_ = -1;
    int64_t stream_start_ms_ = 0;

    void start_stream();
    void stop_stream();

    // Used on the dialog's thread only.
    std::unique_ptr<CaptureDevice> device_;
    CAPTUREPARMS parms_;

    // The format of the frames delivered, also read on the capture thread
    // (by the frame callback's WM_CAP_GET_VIDEOFORMAT); none while no
    // device is connected.
    std::mutex format_mutex_;
    std::optional<BITMAPINFOHEADER> format_;
};

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_CAPTURE_SERVICE_H
