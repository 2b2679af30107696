// Threads started with _beginthreadex: detached POSIX threads whose handle is signalled when
// the start function has returned. The stack size is honoured, and 0 takes 1 MiB, what a
// Windows program reserves by default: the system's own default (8 MiB on Linux) would let
// a 32-bit process run out of address space at a few hundred threads.
#include <atomic>
#include <cerrno>
#include <climits>
#include <memory>
#include <new>
#include <pthread.h>
#include <unistd.h>

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

constexpr std::size_t kDefaultStackSize = 1024 * 1024;

// What a new thread needs to start: its handle's object, the function and its argument.
struct StartBlock {
    std::shared_ptr<Thread> thread;
    unsigned(__stdcall* start)(void*);
    void* argument;
};

void* run_thread(void* raw) {
    std::unique_ptr<StartBlock> block(static_cast<StartBlock*>(raw));
    t_thread_id = block->thread->id();
    block->start(block->argument);
    block->thread->finished();
    return nullptr;
}

// The stack size asked for, at least what the system needs, in whole pages.
std::size_t stack_size_for(unsigned asked) {
    std::size_t size = asked != 0 ? asked : kDefaultStackSize;
    if (size < static_cast<std::size_t>(PTHREAD_STACK_MIN))
        size = PTHREAD_STACK_MIN;
    const long page = ::sysconf(_SC_PAGESIZE);
    const std::size_t unit = page > 0 ? static_cast<std::size_t>(page) : 4096u;
    return (size + unit - 1) / unit * unit;
}

// Starts a detached thread running `block`; 0 or the error number.
int start_detached(StartBlock* block, unsigned stackSize) {
    pthread_attr_t attributes;
    int error = ::pthread_attr_init(&attributes);
    if (error != 0)
        return error;
    error = ::pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (error == 0)
        error = ::pthread_attr_setstacksize(&attributes, stack_size_for(stackSize));
    pthread_t id;
    if (error == 0)
        error = ::pthread_create(&id, &attributes, &run_thread, block);
    ::pthread_attr_destroy(&attributes);
    return error;
}

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
        std::unique_ptr<StartBlock> block(new StartBlock{thread, start, argument});
        error = start_detached(block.get(), stackSize);
        if (error == 0) {
            block.release(); // the new thread owns it now
            if (threadId)
                *threadId = thread->id();
            return handle;
        }
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

KPLATFORM_API DWORD GetCurrentProcessId(void) {
    return static_cast<DWORD>(::getpid());
}

KPLATFORM_API void KPlatformFailThreadStarts(int count) {
    g_failing_starts.store(count > 0 ? count : 0, std::memory_order_relaxed);
}

} // extern "C"
