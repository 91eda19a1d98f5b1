// The hand-off on real threads: capture threads delivering frames, workers
// started on their own stacks, and the shutdown wait. Run under
// ThreadSanitizer by scripts/test.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fakes.h"

namespace ostrel::test {
namespace {

std::mutex gate_mutex;
std::condition_variable gate_changed;
bool decode_entered = false;
bool gate_open = false;
std::atomic<int> decode_calls{0};
std::atomic<int> decoders_inside{0};
std::atomic<int> most_inside{0};
std::atomic<bool> first_image_intact{false};
std::vector<uint8_t> first_image;

// Holds the first decode until the test opens the gate, and notes whether it
// still sees its own frame then; counts the decodes running at once.
const char* held_decode(const uint8_t* image, int32_t width, int32_t height, int32_t, FILE*) {
    const int inside = ++decoders_inside;
    for (int most = most_inside; inside > most && !most_inside.compare_exchange_weak(most, inside);) {
    }
    if (decode_calls == 0) {
        std::unique_lock lock(gate_mutex);
        decode_entered = true;
        gate_changed.notify_all();
        gate_changed.wait(lock, [] { return gate_open; });
        first_image_intact =
            std::vector<uint8_t>(image, image + static_cast<size_t>(width) * height) == first_image;
    }
    ++decode_calls;
    --decoders_inside;
    return "A";
}

class ThreadedTest : public CoreTest {
  protected:
    void SetUp() override {
        CoreTest::SetUp();
        kernel_.threads = RecordingKernel::Threads::real;
        frame_decoder = held_decode;
        decode_calls = decoders_inside = most_inside = 0;
        decode_entered = gate_open = first_image_intact = false;
        first_image.clear();
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 16; ++x) first_image.push_back(static_cast<uint8_t>(x * 16 + y));
    }
    static void open_gate() {
        std::lock_guard lock(gate_mutex);
        gate_open = true;
        gate_changed.notify_all();
    }
    std::vector<uint8_t> frame() {
        return yuy2_frame(16, 4, [](int x, int y) { return x * 16 + y; });
    }
};

// Two capture threads deliver frames as fast as they can while the first
// decode is held: every frame that finds the slot taken is dropped without a
// trace. The shutdown wait then lasts until the held worker is done.
TEST_F(ThreadedTest, BurstDuringAHeldDecodeIsDroppedAndShutdownWaitsForTheWorker) {
    feed(frame());
    {
        std::unique_lock lock(gate_mutex);
        gate_changed.wait(lock, [] { return decode_entered; });
    }
    // Larger frames from now on: taking one would grow the buffers under
    // the held decode.
    camera_->set_format(FOURCC_YUY2, 16, 32, 8);
    const int allocations = kernel_.allocations;
    std::atomic<int> fed{0};
    std::vector<std::thread> capture_threads;
    for (int k = 0; k < 2; ++k) {
        capture_threads.emplace_back([&] {
            while (fed < 400) {
                feed(yuy2_frame(32, 8, [](int, int) { return 200; }));
                ++fed;
            }
        });
    }
    for (std::thread& thread : capture_threads) thread.join();
    EXPECT_EQ(camera_->format_messages, 2) << "a dropped frame asked for the format";
    EXPECT_EQ(kernel_.allocations, allocations);
    EXPECT_TRUE(texts_.take().empty());

    std::thread opener(open_gate);
    COstrelAppCore::wait_for_decode_worker();
    opener.join();
    EXPECT_EQ(decode_calls, 1);
    EXPECT_TRUE(first_image_intact);
    EXPECT_EQ(texts_.take(), std::vector<std::string>{"1003 " + kTriangle});
    EXPECT_EQ(kernel_.stack_sizes, std::vector<SIZE_T>{WORKER_STACK_SIZE});
    EXPECT_TRUE(slot_is_free());
    EXPECT_EQ(kernel_.live_blocks(), 2u) << "only the two frame buffers stay";
}

// At camera rate, one worker at a time, each with a format request of its
// own, confirming through the dialog's queue while it drains.
TEST_F(ThreadedTest, CameraRateFramesReachTheDialogQueueOneDecodeAtATime) {
    open_gate();
    QueuedWindowTexts queue;
    set_window_texts(&queue);
    std::atomic<bool> capturing{true};
    std::thread capture([&] {
        while (decode_calls < 20) {
            feed(frame());
            Sleep(2);
        }
        capturing = false;
    });
    std::vector<WindowUpdate> seen;
    auto drain = [&] {
        for (WindowUpdate& update : queue.drain()) seen.push_back(std::move(update));
    };
    while (capturing) {
        drain();
        Sleep(1);
    }
    capture.join();
    COstrelAppCore::wait_for_decode_worker();
    drain();

    int beeps = 0, results = 0;
    std::string indicator;
    for (const WindowUpdate& update : seen) {
        beeps += update.kind == WindowUpdate::Kind::beep;
        if (update.kind == WindowUpdate::Kind::text && update.control_id == 1000) ++results;
        if (update.kind == WindowUpdate::Kind::text && update.control_id == 1003) indicator = update.text;
    }
    EXPECT_EQ(beeps, 1);
    EXPECT_EQ(results, 1);
    EXPECT_EQ(indicator, kCircle);
    EXPECT_STREQ(shown_text, "A");
    EXPECT_EQ(most_inside, 1);
    EXPECT_EQ(kernel_.stack_sizes.size(), static_cast<size_t>(decode_calls.load()));
    EXPECT_EQ(camera_->format_messages, 2 * decode_calls);
}

TEST_F(CoreTest, ShutdownWaitStopsWhenTheSlotIsAbandoned) {
    kernel_.scripted_waits = {WAIT_TIMEOUT, WAIT_TIMEOUT, WAIT_ABANDONED};
    testing::internal::CaptureStdout();
    COstrelAppCore::wait_for_decode_worker();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "WAIT_ABONDONED\n");
    EXPECT_EQ(kernel_.wait_timeouts, (std::vector<DWORD>{1000, 1000, 1000}));
}

}  // namespace
}  // namespace ostrel::test
