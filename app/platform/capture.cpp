// The capture window: one connected camera, the capture thread that pulls
// its frames, the frame callback, the preview and the capture parameters.
//
// Messages come from the dialog's thread, and WM_CAP_GET_VIDEOFORMAT also
// from the frame callback on the capture thread. A handle is the window's
// address, valid while it is in the live set; DestroyWindow takes it out
// first and joins the capture thread before freeing, so that a callback
// under way finishes against a window that still exists.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "platform/camera.h"

namespace ostrel {

namespace {

// ITU-R BT.601 studio range, as cameras deliver YUY2.
void yuv_to_rgb(int y, int u, int v, uint8_t* rgb) {
    const int c = 298 * (y - 16) + 128;
    const int values[3] = {c + 409 * (v - 128), c - 100 * (u - 128) - 208 * (v - 128), c + 516 * (u - 128)};
    for (int k = 0; k < 3; ++k) rgb[k] = static_cast<uint8_t>(std::clamp(values[k] >> 8, 0, 255));
}

std::mutex hooks_mutex;
PreviewSurfaceFactory surface_factory;
FormatDialog format_dialog;
std::optional<std::vector<CameraDriver>> drivers;

template <class T>
T hook(const T& installed) {
    std::lock_guard lock(hooks_mutex);
    return installed;
}

class CaptureWindow {
  public:
    CaptureWindow(PreviewSurface surface, void* parent) : surface_(std::move(surface)), parent_(parent) {}
    ~CaptureWindow() { disconnect(); }

    LRESULT message(UINT message, WPARAM wParam, LPARAM lParam) {
        std::unique_lock delivery(delivery_mutex_, std::defer_lock);
        switch (message) {
            case WM_CAP_SET_CALLBACK_FRAME:
                delivery.lock();
                callback_ = reinterpret_cast<CAPVIDEOCALLBACK>(lParam);
                return 1;
            case WM_CAP_DRIVER_CONNECT:
                return connect(wParam);
            case WM_CAP_DRIVER_DISCONNECT:
                return disconnect();
            case WM_CAP_DLG_VIDEOFORMAT:
                return choose_format();
            case WM_CAP_GET_VIDEOFORMAT:
                return get_format(wParam, lParam);
            case WM_CAP_SET_PREVIEW:
                delivery.lock();
                preview_ = wParam != 0;
                return 1;
            case WM_CAP_SET_PREVIEWRATE:
                delivery.lock();
                preview_rate_ms_ = static_cast<int64_t>(wParam);
                return 1;
            case WM_CAP_GET_SEQUENCE_SETUP:
                if (lParam == 0) return 0;
                std::memcpy(reinterpret_cast<void*>(lParam), &parms_,
                            std::min<size_t>(wParam, sizeof parms_));
                return 1;
            case WM_CAP_SET_SEQUENCE_SETUP: {
                if (lParam == 0 || wParam < sizeof parms_) return 0;
                const DWORD interval = std::exchange(parms_, *reinterpret_cast<const CAPTUREPARMS*>(lParam))
                                           .dwRequestMicroSecPerFrame;
                // The frame rate is chosen when a stream starts.
                if (camera_ && parms_.dwRequestMicroSecPerFrame != interval) restart();
                return 1;
            }
            default:
                return 0;  // WM_CAP_SET_OVERLAY included: no camera here has an overlay
        }
    }

  private:
    LRESULT connect(WPARAM index) {
        if (camera_ != nullptr) return 1;
        const std::vector<CameraDriver> installed = camera_drivers();
        if (index >= installed.size() || !installed[index].open) return 0;
        camera_ = installed[index].open();
        if (camera_ == nullptr) return 0;
        start_stream();
        return 1;
    }

    LRESULT disconnect() {
        if (camera_ == nullptr) return 0;
        stop_stream();
        camera_.reset();
        return 1;
    }

