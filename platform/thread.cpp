// Threads started with _beginthreadex: detached std::threads whose handle is signalled when
// the start function has returned.
#include <atomic>
#include <cerrno>
#include <system_error>
#include <thread>

#include "platform/c_boundary.h"
#include "platform/event.h"
#include "platform/handle_table.h"

namespace kplatform {

namespace {

class Thread : public Waitable {
public:
    explicit Thread(DWORD id) : id_(id) {}
    DWORD id() const { return id_; }
    void finished() { done_.set(); }
    DWORD wait(DWORD milliseconds) override { return done_.wait(milliseconds); }

private:
    const DWORD id_;
    Event done_{true, false};
};

std::atomic<DWORD> g_last_thread_id{0};
std::atomic<int> g_failing_starts{0};

DWORD new_thread_id() {
    return g_last_thread_id.fetch_add(1, std::memory_order_relaxed) + 1;
}

// 0 until the thread asks for its id or was started by _beginthreadex, which knows it first.
thread_local DWORD t_thread_id = 0;

bool take_failing_start() {
    int count = g_failing_starts.load(std::memory_order_relaxed);
    while (count > 0) {
        if (g_failing_starts.compare_exchange_weak(count, count - 1, std::memory_order_relaxed))
            return true;
    }
    return false;
}

} // namespace

} // namespace kplatform

using namespace kplatform;

extern "C" {

KPLATFORM_API uintptr_t _beginthreadex(void* security, unsigned stackSize,
                                       unsigned(__stdcall* start)(void*), void* argument,
                                       unsigned initFlag, unsigned* threadId) {
    (void)security;
    (void)stackSize; // std::thread takes the system's default stack
    if (!start || initFlag != 0) {
        errno = EINVAL;
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (take_failing_start()) {
        errno = EAGAIN;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    std::uintptr_t handle = 0;
    int error = EAGAIN;
    try {
        auto thread = std::make_shared<Thread>(new_thread_id());
        handle = kernel_objects().insert(thread);
        std::thread([thread, start, argument] {
            t_thread_id = thread->id();
            start(argument);
            thread->finished();
        }).detach();
        if (threadId)
            *threadId = thread->id();
        return handle;
    } catch (const std::system_error& e) {
        error = e.code().value() != 0 ? e.code().value() : EAGAIN;
    } catch (const std::bad_alloc&) {
        error = ENOMEM;
    } catch (...) {
        error = EAGAIN;
    }
    if (handle != 0) {
        try {
            kernel_objects().remove(handle);
        } catch (...) {
        }
    }
    errno = error;
    SetLastError(error_from_errno(error));
    return 0;
}

KPLATFORM_API BOOL SetThreadPriority(HANDLE thread, int priority) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        if (!kernel_objects().find_as<Thread>(handle_value(thread))) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        // The levels Windows knows, including THREAD_PRIORITY_IDLE and _TIME_CRITICAL.
        const bool known =
            (priority >= THREAD_PRIORITY_LOWEST && priority <= THREAD_PRIORITY_HIGHEST) ||
            priority == -15 || priority == 15;
        if (!known) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        return TRUE;
    });
}

KPLATFORM_API DWORD GetCurrentThreadId(void) {
    if (t_thread_id == 0)
        t_thread_id = new_thread_id();
    return t_thread_id;
}

KPLATFORM_API void KPlatformFailThreadStarts(int count) {
    g_failing_starts.store(count > 0 ? count : 0, std::memory_order_relaxed);
}

} // extern "C"
