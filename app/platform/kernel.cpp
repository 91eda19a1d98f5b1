// Kernel services on Linux.
#include "platform/kernel.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <thread>

namespace ostrel {

namespace {

struct Semaphore {
    std::mutex mutex;
    std::condition_variable available;
    LONG count;
    LONG maximum;
};

struct ThreadStart {
    ThreadProc start;
    void* parameter;
};

thread_local DWORD last_error = ERROR_SUCCESS;

void* run_thread(void* record) {
    ThreadStart start = *static_cast<ThreadStart*>(record);
    delete static_cast<ThreadStart*>(record);
    start.start(start.parameter);
    return nullptr;
}

DWORD error_from_errno(int error) {
    return error == EINVAL ? ERROR_INVALID_PARAMETER : ERROR_NOT_ENOUGH_MEMORY;
}

LinuxKernel linux_kernel;
std::atomic<Kernel*> installed{&linux_kernel};

}  // namespace

HANDLE LinuxKernel::CreateSemaphoreA(LONG initial_count, LONG maximum_count) {
    if (maximum_count <= 0 || initial_count < 0 || initial_count > maximum_count) {
        last_error = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    auto* semaphore = new (std::nothrow) Semaphore;
    if (semaphore == nullptr) {
        last_error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    semaphore->count = initial_count;
    semaphore->maximum = maximum_count;
    return semaphore;
}

BOOL LinuxKernel::CloseHandle(HANDLE object) {
    if (object == nullptr) {
        last_error = ERROR_INVALID_HANDLE;
        return 0;
    }
    delete static_cast<Semaphore*>(object);
    return 1;
}

DWORD LinuxKernel::WaitForSingleObject(HANDLE object, DWORD milliseconds) {
    if (object == nullptr) {
        last_error = ERROR_INVALID_HANDLE;
        return WAIT_FAILED;
    }
    auto* semaphore = static_cast<Semaphore*>(object);
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

BOOL LinuxKernel::ReleaseSemaphore(HANDLE semaphore_handle, LONG release_count, LONG* previous_count) {
    if (semaphore_handle == nullptr) {
        last_error = ERROR_INVALID_HANDLE;
        return 0;
    }
    if (release_count <= 0) {
        last_error = ERROR_INVALID_PARAMETER;
        return 0;
    }
    auto* semaphore = static_cast<Semaphore*>(semaphore_handle);
    std::lock_guard lock(semaphore->mutex);
    if (release_count > semaphore->maximum - semaphore->count) {
        last_error = ERROR_TOO_MANY_POSTS;
        return 0;
    }
    if (previous_count != nullptr) *previous_count = semaphore->count;
    semaphore->count += release_count;
    // Notified under the lock: the thread that takes the permit may close
    // the semaphore as soon as it has it.
    semaphore->available.notify_all();
    return 1;
}

DWORD LinuxKernel::GetLastError() {
    return last_error;
}

BOOL LinuxKernel::start_thread(ThreadProc start, void* parameter, SIZE_T stack_size) {
    auto* record = new (std::nothrow) ThreadStart{start, parameter};
    if (record == nullptr) {
        last_error = ERROR_NOT_ENOUGH_MEMORY;
        return 0;
    }
    pthread_attr_t attributes;
    int error = pthread_attr_init(&attributes);
    if (error == 0) {
        error = pthread_attr_setstacksize(&attributes, stack_size);
        if (error == 0) error = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        pthread_t thread;
        if (error == 0) error = pthread_create(&thread, &attributes, run_thread, record);
        pthread_attr_destroy(&attributes);
    }
    if (error != 0) {
        delete record;
        last_error = error_from_errno(error);
        return 0;
    }
    return 1;
}

void LinuxKernel::Sleep(DWORD milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void* LinuxKernel::HeapAlloc(SIZE_T bytes) {
    return std::malloc(bytes);
}

void* LinuxKernel::HeapReAlloc(void* block, SIZE_T bytes) {
    return std::realloc(block, bytes);
}

BOOL LinuxKernel::HeapFree(void* block) {
    std::free(block);
    return 1;
}

Kernel& kernel() {
    return *installed.load(std::memory_order_acquire);
}

Kernel* set_kernel(Kernel* services) {
    return installed.exchange(services != nullptr ? services : &linux_kernel, std::memory_order_acq_rel);
}

}  // namespace ostrel
