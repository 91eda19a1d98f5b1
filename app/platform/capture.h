// The capture window's message interface: window handles, the messages and
// records of the video capture service, and the capXxx calls that send them.
// A capture driver is a CaptureWindow registered under a handle; the
// application talks to it only through SendMessageA on that handle.
#ifndef OSTREL_PLATFORM_CAPTURE_H
#define OSTREL_PLATFORM_CAPTURE_H

#include <memory>

#include "platform/win_types.h"

namespace ostrel {

constexpr UINT WM_DESTROY = 0x0002;  // sent by DestroyWindow, on its caller's thread
constexpr UINT WM_USER = 0x0400;
constexpr UINT WM_CAP_START = WM_USER;
constexpr UINT WM_CAP_SET_CALLBACK_FRAME = WM_CAP_START + 5;   // 1029: 0, callback or null
constexpr UINT WM_CAP_DRIVER_CONNECT = WM_CAP_START + 10;      // 1034: driver index, 0
constexpr UINT WM_CAP_DRIVER_DISCONNECT = WM_CAP_START + 11;   // 1035: 0, 0
constexpr UINT WM_CAP_DLG_VIDEOFORMAT = WM_CAP_START + 42;     // 1066: 0, 0
constexpr UINT WM_CAP_GET_VIDEOFORMAT = WM_CAP_START + 44;     // 1068: size, buffer (0, 0: the size)
constexpr UINT WM_CAP_SET_PREVIEW = WM_CAP_START + 50;         // 1074: on, 0
constexpr UINT WM_CAP_SET_PREVIEWRATE = WM_CAP_START + 52;     // 1076: milliseconds, 0
constexpr UINT WM_CAP_SET_OVERLAY = WM_CAP_START + 53;         // 1077: on, 0
constexpr UINT WM_CAP_SET_SEQUENCE_SETUP = WM_CAP_START + 64;  // 1088: size, CAPTUREPARMS
constexpr UINT WM_CAP_GET_SEQUENCE_SETUP = WM_CAP_START + 65;  // 1089: size, CAPTUREPARMS

// biCompression values.
constexpr DWORD BI_RGB = 0;
constexpr DWORD FOURCC_YUY2 = 0x32595559;  // 'Y' 'U' 'Y' '2'

// One frame as the capture service hands it to the frame callback.
struct VIDEOHDR {
    BYTE* lpData;
    DWORD dwBufferLength;
    DWORD dwBytesUsed;  // 0 when the driver filled the whole buffer
    DWORD dwTimeCaptured;
    DWORD_PTR dwUser;
    DWORD dwFlags;
    DWORD_PTR dwReserved[4];
};

struct BITMAPINFOHEADER {
    DWORD biSize;
    LONG biWidth;
    LONG biHeight;  // positive: rows bottom-up for RGB
    WORD biPlanes;
    WORD biBitCount;
    DWORD biCompression;
    DWORD biSizeImage;
    LONG biXPelsPerMeter;
    LONG biYPelsPerMeter;
    DWORD biClrUsed;
    DWORD biClrImportant;
};
static_assert(sizeof(BITMAPINFOHEADER) == 40);

struct RGBQUAD {
    BYTE rgbBlue, rgbGreen, rgbRed, rgbReserved;
};

// The video format block starts with the header.
struct BITMAPINFO {
    BITMAPINFOHEADER bmiHeader;
    RGBQUAD bmiColors[1];
};

struct CAPTUREPARMS {
    DWORD dwRequestMicroSecPerFrame;
    BOOL fMakeUserHitOKToCapture;
    UINT wPercentDropForError;
    BOOL fYield;
    DWORD dwIndexSize;
    UINT wChunkGranularity;
    BOOL fUsingDOSMemory;
    UINT wNumVideoRequested;
    BOOL fCaptureAudio;
    UINT wNumAudioRequested;
    UINT vKeyAbort;
    BOOL fAbortLeftMouse;
    BOOL fAbortRightMouse;
    BOOL fLimitEnabled;
    UINT wTimeLimit;
    BOOL fMCIControl;
    BOOL fStepMCIDevice;
    DWORD dwMCIStartTime;
    DWORD dwMCIStopTime;
    BOOL fStepCaptureAt2x;
    UINT wStepCaptureAverageFrames;
    DWORD dwAudioBufferSize;
    BOOL fDisableWriteCache;
    UINT AVStreamMaster;
};
static_assert(sizeof(CAPTUREPARMS) == 96);

// The frame callback. It runs on the driver's delivery thread.
using CAPVIDEOCALLBACK = LRESULT (*)(HWND window, VIDEOHDR* header);

// A capture driver as seen through its window. A driver must not call the
// frame callback any more once WM_CAP_SET_CALLBACK_FRAME with null (or
// WM_CAP_DRIVER_DISCONNECT) has returned.
class CaptureWindow {
  public:
    virtual ~CaptureWindow() = default;
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) = 0;
    // The handle it was registered under; null before.
    HWND handle() const { return handle_; }

