// The hand-off on real threads: a capture thread delivering frames, workers
// started on their own stacks, and the shutdown wait. Run under
// ThreadSanitizer by scripts/test.
#include <atomic>
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

// Holds the worker inside the decoder until the test opens the gate.
const char* gated_decode(const uint8_t*, int32_t, int32_t, int32_t, FILE*) {
    std::unique_lock lock(gate_mutex);
    decode_entered = true;
    gate_changed.notify_all();
    gate_changed.wait(lock, [] { return gate_open; });
    ++decode_calls;
    return "A";
}

const char* counting_decode(const uint8_t*, int32_t, int32_t, int32_t, FILE*) {
    ++decode_calls;
    return "A";
}

class ThreadedTest : public CoreTest {
  protected:
    void SetUp() override {
        CoreTest::SetUp();
        kernel_.threads = RecordingKernel::Threads::real;
        decode_calls = 0;
        decode_entered = gate_open = false;
    }
    std::vector<uint8_t> frame() {
        return yuy2_frame(16, 4, [](int x, int y) { return x * 16 + y; });
    }
};

TEST_F(ThreadedTest, FrameDuringARunningDecodeIsDroppedAndShutdownWaitsForTheWorker) {
    frame_decoder = gated_decode;
    feed(frame());
    {
        std::unique_lock lock(gate_mutex);
        gate_changed.wait(lock, [] { return decode_entered; });
    }
    feed(frame());
    EXPECT_EQ(camera_->format_messages, 2);
    EXPECT_TRUE(texts_.take().empty());

    std::thread opener([] {
        std::lock_guard lock(gate_mutex);
        gate_open = true;
        gate_changed.notify_all();
    });
    COstrelAppCore::wait_for_decode_worker();
    opener.join();
    EXPECT_EQ(decode_calls, 1);
    EXPECT_EQ(texts_.take(), std::vector<std::string>{"1003 " + kTriangle});
    EXPECT_EQ(kernel_.stack_sizes, std::vector<SIZE_T>{WORKER_STACK_SIZE});
    EXPECT_TRUE(slot_is_free());
}

TEST_F(ThreadedTest, CameraRateFramesReachTheDialogQueueWhileItDrains) {
    frame_decoder = counting_decode;
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

    int beeps = 0;
    int results = 0;
    std::string indicator;
    for (const WindowUpdate& update : seen) {
        if (update.kind == WindowUpdate::Kind::beep) ++beeps;
        if (update.kind == WindowUpdate::Kind::text && update.control_id == 1000) ++results;
        if (update.kind == WindowUpdate::Kind::text && update.control_id == 1003) indicator = update.text;
    }
    EXPECT_EQ(beeps, 1);
    EXPECT_EQ(results, 1);
    EXPECT_EQ(indicator, kCircle);
    EXPECT_STREQ(shown_text, "A");
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
