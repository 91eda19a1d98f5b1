// The camera worker's cost per frame: the application's frame callback takes
// the decode slot, copies the frame, extracts its luminance and starts a
// worker thread, which reduces large frames, decodes, records the read and
// gives the slot back. Timed from the callback's call to that release, on
// YUY2 and RGB24 frames, against the decode alone.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "ostrel_core.h"
#include "patterns.h"
#include "platform/camera.h"
#include "sections.h"
#include "vorden.h"

namespace vorden::bench {

namespace {

using namespace ostrel;

constexpr int kRounds = 10;

// ---- The platform around the core ----

// A camera that never sends a frame of its own: the frames are handed to the
// callback here, and it answers the video-format query made on every frame.
class FormatCamera final : public ostrel::Camera {
  public:
    explicit FormatCamera(VideoMode mode) : mode_(mode) {}
    std::vector<VideoMode> modes() override { return {mode_}; }
    VideoMode mode() override { return mode_; }
    bool set_mode(const VideoMode&) override { return false; }
    bool start(uint32_t) override { return true; }
    int next_frame(std::vector<uint8_t>&, int timeout_ms) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
        return 0;
    }
    void stop() override {}

  private:
    VideoMode mode_;
};

// The indicator is the worker's last word before it gives the slot back:
// the end of a frame's work, with the process's CPU time then.
struct ReleaseClock {
    std::atomic<double> released_wall{0}, released_cpu{0};
    WindowSink sink() {
        return {[this](int control_id, std::string) {
                    if (control_id != IDC_STATUS_INDICATOR) return;
                    released_wall = wall_ms();
                    released_cpu = process_cpu_ms();
                },
                [](UINT) {}};
    }
};

// ---- Frames as the camera delivers them ----

struct Frame {
    BITMAPINFOHEADER format{};
    std::vector<BYTE> bytes;
};

// Y U Y V, grey: the chroma bytes neutral.
Frame yuy2_frame(const GreyImage& g) {
    Frame f;
    f.format = {sizeof(BITMAPINFOHEADER), g.width, g.height, 1, 16, FOURCC_YUY2, 0, 0, 0, 0, 0};
    f.bytes.assign(g.pixels.size() * 2, 128);
    for (size_t k = 0; k < g.pixels.size(); ++k) f.bytes[2 * k] = g.pixels[k];
    return f;
}

// Bottom-up rows of blue, green, red, padded to a multiple of 16 pixels.
Frame rgb24_frame(const GreyImage& g) {
    Frame f;
    const int row = (g.width + 15) & ~15;
    f.format = {sizeof(BITMAPINFOHEADER), g.width, g.height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    f.bytes.assign(static_cast<size_t>(row) * 3 * g.height, 0);
    for (int y = 0; y < g.height; ++y) {
        BYTE* out = f.bytes.data() + static_cast<size_t>(g.height - 1 - y) * row * 3;
        for (int x = 0; x < g.width; ++x) {
            std::memset(out + 3 * x, g.pixels[static_cast<size_t>(y) * g.width + x], 3);
        }
    }
    return f;
}

// ---- One frame through the worker, in the child process ----

struct Camera {
    ReleaseClock clock;
    bool ready = false;

    void set_up(const BITMAPINFOHEADER& format) {
        set_window_sink(clock.sink());
        const VideoMode mode = {format.biCompression, format.biBitCount, format.biWidth, format.biHeight};
        set_camera_drivers(std::vector<CameraDriver>{
            {"bench", "1.0", [mode] { return std::make_unique<FormatCamera>(mode); }}});
        capture_window = capCreateCaptureWindowA("bench", 0, 0, 0, 0, 0, nullptr, 0);
        ready = capDriverConnect(capture_window, 0) && COstrelAppCore::init_decode_state();
        if (!ready) {
            // The row shows "crash".
            std::fprintf(stderr, "vorden-bench: the capture window or the decode slot could not be made\n");
            std::abort();
        }
    }
};

Round worker_round(Camera& camera, Frame& frame) {
    if (!camera.ready) camera.set_up(frame.format);
    VIDEOHDR header{};
    header.lpData = frame.bytes.data();
    header.dwBufferLength = static_cast<DWORD>(frame.bytes.size());
    header.dwBytesUsed = header.dwBufferLength;
    const double wall0 = wall_ms(), cpu0 = process_cpu_ms();
    on_video_frame(capture_window, &header);
    // Taken again only once the worker has given it back.
    WaitForSingleObject(decode_slot, INFINITE);
    Round r{camera.clock.released_wall - wall0, camera.clock.released_cpu - cpu0, read_state != READ_NOTHING,
            0, 0};
    COstrelAppCore::release_decode_slot();
    return r;
}

// ---- The table ----

void print_row(const Options& o, const std::string& frame, const char* format, const Limited& alone,
               const Limited& worker) {
    const bool ok = !worker.timed_out && !worker.crashed && !worker.rounds.empty();
    const bool alone_ok = !alone.timed_out && !alone.crashed && !alone.rounds.empty();
    char first[16] = "-", cpu[16] = "-", overhead[16] = "-";
    if (!worker.rounds.empty()) std::snprintf(first, sizeof first, "%.3f", worker.rounds[0].wall_ms);
    if (ok) std::snprintf(cpu, sizeof cpu, "%.3f", worker.median_cpu());
    if (ok && alone_ok) {
        std::snprintf(overhead, sizeof overhead, "%.3f", worker.median_wall() - alone.median_wall());
    }
    std::printf("| %-17s | %-6s | %11s | %9s | %10s | %10s | %11s | %4s |\n", frame.c_str(), format,
                limited_ms_text(alone, o.limit_ms).c_str(), first,
                limited_ms_text(worker, o.limit_ms).c_str(), cpu, overhead,
                ok ? (worker.rounds[0].read ? "yes" : "no") : "-");
}

void time_frame(const Options& o, const std::string& name, const GreyImage& image) {
    GreyImage decoded = image;  // what the worker decodes: reduced from 1280 pixels on a side
    tools::reduce_like_camera(decoded);
    const Limited alone =
        run_limited(kRounds, o.limit_ms, [&] { return decode_round(kDecoders[0], decoded); });  // vorden
    for (const bool yuy2 : {true, false}) {
        Frame frame = yuy2 ? yuy2_frame(image) : rgb24_frame(image);
        Camera camera;
        const Limited worker = run_limited(kRounds, o.limit_ms, [&] { return worker_round(camera, frame); });
        print_row(o, name, yuy2 ? "YUY2" : "RGB24", alone, worker);
        std::fflush(stdout);
    }
}

}  // namespace

void camera_section(const Options& o) {
    // The children start from this process's memory: without the blocks an
    // earlier section left warm, their first frame is an application's first.
    decoder_release_memory();
    std::printf(
        "\nCamera worker per frame: from the frame callback's call to the indicator set just before the\n"
        "decode slot's release (thread start, frame copy, luminance, reduction from 1280 pixels on a\n"
        "side, decode, the read recorded),\n"
        "against decode_symbol alone on the image the worker decodes. Wall ms, the median of up to %d\n"
        "frames in a child process (fewer once they add up to %g s; killed when one takes longer);\n"
        "first: the first frame, buffers allocated. CPU: the process's, all threads.\n\n"
        "| frame             | format | decode ms   | first ms  | worker ms  | worker CPU | overhead ms | "
        "read |\n"
        "|-------------------|--------|------------:|----------:|-----------:|-----------:|------------:|----"
        "-:|\n",
        kRounds, o.limit_ms / 1000);
    time_frame(o, "symbol 640x480", symbol_frame(640, 480, 4).image);
    time_frame(o, "symbol 1280x720", symbol_frame(1280, 720, 8).image);
    // Turned past what the designed pass reads: the worker's further
    // strategies read it, within their budget.
    time_frame(o, "turned 640x480", symbol_frame(640, 480, 4, 40).image);
    time_frame(o, "stripes 640x480", diagonal_stripes(640, 480));
    time_frame(o, "stripes 1280x720", diagonal_stripes(1280, 720));
}

}  // namespace vorden::bench
