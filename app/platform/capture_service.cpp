// The capture window and the capture calls.
#include "platform/capture_service.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

namespace ostrel {

namespace {

std::mutex hooks_mutex;
PreviewSurfaceFactory surface_factory;
FormatDialog format_dialog_hook;

int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// What a driver's capture parameters say before anyone changes them.
CAPTUREPARMS default_parms() {
    CAPTUREPARMS parms = {};
    parms.dwRequestMicroSecPerFrame = 66667;
    parms.wPercentDropForError = 10;
    parms.dwIndexSize = 34952;
    parms.wNumVideoRequested = 4;
    parms.vKeyAbort = 0x1B;
    parms.fAbortLeftMouse = 1;
    parms.fAbortRightMouse = 1;
    parms.wStepCaptureAverageFrames = 3;
    parms.dwAudioBufferSize = 0;
    return parms;
}

uint8_t clamp_byte(int value) {
    return static_cast<uint8_t>(std::clamp(value, 0, 255));
}

// ITU-R BT.601 studio-range YCbCr to RGB, as cameras deliver YUY2.
void yuv_to_rgb(int y, int u, int v, uint8_t* rgb) {
    const int c = 298 * (y - 16);
    const int d = u - 128;
    const int e = v - 128;
    rgb[0] = clamp_byte((c + 409 * e + 128) >> 8);
    rgb[1] = clamp_byte((c - 100 * d - 208 * e + 128) >> 8);
    rgb[2] = clamp_byte((c + 516 * d + 128) >> 8);
}

}  // namespace

std::optional<PreviewImage> preview_from_frame(const BITMAPINFOHEADER& format, const uint8_t* data,
                                               size_t bytes) {
    const int width = format.biWidth;
    const int height = format.biHeight;
    if (width <= 0 || height <= 0 || width > 16384 || height > 16384) return std::nullopt;
    PreviewImage image;
    image.width = width;
    image.height = height;
    image.rgb.resize(static_cast<size_t>(width) * height * 3);
    if (format.biCompression == FOURCC_YUY2 && format.biBitCount == 16) {
        const size_t row_bytes = static_cast<size_t>((width + 1) & ~1) * 2;
        if (bytes < row_bytes * height) return std::nullopt;
        for (int y = 0; y < height; ++y) {
            const uint8_t* source = data + row_bytes * y;
            uint8_t* out = image.rgb.data() + static_cast<size_t>(y) * width * 3;
            for (int x = 0; x < width; ++x) {
                const uint8_t* pair = source + (x & ~1) * 2;
                yuv_to_rgb(source[x * 2], pair[1], pair[3], out + x * 3);
            }
        }
        return image;
    }
    if (format.biCompression == BI_RGB && (format.biBitCount == 24 || format.biBitCount == 32)) {
        // Rows bottom-up, blue first, each row padded to four bytes.
        const size_t pixel_bytes = format.biBitCount / 8;
        const size_t row_bytes = (width * pixel_bytes + 3) & ~size_t{3};
        const size_t needed = std::max(row_bytes * height, static_cast<size_t>(format.biSizeImage));
        if (bytes < needed) return std::nullopt;
        // The delivered rows may be longer than four-byte padding asks.
        const size_t stride = format.biSizeImage != 0 ? format.biSizeImage / height : row_bytes;
        for (int y = 0; y < height; ++y) {
            const uint8_t* source = data + stride * (height - 1 - y);
            uint8_t* out = image.rgb.data() + static_cast<size_t>(y) * width * 3;
            for (int x = 0; x < width; ++x, source += pixel_bytes, out += 3) {
                out[0] = source[2];
                out[1] = source[1];
                out[2] = source[0];
            }
        }
        return image;
    }
    return std::nullopt;
}

void set_preview_surface_factory(PreviewSurfaceFactory factory) {
    std::lock_guard lock(hooks_mutex);
    surface_factory = std::move(factory);
}

void set_format_dialog(FormatDialog dialog) {
    std::lock_guard lock(hooks_mutex);
    format_dialog_hook = std::move(dialog);
}

CaptureServiceWindow::CaptureServiceWindow(std::unique_ptr<PreviewSurface> surface, void* parent)
    : surface_(std::move(surface)), parent_(parent), parms_(default_parms()) {}

CaptureServiceWindow::~CaptureServiceWindow() {
    // DestroyWindow has disconnected a registered window; one that never
    // was registered stops its stream here.
    stop_stream();
}

LRESULT CaptureServiceWindow::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CAP_SET_CALLBACK_FRAME: {
            std::lock_guard lock(delivery_mutex_);
            callback_ = reinterpret_cast<CAPVIDEOCALLBACK>(lParam);
            return 1;
        }
        case WM_CAP_DRIVER_CONNECT:
            return connect(wParam);
        case WM_CAP_DRIVER_DISCONNECT:
            return disconnect();
        case WM_DESTROY:
            // Disconnected here, not in the destructor: the last reference
            // may be let go by a frame callback on the capture thread, which
            // cannot stop its own stream and free the device it runs in.
            disconnect();
            return 0;
        case WM_CAP_DLG_VIDEOFORMAT:
            return format_dialog();
        case WM_CAP_GET_VIDEOFORMAT:
            return get_format(wParam, lParam);
        case WM_CAP_SET_PREVIEW: {
            std::lock_guard lock(delivery_mutex_);
            preview_ = wParam != 0;
            return 1;
        }
        case WM_CAP_SET_PREVIEWRATE: {
            std::lock_guard lock(delivery_mutex_);
            preview_rate_ms_ = static_cast<UINT>(wParam);
            return 1;
        }
        case WM_CAP_SET_OVERLAY:
            // No driver here has a hardware overlay.
            return 0;
        case WM_CAP_GET_SEQUENCE_SETUP: {
            if (lParam == 0) return 0;
            std::memcpy(reinterpret_cast<void*>(lParam), &parms_, std::min<size_t>(wParam, sizeof parms_));
            return 1;
        }
        case WM_CAP_SET_SEQUENCE_SETUP: {
            if (lParam == 0 || wParam < sizeof parms_) return 0;
            const DWORD interval = parms_.dwRequestMicroSecPerFrame;
            std::memcpy(&parms_, reinterpret_cast<const void*>(lParam), sizeof parms_);
            if (device_ != nullptr && parms_.dwRequestMicroSecPerFrame != interval) {
                // The frame rate is chosen when a stream starts.
                stop_stream();
                start_stream();
            }
            return 1;
        }
        default:
            return 0;
    }
}

