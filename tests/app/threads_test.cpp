// The hand-off on real threads: capture threads delivering frames during a
// held decode, and the shutdown wait. Run under ThreadSanitizer by
// scripts/test.
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
std::atomic<bool> first_image_intact{false};

uint8_t first_luma(int x, int y) {
    return static_cast<uint8_t>(x * 16 + y);
}

// Holds the first decode until the test opens the gate, and notes whether it
// still sees its own frame then.
const char* held_decode(const uint8_t* image, int32_t width, int32_t height, int32_t, FILE*) {
    if (decode_calls++ == 0) {
        std::unique_lock lock(gate_mutex);
        decode_entered = true;
        gate_changed.notify_all();
        gate_changed.wait(lock, [] { return gate_open; });
        bool intact = width == 16 && height == 4;
        for (int k = 0; intact && k < width * height; ++k) intact = image[k] == first_luma(k % 16, k / 16);
        first_image_intact = intact;
    }
    return "A";
}

// Two capture threads deliver frames as fast as they can while the first
// decode is held: every frame that finds the slot taken is dropped without a
// trace. The shutdown wait then lasts until the held worker is done.
TEST_F(CoreTest, BurstDuringAHeldDecodeIsDroppedAndShutdownWaitsForTheWorker) {
    frame_decoder = held_decode;
    decode_calls = 0;
    decode_entered = gate_open = first_image_intact = false;
    std::vector<uint8_t> first = yuy2_frame(16, 4, first_luma);
    hand(first, 0);
    {
        std::unique_lock lock(gate_mutex);
        gate_changed.wait(lock, [] { return decode_entered; });
    }
    // Larger frames from now on: taking one would grow the buffers under
    // the held decode.
    set_mode(yuy2_mode(32, 8));
    std::atomic<int> fed{0};
    std::vector<std::thread> capture_threads;
    for (int k = 0; k < 2; ++k) {
        capture_threads.emplace_back([&] {
            std::vector<uint8_t> frame = yuy2_frame(32, 8, [](int, int) { return 200; });
            while (fed++ < 400) hand(frame, 0);
        });
    }
    for (std::thread& thread : capture_threads) thread.join();
    EXPECT_EQ(frame_copy_size, 128) << "a dropped frame grew the buffers";
    EXPECT_TRUE(texts_.take().empty());

    std::thread opener([] {
        std::lock_guard lock(gate_mutex);
        gate_open = true;
        gate_changed.notify_all();
    });
    COstrelAppCore::wait_for_decode_worker();
    opener.join();
    EXPECT_EQ(decode_calls, 1);
    EXPECT_TRUE(first_image_intact);
    EXPECT_EQ(texts_.take(), std::vector<std::string>{"1003 " + kTriangle});
    EXPECT_TRUE(slot_is_free());
}

}  // namespace
}  // namespace ostrel::test