    LRESULT choose_format() {
        const FormatDialog dialog = hook(format_dialog);
        if (camera_ == nullptr || !dialog) return 0;
        if (const std::optional<VideoMode> choice = dialog(parent_, camera_->modes(), camera_->mode())) {
            stop_stream();
            camera_->set_mode(*choice);
            start_stream();
        }
        return 1;
    }

    // The camera's mode changes only while no stream runs, so the capture
    // thread may read it here without a lock.
    LRESULT get_format(WPARAM size, LPARAM buffer) {
        if (camera_ == nullptr || (buffer == 0 && size != 0)) return 0;
        if (buffer == 0) return sizeof(BITMAPINFOHEADER);
        const BITMAPINFOHEADER header = header_of(camera_->mode());
        const size_t written = std::min<size_t>(size, sizeof header);
        std::memcpy(reinterpret_cast<void*>(buffer), &header, written);
        return static_cast<LRESULT>(written);
    }

    void start_stream() {
        if (!camera_->start(parms_.dwRequestMicroSecPerFrame)) return;
        stopping_ = false;
        thread_ = std::thread([this] {
            std::vector<uint8_t> frame;
            // Ends when stopped, or by itself when the camera goes away.
            for (int got = 0; !stopping_ && got >= 0;) {
                got = camera_->next_frame(frame, 100);
                if (got > 0) deliver(frame);
            }
        });
    }

    // No lock held: the thread being joined may be asking for the format
    // inside the frame callback.
    void stop_stream() {
        if (thread_.joinable()) {
            stopping_ = true;
            thread_.join();
        }
        camera_->stop();
    }

    void restart() {
        stop_stream();
        start_stream();
    }

    void deliver(const std::vector<uint8_t>& frame) {
        using namespace std::chrono;
        const int64_t now = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
        {
            std::lock_guard lock(delivery_mutex_);
            if (!preview_) return;
            if (callback_ != nullptr) {
                VIDEOHDR header = {};
                header.lpData = const_cast<BYTE*>(frame.data());
                header.dwBufferLength = header.dwBytesUsed = static_cast<DWORD>(frame.size());
                callback_(reinterpret_cast<HWND>(this), &header);
            }
            if (!surface_ || now - last_preview_ms_ < preview_rate_ms_) return;
            last_preview_ms_ = now;
        }
        // Converted with no lock held: the dialog's thread need not wait for it.
        if (std::optional<PreviewPicture> picture = preview_of(camera_->mode(), frame))
            surface_(std::make_shared<const PreviewPicture>(std::move(*picture)));
    }

    PreviewSurface surface_;
    void* parent_;
    CAPTUREPARMS parms_ = {66667, 0, 10, {}};  // a driver's own: 15 frames a second
    std::unique_ptr<Camera> camera_;           // the capture thread's while it runs
    std::thread thread_;
    std::atomic<bool> stopping_ = false;

