// The process-wide state of the frame hand-off and the decode slot.
#include <cstdio>
#include <cstring>

#include "ostrel_core.h"
#include "vorden.h"

namespace ostrel {

HANDLE decode_slot = nullptr;
FrameJob frame_job = {};
uint8_t* frame_copy = nullptr;
int32_t frame_copy_size = 0;
uint8_t* luma_frame = nullptr;
int32_t luma_frame_size = 0;
char recent_results[RESULT_SLOTS][RESULT_TEXT_SIZE] = {};
int32_t newest_result = -1;
int32_t read_state = READ_NOTHING;
char shown_text[RESULT_TEXT_SIZE] = {};
HWND capture_window = nullptr;

DecodeFunction frame_decoder = decode_symbol;

namespace {

void run_decode_worker(void* job) {
    decode_worker(static_cast<FrameJob*>(job));
}

}  // namespace

bool COstrelAppCore::init_decode_state() {
    decode_slot = CreateSemaphoreA(1, 1);
    for (char* slot : recent_results) slot[0] = '\0';
    shown_text[0] = '\0';
    newest_result = -1;
    read_state = READ_NOTHING;
    return decode_slot != nullptr;
}

void COstrelAppCore::wait_for_decode_worker() {
    for (;;) {
        DWORD result = WaitForSingleObject(decode_slot, 1000);
        if (result == WAIT_OBJECT_0) break;
        if (result == WAIT_ABANDONED) {
            std::printf("WAIT_ABONDONED\n");
            break;
        }
        // A failed wait (no semaphore) would fail every round.
        if (result != WAIT_TIMEOUT) break;
    }
    release_decode_slot();
}

bool COstrelAppCore::try_take_decode_slot() {
    return WaitForSingleObject(decode_slot, 0) == WAIT_OBJECT_0;
}

bool COstrelAppCore::release_decode_slot() {
    return ReleaseSemaphore(decode_slot, 1, nullptr) != 0;
}

bool COstrelAppCore::start_decode_worker(uint8_t* pixels, int32_t width, int32_t height) {
    frame_job.pixels = pixels;
    frame_job.width = width;
    frame_job.height = height;
    if (start_thread(run_decode_worker, &frame_job, WORKER_STACK_SIZE)) return true;
    // No worker will give the slot back, and no frame would be decoded again.
    release_decode_slot();
    return false;
}

}  // namespace ostrel