  private:
    friend HWND register_capture_window(std::shared_ptr<CaptureWindow> window);
    HWND handle_ = nullptr;
};

// Gives `window` a fresh handle; the window lives at least until
// DestroyWindow and any message being delivered to it have finished.
HWND register_capture_window(std::shared_ptr<CaptureWindow> window);
// Sends WM_DESTROY to the window, on the calling thread, then releases its
// handle.
BOOL DestroyWindow(HWND window);
BOOL IsWindow(HWND window);
// Delivers the message on the calling thread; 0 when there is no such window.
LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// A window of the dialog layer given a handle, so that a capture window can
// name it as its parent. It answers no capture messages.
class NativeWindow final : public CaptureWindow {
  public:
    explicit NativeWindow(void* native) : native_(native) {}
    LRESULT WindowProc(UINT, WPARAM, LPARAM) override { return 0; }
    void* native() const { return native_; }

  private:
    void* native_;
};

// The window behind a handle, or null; it stays alive while the pointer is held.
std::shared_ptr<CaptureWindow> find_window(HWND window);

// Window styles that capCreateCaptureWindowA understands.
constexpr DWORD WS_CHILD = 0x40000000;
constexpr DWORD WS_VISIBLE = 0x10000000;

// Creates a capture window showing its preview inside `parent`; null when
// it cannot be made (no such parent).
HWND capCreateCaptureWindowA(const char* window_name, DWORD style, int x, int y, int width, int height,
                             HWND parent, int id);
// Non-zero when a driver is installed at `index` (0 to 9); its name and
// version are written NUL-terminated, cut to the buffer sizes.
BOOL capGetDriverDescriptionA(UINT index, char* name, int name_size, char* version, int version_size);

// The capture calls; a window that does not exist counts as a failed call
// returning 0.
inline LRESULT capture_message(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return IsWindow(window) ? SendMessageA(window, message, wParam, lParam) : 0;
}
inline BOOL capSetCallbackOnFrame(HWND window, CAPVIDEOCALLBACK callback) {
    return static_cast<BOOL>(
        capture_message(window, WM_CAP_SET_CALLBACK_FRAME, 0, reinterpret_cast<LPARAM>(callback)));
}
inline BOOL capDriverConnect(HWND window, int index) {
    return static_cast<BOOL>(capture_message(window, WM_CAP_DRIVER_CONNECT, index, 0));
}
inline BOOL capDriverDisconnect(HWND window) {
    return static_cast<BOOL>(capture_message(window, WM_CAP_DRIVER_DISCONNECT, 0, 0));
}
inline BOOL capDlgVideoFormat(HWND window) {
    return static_cast<BOOL>(capture_message(window, WM_CAP_DLG_VIDEOFORMAT, 0, 0));
}
inline DWORD capGetVideoFormatSize(HWND window) {
    return static_cast<DWORD>(capture_message(window, WM_CAP_GET_VIDEOFORMAT, 0, 0));
}
// Bytes of the format written to `format`, 0 on failure.
inline DWORD capGetVideoFormat(HWND window, void* format, DWORD size) {
    return static_cast<DWORD>(
        capture_message(window, WM_CAP_GET_VIDEOFORMAT, size, reinterpret_cast<LPARAM>(format)));
}
inline BOOL capPreview(HWND window, BOOL on) {
    return static_cast<BOOL>(capture_message(window, WM_CAP_SET_PREVIEW, on != 0, 0));
}
inline BOOL capPreviewRate(HWND window, UINT milliseconds) {
    return static_cast<BOOL>(capture_message(window, WM_CAP_SET_PREVIEWRATE, milliseconds, 0));
}
inline BOOL capOverlay(HWND window, BOOL on) {
    return static_cast<BOOL>(capture_message(window, WM_CAP_SET_OVERLAY, on != 0, 0));
}
inline BOOL capCaptureGetSetup(HWND window, CAPTUREPARMS* parms, DWORD size) {
    return static_cast<BOOL>(
        capture_message(window, WM_CAP_GET_SEQUENCE_SETUP, size, reinterpret_cast<LPARAM>(parms)));
}
inline BOOL capCaptureSetSetup(HWND window, const CAPTUREPARMS* parms, DWORD size) {
    return static_cast<BOOL>(
        capture_message(window, WM_CAP_SET_SEQUENCE_SETUP, size, reinterpret_cast<LPARAM>(parms)));
}

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_CAPTURE_H