    // Held while a frame is delivered, so that a callback removed cannot be
    // called afterwards.
    std::mutex delivery_mutex_;
    CAPVIDEOCALLBACK callback_ = nullptr;
    bool preview_ = false;
    int64_t preview_rate_ms_ = 15;
    int64_t last_preview_ms_ = INT64_MIN / 2;
};

std::mutex windows_mutex;
std::set<HWND> windows;

CaptureWindow* live_window(HWND handle) {
    std::lock_guard lock(windows_mutex);
    return windows.count(handle) != 0 ? reinterpret_cast<CaptureWindow*>(handle) : nullptr;
}

}  // namespace

size_t row_bytes(const VideoMode& mode) {
    if (mode.compression == FOURCC_YUY2) return static_cast<size_t>((mode.width + 1) & ~1) * 2;
    if (mode.compression == BI_RGB && mode.bit_count == 24)
        return static_cast<size_t>((mode.width + 15) & ~15) * 3;
    return static_cast<size_t>(mode.width) * mode.bit_count / 8;
}

BITMAPINFOHEADER header_of(const VideoMode& mode) {
    const auto frame_bytes = row_bytes(mode) * static_cast<size_t>(std::max<LONG>(mode.height, 0));
    return {sizeof(BITMAPINFOHEADER),
            mode.width,
            mode.height,
            1,
            mode.bit_count,
            mode.compression,
            static_cast<DWORD>(frame_bytes),
            0,
            0,
            0,
            0};
}

std::optional<PreviewPicture> preview_of(const VideoMode& mode, const std::vector<uint8_t>& frame) {
    const int width = mode.width;
    const int height = mode.height;
    const bool yuy2 = mode.compression == FOURCC_YUY2 && mode.bit_count == 16;
    const size_t stride = row_bytes(mode);
    if ((!yuy2 && mode != rgb24_mode(width, height)) || width <= 0 || height <= 0 || width > 16384 ||
        height > 16384 || frame.size() < stride * height)
        return std::nullopt;
    PreviewPicture picture{width, height, std::vector<uint8_t>(static_cast<size_t>(width) * height * 3)};
    uint8_t* out = picture.rgb.data();
    for (int y = 0; y < height; ++y, out += width * 3) {
        const uint8_t* row = frame.data() + stride * (yuy2 ? y : height - 1 - y);
        for (int x = 0; x < width; ++x) {
            if (yuy2) yuv_to_rgb(row[x * 2], row[(x & ~1) * 2 + 1], row[(x & ~1) * 2 + 3], out + x * 3);
            if (!yuy2) std::reverse_copy(row + x * 3, row + x * 3 + 3, out + x * 3);
        }
    }
    return picture;
}

void set_window_system(PreviewSurfaceFactory surfaces, FormatDialog dialog) {
    std::lock_guard lock(hooks_mutex);
    surface_factory = std::move(surfaces);
    format_dialog = std::move(dialog);
}

std::vector<CameraDriver> camera_drivers() {
    std::lock_guard lock(hooks_mutex);
    if (!drivers) {
        // The virtual camera, when asked for, is driver 0: the one the
        // dialog connects to.
        drivers.emplace();
        if (auto camera = virtual_camera_from_environment()) drivers->push_back(std::move(*camera));
        for (CameraDriver& camera : find_v4l2_cameras(DRIVER_INDEXES - drivers->size()))
            drivers->push_back(std::move(camera));
    }
    return *drivers;
}

void set_camera_drivers(std::optional<std::vector<CameraDriver>> replacement) {
    std::lock_guard lock(hooks_mutex);
    drivers = std::move(replacement);
}

HWND capCreateCaptureWindowA(const char*, DWORD style, int x, int y, int width, int height, HWND parent,
                             int) {
    if ((style & WS_CHILD) != 0 && parent == nullptr) return nullptr;
    const PreviewSurfaceFactory factory = hook(surface_factory);
    auto* window =
        new CaptureWindow(factory && parent ? factory(parent, x, y, width, height) : nullptr, parent);
    std::lock_guard lock(windows_mutex);
    return *windows.insert(reinterpret_cast<HWND>(window)).first;
}

BOOL capGetDriverDescriptionA(UINT index, char* name, int name_size, char* version, int version_size) {
    const std::vector<CameraDriver> installed = camera_drivers();
    if (index >= installed.size()) return 0;
    if (name != nullptr && name_size > 0) std::snprintf(name, name_size, "%s", installed[index].name.c_str());
    if (version != nullptr && version_size > 0)
        std::snprintf(version, version_size, "%s", installed[index].version.c_str());
    return 1;
}

BOOL DestroyWindow(HWND handle) {
    {
        std::lock_guard lock(windows_mutex);
        if (windows.erase(handle) == 0) return 0;
    }
    delete reinterpret_cast<CaptureWindow*>(handle);  // disconnects, joining the capture thread
    return 1;
}

BOOL IsWindow(HWND handle) {
    return live_window(handle) != nullptr;
}

LRESULT SendMessageA(HWND handle, UINT message, WPARAM wParam, LPARAM lParam) {
    CaptureWindow* window = live_window(handle);
    return window == nullptr ? 0 : window->message(message, wParam, lParam);
}

}  // namespace ostrel
