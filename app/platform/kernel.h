// Kernel services: semaphores, threads, sleep, the last error and the process
// heap, behind one narrow interface so that tests can put a recording fake in
// place of the Linux implementation.
#ifndef OSTREL_PLATFORM_KERNEL_H
#define OSTREL_PLATFORM_KERNEL_H

#include "platform/win_types.h"

namespace ostrel {

constexpr DWORD INFINITE = 0xFFFFFFFF;

// WaitForSingleObject results.
constexpr DWORD WAIT_OBJECT_0 = 0x00000000;   // obtained
constexpr DWORD WAIT_ABANDONED = 0x00000080;  // the object's owner is gone
constexpr DWORD WAIT_TIMEOUT = 0x00000102;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;  // not a valid object; see GetLastError

// Last-error codes.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_TOO_MANY_POSTS = 298;

using ThreadProc = void (*)(void* parameter);

class Kernel {
  public:
    virtual ~Kernel() = default;

    // An unnamed counting semaphore; null (and a last error) on failure.
    virtual HANDLE CreateSemaphoreA(LONG initial_count, LONG maximum_count) = 0;
    // Nobody may be waiting on the object when it is closed.
    virtual BOOL CloseHandle(HANDLE object) = 0;
    // Takes one permit, waiting at most `milliseconds` (INFINITE for no
    // limit). Returns WAIT_OBJECT_0, WAIT_TIMEOUT, WAIT_ABANDONED or
    // WAIT_FAILED.
    virtual DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) = 0;
    // Adds permits; fails (zero, with a last error) when that would pass the
    // maximum count. `previous_count` may be null.
    virtual BOOL ReleaseSemaphore(HANDLE semaphore, LONG release_count, LONG* previous_count) = 0;
    // The calling thread's last error code.
    virtual DWORD GetLastError() = 0;

    // Starts a detached thread running start(parameter) on a stack of
    // `stack_size` bytes. Zero (and a last error) when it could not start.
    virtual BOOL start_thread(ThreadProc start, void* parameter, SIZE_T stack_size) = 0;
    virtual void Sleep(DWORD milliseconds) = 0;

    // The process heap.
    virtual void* HeapAlloc(SIZE_T bytes) = 0;
    virtual void* HeapReAlloc(void* block, SIZE_T bytes) = 0;
    virtual BOOL HeapFree(void* block) = 0;
};

// POSIX threads, a mutex-and-condition semaphore, malloc/realloc/free. A
// semaphore is never abandoned here: WAIT_ABANDONED does not occur, and a
// null handle gives WAIT_FAILED with ERROR_INVALID_HANDLE.
class LinuxKernel final : public Kernel {
  public:
    HANDLE CreateSemaphoreA(LONG initial_count, LONG maximum_count) override;
    BOOL CloseHandle(HANDLE object) override;
    DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) override;
    BOOL ReleaseSemaphore(HANDLE semaphore, LONG release_count, LONG* previous_count) override;
    DWORD GetLastError() override;
    BOOL start_thread(ThreadProc start, void* parameter, SIZE_T stack_size) override;
    void Sleep(DWORD milliseconds) override;
    void* HeapAlloc(SIZE_T bytes) override;
    void* HeapReAlloc(void* block, SIZE_T bytes) override;
    BOOL HeapFree(void* block) override;
};

// The services in use: a LinuxKernel unless one was installed.
Kernel& kernel();
// Installs `services` (null: the LinuxKernel again) and returns the previous
// one. Install before any thread that uses the services starts.
Kernel* set_kernel(Kernel* services);

// The calls as the application code names them.
inline HANDLE CreateSemaphoreA(LONG initial_count, LONG maximum_count) {
    return kernel().CreateSemaphoreA(initial_count, maximum_count);
}
inline BOOL CloseHandle(HANDLE object) {
    return kernel().CloseHandle(object);
}
inline DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
    return kernel().WaitForSingleObject(object, milliseconds);
}
inline BOOL ReleaseSemaphore(HANDLE semaphore, LONG release_count, LONG* previous_count) {
    return kernel().ReleaseSemaphore(semaphore, release_count, previous_count);
}
inline DWORD GetLastError() {
    return kernel().GetLastError();
}
inline void Sleep(DWORD milliseconds) {
    kernel().Sleep(milliseconds);
}
inline void* HeapAlloc(SIZE_T bytes) {
    return kernel().HeapAlloc(bytes);
}
inline void* HeapReAlloc(void* block, SIZE_T bytes) {
    return kernel().HeapReAlloc(block, bytes);
}
inline BOOL HeapFree(void* block) {
    return kernel().HeapFree(block);
}

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_KERNEL_H
