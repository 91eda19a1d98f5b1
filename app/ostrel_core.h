// The camera application's core, free of any GUI: the decode slot, the frame
// callback that hands one frame at a time to a decode worker, and the worker
// that confirms texts over the last ten reads and updates the dialog.
//
// Threads: the capture driver's delivery thread runs on_video_frame, which
// never blocks; at most one decode worker exists, started by the callback
// while it holds decode_slot and giving it back when done. Everything below
// except decode_slot and capture_window is touched only by the slot's holder.
#ifndef OSTREL_CORE_H
#define OSTREL_CORE_H

#include <cstdint>
#include <cstdio>

#include "platform/win32.h"

namespace ostrel {

struct FrameJob {
    uint8_t* pixels;
    int32_t width;
    int32_t height;
};

constexpr int32_t RESULT_SLOTS = 10;
constexpr int32_t RESULT_TEXT_SIZE = 7091;  // with the NUL; longer texts are not taken
constexpr SIZE_T WORKER_STACK_SIZE = 10485760;

// The main dialog's controls the worker writes to.
constexpr int IDC_RESULT_BOX = 1000;        // the confirmed text
constexpr int IDC_STATUS_INDICATOR = 1003;  // "×", "△" or "○"

// read_state values.
constexpr int32_t READ_NOTHING = 0;
constexpr int32_t READ_ONCE = 1;
constexpr int32_t READ_CONFIRMED = 2;

extern HANDLE decode_slot;  // one permit: whoever holds it may start or be the worker
extern FrameJob frame_job;
extern uint8_t* frame_copy;  // grown, never shrunk, never freed at exit
extern int32_t frame_copy_size;
extern uint8_t* luma_frame;
extern int32_t luma_frame_size;
extern char recent_results[RESULT_SLOTS][RESULT_TEXT_SIZE];
extern int32_t newest_result;  // -1 before the first read
extern int32_t read_state;
extern char shown_text[RESULT_TEXT_SIZE];
extern HWND capture_window;

// What the worker decodes with: decode_symbol, unless a test scripts it.
using DecodeFunction = const char* (*)(const uint8_t* image, int32_t width, int32_t height,
                                       int32_t pixel_depth, FILE* log);
extern DecodeFunction frame_decoder;

// The application object's GUI-free half. All members are static: the state
// is process-wide. The GUI build's COstrelApp derives from wxApp and from
// this class, so that COstrelApp::try_take_decode_slot() and the rest are
// reached under the application's name.
class COstrelAppCore {
  public:
    // Start-up, before the dialog exists: creates decode_slot (one permit)
    // and empties the result ring. False when the semaphore was not created.
    static bool init_decode_state();
    // Shutdown, after the frame callback is removed: waits in rounds of
    // 1000 ms until a running worker has given the slot back, then gives it
    // back again. Stops waiting, with "WAIT_ABONDONED\n" on standard output,
    // when the semaphore is abandoned, and silently when the wait fails.
    static void wait_for_decode_worker();

    // Takes the slot without waiting.
    static bool try_take_decode_slot();
    static bool release_decode_slot();
    // Runs decode_worker on frame_job in a new thread; the caller holds the
    // slot. False, with the slot given back, when the thread cannot start.
    static bool start_decode_worker(uint8_t* pixels, int32_t width, int32_t height);
};

// The capture window's frame callback; always returns non-zero. The video
// format is asked of capture_window, which must be set before the callback
// is registered.
LRESULT on_video_frame(HWND window, VIDEOHDR* header);
// The worker thread's body.
void decode_worker(FrameJob* job);

}  // namespace ostrel

#endif  // OSTREL_CORE_H
