// What every stage shares: the process-wide state, the diagnostic log, and
// the pixel addressing and rounding of the geometry stages. Nothing here
// calls a stage, so every source may call it.
#include <algorithm>
#include <cmath>
#include <cstdarg>

#include "decoder.h"

namespace vorden {

DecoderState decoder_state;

namespace {

KeptLog* kept_log = nullptr;

void keep_line(KeptLog& log, const char* format, va_list args) {
    va_list sizing;
    va_copy(sizing, args);
    const int n = std::vsnprintf(nullptr, 0, format, sizing);
    va_end(sizing);
    if (n < 0 || log.failed) {
        log.failed = true;
        return;
    }
    const size_t need = log.size + static_cast<size_t>(n) + 1;
    if (need > log.capacity) {
        const size_t capacity = std::max(need, 2 * log.capacity);
        char* grown = static_cast<char*>(heap_realloc(log.text, capacity));
        if (grown == nullptr) {
            log.failed = true;
            return;
        }
        log.text = grown;
        log.capacity = capacity;
    }
    std::vsnprintf(log.text + log.size, static_cast<size_t>(n) + 1, format, args);
    log.size += static_cast<size_t>(n);
}

}  // namespace

void keep_log_lines(KeptLog* log) {
    kept_log = log;
}

void log_line(const char* format, ...) {
    FILE* stream = decoder_state.log_stream;
    if (stream == nullptr) return;
    va_list args;
    va_start(args, format);
    if (kept_log != nullptr) {
        va_list again;
        va_copy(again, args);
        keep_line(*kept_log, format, again);
        va_end(again);
    }
    std::vfprintf(stream, format, args);
    va_end(args);
}

// Positions outside the image read the top-left pixel; callers rely on never
// leaving the buffer rather than on an error.
int32_t pixel_index(int32_t x, int32_t y) {
    return pixel_offset(x, y);
}

double round_nearest(double v) {
    return std::floor(v + 0.5);
}

}  // namespace vorden
