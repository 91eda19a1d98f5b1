// The event trace.
#include "platform/trace.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "json_text.h"

namespace ostrel {

namespace {

std::mutex trace_mutex;

void trace_line(const std::string& line) {
    const char* path = std::getenv("OSTREL_TRACE");
    if (path == nullptr || path[0] == '\0') return;
    std::lock_guard lock(trace_mutex);
    // Opened for each line, so that a reader sees every line as soon as it
    // is written and a crash loses nothing.
    if (FILE* file = std::fopen(path, "a")) {
        std::fputs(line.c_str(), file);
        std::fputc('\n', file);
        std::fclose(file);
    }
}

}  // namespace

void trace_settext(int control_id, std::string_view text) {
    trace_line("settext " + std::to_string(control_id) + " " + vorden::tools::hex_bytes(text));
}

void trace_messagebox(std::string_view caption, std::string_view text) {
    trace_line("messagebox " + vorden::tools::hex_bytes(caption) + " " + vorden::tools::hex_bytes(text));
}

void trace_beep() {
    trace_line("beep");
}

}  // namespace ostrel
