// The Windows names the camera application is written in: types with their
// Windows widths, the capture service's messages and records, and the kernel
// and window calls it makes. Each call is a few lines over the capture
// window (capture.cpp) or the Linux kernel (kernel.cpp). No Windows header is
// involved.
#ifndef OSTREL_PLATFORM_WIN32_H
#define OSTREL_PLATFORM_WIN32_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace ostrel {

using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using LONG = int32_t;
using UINT = uint32_t;
using BOOL = int32_t;  // non-zero is true; TRUE/FALSE are left to glib's macros
using SIZE_T = size_t;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;
using DWORD_PTR = uintptr_t;
using HANDLE = void*;  // a semaphore
struct HWND__;
using HWND = HWND__*;  // a capture window, or a window of the dialog layer as its parent

// ---- Kernel services -------------------------------------------------------

constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD WAIT_OBJECT_0 = 0x00000000;
constexpr DWORD WAIT_ABANDONED = 0x00000080;  // never happens here: nobody owns a semaphore
constexpr DWORD WAIT_TIMEOUT = 0x00000102;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;  // no such semaphore, or a count out of range
constexpr DWORD ERROR_TOO_MANY_POSTS = 298;

HANDLE CreateSemaphoreA(LONG initial_count, LONG maximum_count);
BOOL CloseHandle(HANDLE semaphore);  // nobody may be waiting on it
DWORD WaitForSingleObject(HANDLE semaphore, DWORD milliseconds);
// Fails, with ERROR_TOO_MANY_POSTS, when the count would pass the maximum.
BOOL ReleaseSemaphore(HANDLE semaphore, LONG release_count, LONG* previous_count);
DWORD GetLastError();  // the calling thread's
void Sleep(DWORD milliseconds);
// A detached thread running start(parameter) on a stack of `stack_size`
// bytes; zero, with a last error, when it could not start.
BOOL start_thread(void (*start)(void*), void* parameter, SIZE_T stack_size);
void* HeapAlloc(SIZE_T bytes);
BOOL HeapFree(void* block);

// What the tests make fail; nothing fails otherwise.
struct KernelFaults {
    std::function<bool(SIZE_T)> refuse_alloc;
    bool refuse_threads = false;
};
extern KernelFaults kernel_faults;

// ---- Window texts and the beep ---------------------------------------------

constexpr UINT MB_ICONHAND = 0x00000010;

// Both return at once; the window system applies them on the dialog's thread
// later, which may be blocked waiting for the decode slot that the calling
// worker is about to give back. The text is the bytes up to its first NUL.
void SetDlgItemTextA(int control_id, const char* text);
BOOL MessageBeep(UINT type);

// Where they go: installed by the window system (or a test) before any
// worker starts.
struct WindowSink {
    std::function<void(int control_id, std::string text)> set_text;
    std::function<void(UINT type)> beep;
};
void set_window_sink(WindowSink sink);

// ---- Video capture service --------------------------------------------------

constexpr UINT WM_CAP_START = 0x0400;
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

constexpr DWORD BI_RGB = 0;
constexpr DWORD FOURCC_YUY2 = 0x32595559;  // 'Y' 'U' 'Y' '2'
constexpr DWORD WS_CHILD = 0x40000000;
constexpr DWORD WS_VISIBLE = 0x10000000;
// capGetDriverDescriptionA answers for indexes 0 to 9.
constexpr int DRIVER_INDEXES = 10;

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
    LONG biHeight;  // positive: RGB rows bottom-up
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

struct BITMAPINFO {
    BITMAPINFOHEADER bmiHeader;
    DWORD bmiColors[1];
};

// The capture parameters, of which the application changes two fields; the
// other 22 (audio, abort keys, MCI control) keep the driver's values.
struct CAPTUREPARMS {
    DWORD dwRequestMicroSecPerFrame;
    BOOL fMakeUserHitOKToCapture;
    UINT wPercentDropForError;
    DWORD other[21];
};
static_assert(sizeof(CAPTUREPARMS) == 96);

// Runs on the capture thread. Once WM_CAP_SET_CALLBACK_FRAME with null (or
// DestroyWindow) has returned, it is not called any more.
using CAPVIDEOCALLBACK = LRESULT (*)(HWND window, VIDEOHDR* header);

// A capture window inside `parent` (a window of the dialog layer); null
// without a parent.
HWND capCreateCaptureWindowA(const char* window_name, DWORD style, int x, int y, int width, int height,
                             HWND parent, int id);
// Non-zero when a driver is installed at `index`; name and version are cut
// to the buffer sizes.
BOOL capGetDriverDescriptionA(UINT index, char* name, int name_size, char* version, int version_size);
// Stops its stream, waiting for a frame callback under way, then frees it.
BOOL DestroyWindow(HWND window);
BOOL IsWindow(HWND window);
// 0 when there is no such window.
LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The capture macros of vfw.h.
template <class R = BOOL, class P = std::nullptr_t>
R cap_send(HWND w, UINT message, WPARAM wParam = 0, P lParam = nullptr) {
    return static_cast<R>(SendMessageA(w, message, wParam, reinterpret_cast<LPARAM>(lParam)));
}
inline BOOL capSetCallbackOnFrame(HWND w, CAPVIDEOCALLBACK f) {
    return cap_send(w, WM_CAP_SET_CALLBACK_FRAME, 0, f);
}
inline BOOL capDriverConnect(HWND w, int index) {
    return cap_send(w, WM_CAP_DRIVER_CONNECT, index);
}
inline BOOL capDriverDisconnect(HWND w) {
    return cap_send(w, WM_CAP_DRIVER_DISCONNECT);
}
inline BOOL capDlgVideoFormat(HWND w) {
    return cap_send(w, WM_CAP_DLG_VIDEOFORMAT);
}
inline DWORD capGetVideoFormatSize(HWND w) {
    return cap_send<DWORD>(w, WM_CAP_GET_VIDEOFORMAT);
}
inline DWORD capGetVideoFormat(HWND w, void* format, DWORD size) {
    return cap_send<DWORD>(w, WM_CAP_GET_VIDEOFORMAT, size, format);
}
inline BOOL capPreview(HWND w, BOOL on) {
    return cap_send(w, WM_CAP_SET_PREVIEW, on != 0);
}
inline BOOL capPreviewRate(HWND w, UINT ms) {
    return cap_send(w, WM_CAP_SET_PREVIEWRATE, ms);
}
inline BOOL capOverlay(HWND w, BOOL on) {
    return cap_send(w, WM_CAP_SET_OVERLAY, on != 0);
}
inline BOOL capCaptureGetSetup(HWND w, CAPTUREPARMS* p, DWORD size) {
    return cap_send(w, WM_CAP_GET_SEQUENCE_SETUP, size, p);
}
inline BOOL capCaptureSetSetup(HWND w, const CAPTUREPARMS* p, DWORD size) {
    return cap_send(w, WM_CAP_SET_SEQUENCE_SETUP, size, p);
}

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_WIN32_H
