// Capture window handles. A handle maps to a shared owner of its window, so
// a message already on its way keeps the window alive across a concurrent
// DestroyWindow, and a destroyed handle answers 0 instead of dangling.
#include "platform/capture.h"

#include <mutex>
#include <unordered_map>
#include <utility>

namespace ostrel {

namespace {

std::mutex registry_mutex;
std::unordered_map<HWND, std::shared_ptr<CaptureWindow>> registry;
uintptr_t last_handle = 0;

}  // namespace

std::shared_ptr<CaptureWindow> find_window(HWND window) {
    std::lock_guard lock(registry_mutex);
    auto found = registry.find(window);
    return found == registry.end() ? nullptr : found->second;
}

HWND register_capture_window(std::shared_ptr<CaptureWindow> window) {
    if (window == nullptr) return nullptr;
    std::lock_guard lock(registry_mutex);
    // Never reused, so a stale handle cannot reach a newer window.
    ++last_handle;
    HWND handle = reinterpret_cast<HWND>(last_handle);
    window->handle_ = handle;
    registry.emplace(handle, std::move(window));
    return handle;
}

BOOL DestroyWindow(HWND window) {
    std::shared_ptr<CaptureWindow> released = find_window(window);
    if (released == nullptr) return 0;
    // The window winds down here, on the destroying thread: a message still
    // being delivered on another thread may hold the last reference, and
    // the window must not be left to end on that thread.
    released->WindowProc(WM_DESTROY, 0, 0);
    {
        std::lock_guard lock(registry_mutex);
        auto found = registry.find(window);
        if (found == registry.end()) return 0;
        registry.erase(found);
    }
    // The window is destroyed here, outside the lock, unless a message is
    // still being delivered to it.
    return 1;
}

BOOL IsWindow(HWND window) {
    return find_window(window) != nullptr;
}

LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    std::shared_ptr<CaptureWindow> target = find_window(window);
    return target == nullptr ? 0 : target->WindowProc(message, wParam, lParam);
}

}  // namespace ostrel
