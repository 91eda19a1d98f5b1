// Kernel services on Linux: a mutex-and-condition semaphore, POSIX threads
// and malloc; and the window sink that the worker's window calls post to.
#include <pthread.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "platform/win32.h"

namespace ostrel {

KernelFaults kernel_faults;

namespace {

struct Semaphore {
    std::mutex mutex;
    std::condition_variable available;
    LONG count;
    LONG maximum;
};

struct ThreadStart {
    void (*start)(void*);
    void* parameter;
};

thread_local DWORD last_error = 0;

BOOL fail(DWORD error) {
    last_error = error;
    return 0;
}

void* run_thread(void* record) {
    const ThreadStart start = *static_cast<ThreadStart*>(record);
    delete static_cast<ThreadStart*>(record);
    start.start(start.parameter);
    return nullptr;
}

std::mutex sink_mutex;
WindowSink window_sink;

WindowSink current_sink() {
    std::lock_guard lock(sink_mutex);
    return window_sink;
}

}  // namespace

HANDLE CreateSemaphoreA(LONG initial_count, LONG maximum_count) {
    if (maximum_count <= 0 || initial_count < 0 || initial_count > maximum_count) {
        fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* semaphore = new (std::nothrow) Semaphore{{}, {}, initial_count, maximum_count};
    if (semaphore == nullptr) fail(ERROR_NOT_ENOUGH_MEMORY);
    return semaphore;
}

BOOL CloseHandle(HANDLE semaphore) {
    if (semaphore == nullptr) return fail(ERROR_INVALID_PARAMETER);
    delete static_cast<Semaphore*>(semaphore);
    return 1;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    if (handle == nullptr) {
        fail(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    auto* semaphore = static_cast<Semaphore*>(handle);
    std::unique_lock lock(semaphore->mutex);
    auto has_permit = [semaphore] { return semaphore->count > 0; };
    if (milliseconds == INFINITE) {
        semaphore->available.wait(lock, has_permit);
    } else if (!semaphore->available.wait_for(lock, std::chrono::milliseconds(milliseconds), has_permit)) {
        return WAIT_TIMEOUT;
    }
    --semaphore->count;
    return WAIT_OBJECT_0;
}

BOOL ReleaseSemaphore(HANDLE handle, LONG release_count, LONG* previous_count) {
    if (handle == nullptr) return fail(ERROR_INVALID_PARAMETER);
    if (release_count <= 0) return fail(ERROR_INVALID_PARAMETER);
    auto* semaphore = static_cast<Semaphore*>(handle);
    std::lock_guard lock(semaphore->mutex);
    if (release_count > semaphore->maximum - semaphore->count) return fail(ERROR_TOO_MANY_POSTS);
    if (previous_count != nullptr) *previous_count = semaphore->count;
    semaphore->count += release_count;
    // Under the lock: the thread that takes the permit may close the
    // semaphore as soon as it has it.
    semaphore->available.notify_all();
    return 1;
}

DWORD GetLastError() {
    return last_error;
}

void Sleep(DWORD milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

BOOL start_thread(void (*start)(void*), void* parameter, SIZE_T stack_size) {
    if (kernel_faults.refuse_threads) return fail(ERROR_NOT_ENOUGH_MEMORY);
    auto* record = new (std::nothrow) ThreadStart{start, parameter};
    if (record == nullptr) return fail(ERROR_NOT_ENOUGH_MEMORY);
    pthread_attr_t attributes;
    int error = pthread_attr_init(&attributes);
    if (error == 0) {
        error = pthread_attr_setstacksize(&attributes, stack_size);
        if (error == 0) error = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        pthread_t thread;
        if (error == 0) error = pthread_create(&thread, &attributes, run_thread, record);
        pthread_attr_destroy(&attributes);
    }
    if (error == 0) return 1;
    delete record;
    return fail(error == EINVAL ? ERROR_INVALID_PARAMETER : ERROR_NOT_ENOUGH_MEMORY);
}

void* HeapAlloc(SIZE_T bytes) {
    if (kernel_faults.refuse_alloc && kernel_faults.refuse_alloc(bytes)) return nullptr;
    return std::malloc(bytes);
}

BOOL HeapFree(void* block) {
    std::free(block);
    return 1;
}

void SetDlgItemTextA(int control_id, const char* text) {
    const WindowSink sink = current_sink();
    if (sink.set_text) sink.set_text(control_id, text);
}

BOOL MessageBeep(UINT type) {
    const WindowSink sink = current_sink();
    if (sink.beep) sink.beep(type);
    return 1;
}

void set_window_sink(WindowSink sink) {
    std::lock_guard lock(sink_mutex);
    window_sink = std::move(sink);
}

}  // namespace ostrel
