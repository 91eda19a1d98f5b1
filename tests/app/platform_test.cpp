// The Linux platform layer: the decode slot's semaphore and the window-text
// queue.
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
    std::thread releaser([&] { EXPECT_NE(k.ReleaseSemaphore(slot, 1, nullptr), 0); });
    EXPECT_EQ(k.WaitForSingleObject(slot, INFINITE), WAIT_OBJECT_0);
    releaser.join();
    EXPECT_NE(k.ReleaseSemaphore(slot, 1, nullptr), 0);
    EXPECT_EQ(k.ReleaseSemaphore(slot, 1, nullptr), 0);
    EXPECT_EQ(k.GetLastError(), ERROR_TOO_MANY_POSTS);
    EXPECT_NE(k.CloseHandle(slot), 0);
}

TEST(QueuedWindowTexts, KeepsTheNewestTextPerControlAndOneBeepAndNotifiesUnlocked) {
    QueuedWindowTexts queue;
    queue.SetDlgItemTextA(1003, "a");
    queue.MessageBeep(MB_ICONHAND);
    queue.SetDlgItemTextA(1000, "result");
    queue.SetDlgItemTextA(1003, "b");
    queue.MessageBeep(MB_ICONHAND);
    const std::vector<WindowUpdate> updates = queue.drain();
    ASSERT_EQ(updates.size(), 3u);
    EXPECT_EQ(updates[0].text, "b");
    EXPECT_EQ(updates[1].kind, WindowUpdate::Kind::beep);
    EXPECT_EQ(updates[2].text, "result");

    // A dialog that drains straight from the notifier must not deadlock.
    std::vector<std::string> applied;
    queue.set_notifier([&] {
        for (const WindowUpdate& update : queue.drain()) applied.push_back(update.text);
    });
    queue.SetDlgItemTextA(1000, "x");
    queue.SetDlgItemTextA(1000, "y");
    EXPECT_EQ(applied, (std::vector<std::string>{"x", "y"}));
}

}  // namespace
}  // namespace ostrel::test
