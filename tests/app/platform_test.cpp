// The Linux platform layer: semaphores, thread stacks, the window-text queue
// and capture window handles.
#include <pthread.h>

#include <string>
#include <thread>
#include <vector>

#include "fakes.h"

namespace ostrel::test {
namespace {

TEST(LinuxKernel, SemaphoreHasOnePermitRefusesASecondReleaseAndWakesAWaiter) {
    LinuxKernel k;
    HANDLE slot = k.CreateSemaphoreA(1, 1);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(k.WaitForSingleObject(slot, 0), WAIT_OBJECT_0);
    EXPECT_EQ(k.WaitForSingleObject(slot, 0), WAIT_TIMEOUT);
    EXPECT_EQ(k.WaitForSingleObject(slot, 20), WAIT_TIMEOUT);
    LONG previous = -1;
    EXPECT_NE(k.ReleaseSemaphore(slot, 1, &previous), 0);
    EXPECT_EQ(previous, 0);
    EXPECT_EQ(k.ReleaseSemaphore(slot, 1, nullptr), 0);
    EXPECT_EQ(k.GetLastError(), ERROR_TOO_MANY_POSTS);
    EXPECT_EQ(k.WaitForSingleObject(slot, INFINITE), WAIT_OBJECT_0);
    EXPECT_NE(k.CloseHandle(slot), 0);

    EXPECT_EQ(k.WaitForSingleObject(nullptr, 0), WAIT_FAILED);
    EXPECT_EQ(k.GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(k.ReleaseSemaphore(nullptr, 1, nullptr), 0);
    EXPECT_EQ(k.CreateSemaphoreA(2, 1), nullptr);
    EXPECT_EQ(k.GetLastError(), ERROR_INVALID_PARAMETER);

    // A release from another thread wakes a waiter.
    slot = k.CreateSemaphoreA(0, 1);
    std::thread releaser([&] { EXPECT_NE(k.ReleaseSemaphore(slot, 1, nullptr), 0); });
    EXPECT_EQ(k.WaitForSingleObject(slot, INFINITE), WAIT_OBJECT_0);
    releaser.join();
    k.CloseHandle(slot);
}

struct StackProbe {
    HANDLE done;
    size_t stack_size = 0;
};

void measure_stack(void* parameter) {
    auto* probe = static_cast<StackProbe*>(parameter);
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
        pthread_attr_getstacksize(&attributes, &probe->stack_size);
        pthread_attr_destroy(&attributes);
    }
    LinuxKernel().ReleaseSemaphore(probe->done, 1, nullptr);
}

TEST(LinuxKernel, ThreadsGetTheStackAskedFor) {
    LinuxKernel k;
    StackProbe probe{k.CreateSemaphoreA(0, 1)};
    ASSERT_NE(k.start_thread(measure_stack, &probe, WORKER_STACK_SIZE), 0);
    EXPECT_EQ(k.WaitForSingleObject(probe.done, INFINITE), WAIT_OBJECT_0);
    EXPECT_GE(probe.stack_size, WORKER_STACK_SIZE);
    EXPECT_LT(probe.stack_size, 2 * WORKER_STACK_SIZE);

    // A stack too small to run on is refused, with a reason.
    EXPECT_EQ(k.start_thread(measure_stack, &probe, 1), 0);
    EXPECT_EQ(k.GetLastError(), ERROR_INVALID_PARAMETER);
    k.CloseHandle(probe.done);
}

TEST(QueuedWindowTexts, KeepsTheNewestTextPerControlAndOneBeepAndNotifiesUnlocked) {
    QueuedWindowTexts queue;
    queue.SetDlgItemTextA(1003, "a");
    queue.MessageBeep(MB_ICONHAND);
    queue.SetDlgItemTextA(1000, "result");
    queue.SetDlgItemTextA(1003, "b");
    queue.MessageBeep(MB_ICONHAND);
    std::vector<WindowUpdate> updates = queue.drain();
    ASSERT_EQ(updates.size(), 3u);
    EXPECT_EQ(updates[0].control_id, 1003);
    EXPECT_EQ(updates[0].text, "b");
    EXPECT_EQ(updates[1].kind, WindowUpdate::Kind::beep);
    EXPECT_EQ(updates[1].beep_type, MB_ICONHAND);
    EXPECT_EQ(updates[2].text, "result");
    EXPECT_TRUE(queue.drain().empty());

    // A dialog that drains straight from the notifier must not deadlock.
    std::vector<std::string> applied;
    queue.set_notifier([&] {
        for (const WindowUpdate& update : queue.drain()) applied.push_back(update.text);
    });
    queue.SetDlgItemTextA(1000, "x");
    queue.SetDlgItemTextA(1000, "y");
    EXPECT_EQ(applied, (std::vector<std::string>{"x", "y"}));
}

TEST(CaptureWindows, DestroyedHandlesAnswerNothingAndAreNotReused) {
    auto camera = std::make_shared<FakeCaptureWindow>();
    camera->block_size = 40;
    std::weak_ptr<FakeCaptureWindow> watch = camera;
    HWND window = register_capture_window(std::move(camera));
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(watch.lock()->handle(), window);
    EXPECT_NE(IsWindow(window), 0);
    EXPECT_EQ(capGetVideoFormatSize(window), 40u);

    EXPECT_NE(DestroyWindow(window), 0);
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(IsWindow(window), 0);
    EXPECT_EQ(SendMessageA(window, WM_CAP_GET_VIDEOFORMAT, 0, 0), 0);
    EXPECT_EQ(DestroyWindow(window), 0);
    HWND next = register_capture_window(std::make_shared<FakeCaptureWindow>());
    EXPECT_NE(next, window);
    DestroyWindow(next);
}

}  // namespace
}  // namespace ostrel::test
