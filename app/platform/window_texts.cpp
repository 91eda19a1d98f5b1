// Window texts queued for the dialog's thread.
#include "platform/window_texts.h"

#include <atomic>
#include <utility>

namespace ostrel {

namespace {
QueuedWindowTexts queue;
std::atomic<WindowTexts*> installed{&queue};
}  // namespace

void QueuedWindowTexts::SetDlgItemTextA(int control_id, const char* text) {
    {
        std::lock_guard lock(mutex_);
        bool replaced = false;
        for (WindowUpdate& update : pending_) {
            if (update.kind == WindowUpdate::Kind::text && update.control_id == control_id) {
                update.text = text;
                replaced = true;
            }
        }
        if (!replaced) pending_.push_back({WindowUpdate::Kind::text, control_id, 0, text});
    }
    notify();
}

void QueuedWindowTexts::MessageBeep(UINT type) {
    {
        std::lock_guard lock(mutex_);
        for (const WindowUpdate& update : pending_) {
            if (update.kind == WindowUpdate::Kind::beep) return;
        }
        pending_.push_back({WindowUpdate::Kind::beep, 0, type, {}});
    }
    notify();
}

void QueuedWindowTexts::set_notifier(std::function<void()> notifier) {
    std::lock_guard lock(mutex_);
    notifier_ = std::move(notifier);
}

std::vector<WindowUpdate> QueuedWindowTexts::drain() {
    std::lock_guard lock(mutex_);
    return std::exchange(pending_, {});
}

void QueuedWindowTexts::notify() {
    std::function<void()> notifier;
    {
        std::lock_guard lock(mutex_);
        notifier = notifier_;
    }
    if (notifier) notifier();
}

WindowTexts& window_texts() {
    return *installed.load(std::memory_order_acquire);
}

QueuedWindowTexts& queued_window_texts() {
    return queue;
}

WindowTexts* set_window_texts(WindowTexts* texts) {
    return installed.exchange(texts != nullptr ? texts : &queue, std::memory_order_acq_rel);
}

}  // namespace ostrel
