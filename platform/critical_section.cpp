// Critical sections: re-entrant locks kept inside the caller's record, between Initialize
// and Delete.
#include <cstdio>
#include <cstdlib>

#include "platform/win32.h"

extern "C" {

KPLATFORM_API void InitializeCriticalSection(LPCRITICAL_SECTION section) {
    if (!section)
        return;
    // InitializeCriticalSection cannot report a failure, and a section that does not lock
    // would break its users silently. A recursive mutex needs no memory of its own, so this
    // does not fail in practice; should it, the process ends.
    pthread_mutexattr_t attributes;
    const bool made = pthread_mutexattr_init(&attributes) == 0 &&
                      pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE) == 0 &&
                      pthread_mutex_init(&section->mutex, &attributes) == 0;
    pthread_mutexattr_destroy(&attributes);
    if (!made) {
        std::fputs("kplatform: a critical section could not be made\n", stderr);
        std::abort();
    }
}

KPLATFORM_API void EnterCriticalSection(LPCRITICAL_SECTION section) {
    if (section && pthread_mutex_lock(&section->mutex) != 0) {
        // Only a recursion too deep makes the lock fail; as on Windows, that is a fault of
        // the caller that cannot be reported.
        std::fputs("kplatform: a critical section could not be entered\n", stderr);
        std::abort();
    }
}

KPLATFORM_API BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section) {
    return section && pthread_mutex_trylock(&section->mutex) == 0 ? TRUE : FALSE;
}

KPLATFORM_API void LeaveCriticalSection(LPCRITICAL_SECTION section) {
    if (section)
        pthread_mutex_unlock(&section->mutex);
}

KPLATFORM_API void DeleteCriticalSection(LPCRITICAL_SECTION section) {
    if (section)
        pthread_mutex_destroy(&section->mutex);
}

} // extern "C"
