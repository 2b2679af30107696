// Allocation failure on purpose, for the test programs that link failing_allocator.cpp: it
// replaces the global operator new and delete and, on POSIX, malloc, calloc, realloc and
// free. From a chosen allocation on, allocations fail (new throws std::bad_alloc, the nothrow
// forms and malloc give null): on the calling thread only, or on every thread. The scripted
// client library's own bookkeeping, and whatever a test runs inside fake::HarnessScope, is
// never affected.
#ifndef KSYM_TESTS_SUPPORT_FAILING_ALLOCATOR_H
#define KSYM_TESTS_SUPPORT_FAILING_ALLOCATOR_H

#include <cstdint>

namespace ksymtest {

enum class FailOn {
    CallingThread, // the operation's own calls
    EveryThread,   // the library's threads too (the notification thread's reply steps)
};

// From now on, the allocation after `successes` more successful ones fails, and so does
// every one after it.
void FailAllocationsAfter(uint32_t successes, FailOn scope = FailOn::CallingThread);
// Back to normal. True when an allocation failed since FailAllocationsAfter.
bool StopFailingAllocations();

// After a run that failed: true when LeakSanitizer finds memory nobody can reach any more
// (always false in builds without it). Reports what it found.
bool LeakedSinceStart();

// Runs `operation` (which returns true on success) with allocations failing after n
// successful ones, for n = 0, 1, 2, ... until it succeeds with no allocation failing, and
// calls `afterFailure()` with allocations working again after each run that failed. Returns
// the number of runs in which an allocation failed (0 means the operation allocates
// nothing: the test then proves nothing). Gives up after `limit` runs and returns -1;
// returns -2 when an exception reached the operation's caller.
template <typename Operation, typename AfterFailure>
int UntilItSucceeds(Operation operation, AfterFailure afterFailure, uint32_t limit = 20000,
                    FailOn scope = FailOn::CallingThread) {
    for (uint32_t n = 0; n < limit; ++n) {
        FailAllocationsAfter(n, scope);
        bool succeeded = false;
        try {
            succeeded = operation();
        } catch (...) {
            StopFailingAllocations();
            return -2;
        }
        const bool failed = StopFailingAllocations();
        if (succeeded && !failed) {
            return static_cast<int>(n);
        }
        afterFailure(succeeded);
    }
    return -1;
}

} // namespace ksymtest

#endif
