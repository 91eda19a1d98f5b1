// The decode worker: one frame, one thread. It shrinks large frames, decodes,
// keeps the last ten texts read and shows a text once two of them agree.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "decoder.h"
#include "ostrel_core.h"
#include "reduce.h"

namespace ostrel {

namespace {

// The indicator texts in the Japanese code page (Shift JIS): "×", "△", "○".
constexpr const char* indicator_texts[] = {"\x81\x7E", "\x81\xA2", "\x81\x9B"};

// When the designed pass misses, the decoder's further strategies take turns
// across frames within a budget, the one that read last tried first: a
// tilted symbol held up to the camera is read on most frames, while a frame
// without a symbol costs at most the budget more. Workers run one at a time
// (the decode slot), so this state is never shared.
struct Turns {
    int32_t last_read = 0;    // the strategy tried first
    int32_t next = 0;         // where the others' turn goes on
    double cost_ms[16] = {};  // each strategy's cost, as last measured
} turns;

constexpr double kBudgetMs = 15;

const char* read_thoroughly(const uint8_t* image, int32_t width, int32_t height) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto since = [](Clock::time_point from) {
        return std::chrono::duration<double, std::milli>(Clock::now() - from).count();
    };
    const int32_t count = std::min<int32_t>(vorden::thorough_strategy_count(), 16);
    for (int32_t step = 0; step < count; ++step) {
        const int32_t k = step == 0 ? turns.last_read : (turns.next + step - 1) % count;
        if (step > 0 && k == turns.last_read) continue;
        // The first always runs, so that every frame makes progress.
        if (step > 0 && since(start) + turns.cost_ms[k] > kBudgetMs) continue;
        const auto begun = Clock::now();
        const char* text = vorden::read_with_strategy(k, image, width, height, 8);
        turns.cost_ms[k] = since(begun);
        if (step > 0) turns.next = (k + 1) % count;
        if (text != nullptr) {
            turns.last_read = k;
            return text;
        }
    }
    return nullptr;
}

// Enters a text read from this frame into the ring and confirms it when an
// earlier read among the last ten matches it. Failed reads leave the ring
// alone, so they never push a text out of it.
void record_read(const char* text) {
    if (text == nullptr || strnlen(text, RESULT_TEXT_SIZE) >= RESULT_TEXT_SIZE) {
        read_state = READ_NOTHING;
        return;
    }
    newest_result = newest_result >= RESULT_SLOTS - 1 ? 0 : newest_result + 1;
    std::strcpy(recent_results[newest_result], text);
    read_state = READ_ONCE;

    const char* newest = recent_results[newest_result];
    if (newest[0] == '\0') return;
    for (int32_t slot = 0; slot < RESULT_SLOTS; ++slot) {
        if (slot == newest_result || std::strcmp(recent_results[slot], newest) != 0) continue;
        if (std::strcmp(newest, shown_text) != 0) {
            std::strcpy(shown_text, newest);
            // Both calls only queue the change for the dialog's thread: the
            // worker must never block on a dialog that is itself waiting for
            // the decode slot.
            MessageBeep(MB_ICONHAND);
            SetDlgItemTextA(IDC_RESULT_BOX, shown_text);
        }
        read_state = READ_CONFIRMED;
        break;
    }
}

}  // namespace

void decode_worker(FrameJob* job) {
    const uint8_t* image = job->pixels;
    int32_t width = job->width;
    int32_t height = job->height;

    uint8_t* reduced = nullptr;
    const int32_t f = vorden::tools::reduction_factor(width, height);
    if (f > 1) {
        const int32_t reduced_width = (width + f - 1) / f;
        const int32_t reduced_height = (height + f - 1) / f;
        reduced = static_cast<uint8_t*>(HeapAlloc(static_cast<SIZE_T>(reduced_width) * reduced_height));
        // Without room for the reduced image the frame is decoded at full size.
        if (reduced != nullptr) {
            vorden::tools::reduce_by_blocks(image, width, height, f, reduced);
            image = reduced;
            width = reduced_width;
            height = reduced_height;
        }
    }

    // Whether the text is provisional is not consulted.
    const char* text = frame_decoder(image, width, height, 8, nullptr);
    if (text == nullptr) text = read_thoroughly(image, width, height);
    record_read(text);
    SetDlgItemTextA(IDC_STATUS_INDICATOR, indicator_texts[read_state]);

    if (reduced != nullptr) HeapFree(reduced);
    if (!COstrelAppCore::release_decode_slot()) {
        std::printf("ReleaseSemaphore error: %d\n", static_cast<int>(GetLastError()));
    }
}

}  // namespace ostrel