LRESULT CaptureServiceWindow::connect(WPARAM index) {
    if (device_ != nullptr) return 1;
    auto drivers = installed_drivers();
    if (index >= drivers.size()) return 0;
    device_ = drivers[index]->open();
    if (device_ == nullptr) return 0;
    start_stream();
    return 1;
}

LRESULT CaptureServiceWindow::disconnect() {
    if (device_ == nullptr) return 0;
    stop_stream();
    device_.reset();
    return 1;
}

void CaptureServiceWindow::start_stream() {
    if (device_ == nullptr) return;
    device_->set_frame_interval(parms_.dwRequestMicroSecPerFrame);
    {
        std::lock_guard lock(format_mutex_);
        format_ = device_->format();
    }
    {
        std::lock_guard lock(delivery_mutex_);
        stream_start_ms_ = now_ms();
        last_preview_ms_ = -1;
    }
    device_->start([this](const uint8_t* data, size_t bytes) { deliver(data, bytes); });
}

void CaptureServiceWindow::stop_stream() {
    if (device_ == nullptr) return;
    // No lock is held here: the capture thread being joined may be asking
    // for the format inside the frame callback.
    device_->stop();
    std::lock_guard lock(format_mutex_);
    format_.reset();
}

LRESULT CaptureServiceWindow::format_dialog() {
    if (device_ == nullptr) return 0;
    FormatDialog dialog;
    {
        std::lock_guard lock(hooks_mutex);
        dialog = format_dialog_hook;
    }
    if (!dialog) return 0;
    const std::vector<FormatOption> options = device_->format_options();
    std::optional<FormatChoice> choice = dialog(parent_, options, device_->current_choice());
    if (!choice || choice->option >= options.size()) return 1;
    stop_stream();
    device_->set_format(options[choice->option], choice->size);
    start_stream();
    return 1;
}

LRESULT CaptureServiceWindow::get_format(WPARAM size, LPARAM buffer) {
    std::lock_guard lock(format_mutex_);
    if (!format_) return 0;
    if (size == 0 && buffer == 0) return sizeof(BITMAPINFOHEADER);
    if (buffer == 0) return 0;
    const size_t written = std::min<size_t>(size, sizeof(BITMAPINFOHEADER));
    std::memcpy(reinterpret_cast<void*>(buffer), &*format_, written);
    return static_cast<LRESULT>(written);
}

void CaptureServiceWindow::deliver(const uint8_t* data, size_t bytes) {
    std::lock_guard lock(delivery_mutex_);
    if (!preview_) return;
    const int64_t now = now_ms();
    if (callback_ != nullptr) {
        VIDEOHDR header = {};
        header.lpData = const_cast<BYTE*>(data);
        header.dwBufferLength = static_cast<DWORD>(bytes);
        header.dwBytesUsed = static_cast<DWORD>(bytes);
        header.dwTimeCaptured = static_cast<DWORD>(now - stream_start_ms_);
        callback_(handle(), &header);
    }
    if (surface_ == nullptr) return;
    if (last_preview_ms_ >= 0 && now - last_preview_ms_ < static_cast<int64_t>(preview_rate_ms_)) return;
    std::optional<BITMAPINFOHEADER> format;
    {
        std::lock_guard format_lock(format_mutex_);
        format = format_;
    }
    if (!format) return;
    std::optional<PreviewImage> image = preview_from_frame(*format, data, bytes);
    if (!image) return;
    last_preview_ms_ = now;
    surface_->present(std::make_shared<const PreviewImage>(std::move(*image)));
}

HWND capCreateCaptureWindowA(const char*, DWORD style, int x, int y, int width, int height, HWND parent,
                             int) {
    void* native = nullptr;
    if ((style & WS_CHILD) != 0) {
        auto host = std::dynamic_pointer_cast<NativeWindow>(find_window(parent));
        if (host == nullptr) return nullptr;
        native = host->native();
    }
    PreviewSurfaceFactory factory;
    {
        std::lock_guard lock(hooks_mutex);
        factory = surface_factory;
    }
    std::unique_ptr<PreviewSurface> surface;
    if (factory && native != nullptr) surface = factory(native, x, y, width, height);
    return register_capture_window(std::make_shared<CaptureServiceWindow>(std::move(surface), native));
}

BOOL capGetDriverDescriptionA(UINT index, char* name, int name_size, char* version, int version_size) {
    auto drivers = installed_drivers();
    if (index >= drivers.size()) return 0;
    auto copy = [](const std::string& text, char* buffer, int size) {
        if (buffer == nullptr || size <= 0) return;
        const size_t length = std::min(text.size(), static_cast<size_t>(size - 1));
        std::memcpy(buffer, text.data(), length);
        buffer[length] = '\0';
    };
    copy(drivers[index]->name(), name, name_size);
    copy(drivers[index]->version(), version, version_size);
    return 1;
}

}  // namespace ostrel
