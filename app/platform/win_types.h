// The Windows type names the camera application is written in terms of, with
// their Windows widths, so that the frame hand-off reads as the capture and
// kernel services it was designed against. No Windows header is involved.
#ifndef OSTREL_PLATFORM_WIN_TYPES_H
#define OSTREL_PLATFORM_WIN_TYPES_H

#include <cstddef>
#include <cstdint>

namespace ostrel {

using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using LONG = int32_t;
using UINT = uint32_t;
using BOOL = int32_t;  // non-zero is true; TRUE/FALSE are left to glib's macros
using SIZE_T = size_t;
using LPVOID = void*;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;
using DWORD_PTR = uintptr_t;

// A kernel object (here only semaphores); opaque to its users.
using HANDLE = void*;

// A window handle. Handles are never reused, so a stale one stays invalid.
struct HWND__;
using HWND = HWND__*;

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_WIN_TYPES_H
