// Window texts and the beep: what the decode worker changes in the dialog.
// Every call returns at once and reaches the dialog on the dialog's own
// thread later, because the dialog's thread may be blocked waiting for the
// decode slot that the calling worker is about to give back.
#ifndef OSTREL_PLATFORM_WINDOW_TEXTS_H
#define OSTREL_PLATFORM_WINDOW_TEXTS_H

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/win_types.h"

namespace ostrel {

constexpr UINT MB_ICONHAND = 0x00000010;

class WindowTexts {
  public:
    virtual ~WindowTexts() = default;
    // Sets the text of the main dialog's control `control_id` to the bytes
    // of `text` up to its first NUL (copied before the call returns).
    virtual void SetDlgItemTextA(int control_id, const char* text) = 0;
    virtual void MessageBeep(UINT type) = 0;
};

struct WindowUpdate {
    enum class Kind { text, beep };
    Kind kind;
    int control_id;  // for text
    UINT beep_type;  // for beep
    std::string text;
};

// Collects updates for the dialog's thread to apply (drain). Only the newest
// text of a control and one beep are kept pending, so a dialog that is slow
// to drain, or never drains, holds a bounded amount.
class QueuedWindowTexts final : public WindowTexts {
  public:
    void SetDlgItemTextA(int control_id, const char* text) override;
    void MessageBeep(UINT type) override;

    // Called on the posting thread after each update is queued, without a
    // lock held; it must not block (wxApp::CallAfter of a drain qualifies).
    void set_notifier(std::function<void()> notifier);
    // The pending updates in the order they were first posted.
    std::vector<WindowUpdate> drain();

  private:
    void notify();

    std::mutex mutex_;
    std::vector<WindowUpdate> pending_;
    std::function<void()> notifier_;
};

// The window texts in use: the process's QueuedWindowTexts unless one was
// installed.
WindowTexts& window_texts();
QueuedWindowTexts& queued_window_texts();
// Installs `texts` (null: the queue again) and returns the previous one.
// Install before any thread that uses them starts.
WindowTexts* set_window_texts(WindowTexts* texts);

inline void SetDlgItemTextA(int control_id, const char* text) {
    window_texts().SetDlgItemTextA(control_id, text);
}
inline BOOL MessageBeep(UINT type) {
    window_texts().MessageBeep(type);
    return 1;
}

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_WINDOW_TEXTS_H
