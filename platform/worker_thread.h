// A worker thread of the modules' own (a connection's receiver, a server's connection), with
// a stack of a chosen size, started and joined by its owner. It is started through
// _beginthreadex, the C runtime's on Windows and the platform layer's elsewhere, because
// std::thread takes the system's default stack (8 MiB on Linux): a 32-bit process with a few
// hundred channels would run out of address space. Header-only, so that it serves the
// Windows builds, where the platform layer is not built, too.
#ifndef KSYM_PLATFORM_WORKER_THREAD_H
#define KSYM_PLATFORM_WORKER_THREAD_H

#include <functional>
#include <memory>
#include <new>

#include "platform/win32.h"

namespace kplatform {

// Enough for the modules' workers, whose buffers live on the heap.
inline constexpr unsigned kWorkerStackSize = 512 * 1024;

class WorkerThread {
public:
    WorkerThread() = default;
    ~WorkerThread() { Join(); }
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Runs `body` on a new thread. False when no thread could be started (or one runs).
    bool Start(std::function<void()> body, unsigned stackSize = kWorkerStackSize) noexcept {
        if (handle_ != nullptr || !body) {
            return false;
        }
        auto* task = new (std::nothrow) std::function<void()>();
        if (task == nullptr) {
            return false;
        }
        task->swap(body);
        const uintptr_t handle = _beginthreadex(nullptr, stackSize, &Run, task, 0, nullptr);
        if (handle == 0) {
            delete task;
            return false;
        }
        handle_ = reinterpret_cast<HANDLE>(handle);
        return true;
    }

    // Waits for the thread's end; nothing when none was started.
    void Join() noexcept {
        if (handle_ != nullptr) {
            WaitForSingleObject(handle_, INFINITE);
            CloseHandle(handle_);
            handle_ = nullptr;
        }
    }

private:
    static unsigned __stdcall Run(void* task) {
        const std::unique_ptr<std::function<void()>> body(
            static_cast<std::function<void()>*>(task));
        (*body)();
        return 0;
    }

    HANDLE handle_ = nullptr;
};

} // namespace kplatform

#endif
