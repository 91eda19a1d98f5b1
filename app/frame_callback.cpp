// The frame callback: takes the decode slot without waiting, turns the frame
// into an 8-bit luminance image (top row first) and starts a worker on it.
#include <cstdint>
#include <cstring>
#include <limits>

#include "ostrel_core.h"

namespace ostrel {

namespace {

// Row length in pixels: the width rounded up to a multiple of 16 (RGB24) or
// to an even number (YUY2); 0 for any other format. The masks are 16 bits
// wide, so a width past them gets a row shorter than itself, which the
// caller refuses.
int64_t row_length_of(const BITMAPINFOHEADER& format) {
    const int64_t width = format.biWidth;
    if (format.biCompression == BI_RGB && format.biBitCount == 24) return (width + 15) & 0xFFF0;
    if (format.biCompression == FOURCC_YUY2 && format.biBitCount == 16) return (width + 1) & 0xFFFE;
    return 0;
}

// Rows are stored bottom-up; each output pixel is the plain mean of its
// three bytes.
void luminance_from_rgb24(const uint8_t* frame, int32_t row_length, int32_t rows, uint8_t* luma) {
    const size_t source_row_bytes = static_cast<size_t>(row_length) * 3;
    for (int32_t r = 0; r < rows; ++r) {
        const uint8_t* source = frame + static_cast<size_t>(rows - 1 - r) * source_row_bytes;
        uint8_t* out = luma + static_cast<size_t>(r) * row_length;
        for (int32_t k = 0; k < row_length; ++k, source += 3) {
            out[k] = static_cast<uint8_t>((source[0] + source[1] + source[2]) / 3);
        }
    }
}

// Y U Y V ...: the luminance is every even byte.
void luminance_from_yuy2(const uint8_t* frame, int32_t row_length, int32_t rows, uint8_t* luma) {
    const size_t pixels = static_cast<size_t>(row_length) * rows;
    for (size_t k = 0; k < pixels; ++k) luma[k] = frame[2 * k];
}

void free_frame_buffers() {
    if (frame_copy != nullptr) HeapFree(frame_copy);
    if (luma_frame != nullptr) HeapFree(luma_frame);
    // Cleared too, so that a later failed allocation cannot leave a freed
    // buffer behind to be freed again.
    frame_copy = nullptr;
    luma_frame = nullptr;
}

// Copies the frame, extracts its luminance and starts the worker on it.
// False when the frame is to be given up. `format` receives the format block
// for the caller to free.
bool hand_off_frame(const VIDEOHDR* header, BITMAPINFOHEADER*& format) {
    // Asked on every frame: the settings dialog may change the format under
    // a running preview. A block too small for the header cannot be read as
    // one.
    const DWORD format_size = capGetVideoFormatSize(capture_window);
    if (format_size < sizeof(BITMAPINFOHEADER)) return false;
    format = static_cast<BITMAPINFOHEADER*>(HeapAlloc(format_size));
    if (format == nullptr) return false;
    if (capGetVideoFormat(capture_window, format, format_size) < sizeof(BITMAPINFOHEADER)) return false;

    // Non-positive sizes (a top-down frame has a negative height) are not a
    // layout handled here.
    if (format->biWidth <= 0 || format->biHeight <= 0) return false;
    const int64_t row_length = row_length_of(*format);
    if (row_length < format->biWidth) return false;
    const int64_t luma_bytes = row_length * format->biHeight;
    const int64_t frame_bytes = luma_bytes * format->biBitCount / 8;
    // The byte counts must fit the recorded sizes.
    if (frame_bytes > std::numeric_limits<int32_t>::max()) return false;

    // A frame shorter than its format says (an RGB24 width that is not a
    // multiple of 16 does that) is given up, never read past its end.
    // The bytes used (0: the whole buffer) never count past the buffer's end.
    if (header == nullptr || header->lpData == nullptr) return false;
    DWORD frame_data = header->dwBufferLength;
    if (header->dwBytesUsed != 0 && header->dwBytesUsed < frame_data) frame_data = header->dwBytesUsed;
    if (frame_data < frame_bytes) return false;

    if (frame_copy == nullptr || luma_frame_size < luma_bytes || frame_copy_size < frame_bytes) {
        free_frame_buffers();
        luma_frame_size = static_cast<int32_t>(luma_bytes);
        frame_copy_size = static_cast<int32_t>(frame_bytes);
        frame_copy = static_cast<uint8_t*>(HeapAlloc(static_cast<SIZE_T>(frame_bytes)));
        if (frame_copy == nullptr) return false;
        luma_frame = static_cast<uint8_t*>(HeapAlloc(static_cast<SIZE_T>(luma_bytes)));
        if (luma_frame == nullptr) {
            HeapFree(frame_copy);
            frame_copy = nullptr;
            return false;
        }
    }
    std::memcpy(frame_copy, header->lpData, static_cast<size_t>(frame_bytes));

    const auto width = static_cast<int32_t>(row_length);
    const int32_t rows = format->biHeight;
    if (format->biBitCount == 24) {
        luminance_from_rgb24(frame_copy, width, rows, luma_frame);
    } else {
        luminance_from_yuy2(frame_copy, width, rows, luma_frame);
    }
    // The slot stays taken: the worker gives it back (or, when no thread
    // starts, start_decode_worker does).
    COstrelAppCore::start_decode_worker(luma_frame, width, rows);
    return true;
}

}  // namespace

LRESULT on_video_frame(HWND, VIDEOHDR* header) {
    // A frame that arrives during a decode costs this one zero wait.
    if (!COstrelAppCore::try_take_decode_slot()) return 1;
    BITMAPINFOHEADER* format = nullptr;
    if (!hand_off_frame(header, format)) {
        // Giving the frame up: the next accepted frame allocates afresh,
        // freeing whatever buffers are left. Nothing is shown.
        frame_copy_size = 0;
        luma_frame_size = 0;
        COstrelAppCore::release_decode_slot();
    }
    if (format != nullptr) HeapFree(format);
    return 1;
}

}  // namespace ostrel
