// Critical sections: re-entrant locks whose std::recursive_mutex lives between Initialize and
// Delete.
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>

#include "platform/win32.h"

namespace {

std::recursive_mutex* lock_of(LPCRITICAL_SECTION section) {
    return section ? static_cast<std::recursive_mutex*>(section->impl) : nullptr;
}

} // namespace

extern "C" {

KPLATFORM_API void InitializeCriticalSection(LPCRITICAL_SECTION section) {
    if (!section)
        return;
    // InitializeCriticalSection cannot report a failure, and a section that does not lock
    // would break its users silently, so running out of memory here ends the process.
    section->impl = new (std::nothrow) std::recursive_mutex;
    if (!section->impl) {
        std::fputs("kplatform: no memory for a critical section\n", stderr);
        std::abort();
    }
}

KPLATFORM_API void EnterCriticalSection(LPCRITICAL_SECTION section) {
    if (std::recursive_mutex* lock = lock_of(section)) {
        try {
            lock->lock();
        } catch (...) {
            // Only a deadlock or a recursion too deep makes lock() throw; as on Windows,
            // that is a fault of the caller that cannot be reported.
            std::fputs("kplatform: a critical section could not be entered\n", stderr);
            std::abort();
        }
    }
}

KPLATFORM_API BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section) {
    std::recursive_mutex* lock = lock_of(section);
    return lock && lock->try_lock() ? TRUE : FALSE;
}

KPLATFORM_API void LeaveCriticalSection(LPCRITICAL_SECTION section) {
    if (std::recursive_mutex* lock = lock_of(section))
        lock->unlock();
}

KPLATFORM_API void DeleteCriticalSection(LPCRITICAL_SECTION section) {
    if (!section)
        return;
    delete lock_of(section);
    section->impl = nullptr;
}

} // extern "C"
