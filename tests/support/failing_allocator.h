// Allocation failure on purpose, for the test programs that link failing_allocator.cpp: it
// replaces the global operator new and delete. Allocations on the calling thread fail (new
// throws std::bad_alloc, the nothrow forms give null) from a chosen one on; other threads
// and the scripted client library's own bookkeeping are never affected.
#ifndef KSYM_TESTS_SUPPORT_FAILING_ALLOCATOR_H
#define KSYM_TESTS_SUPPORT_FAILING_ALLOCATOR_H

#include <cstdint>

namespace ksymtest {

// From now on on this thread, the allocation after `successes` more successful ones fails,
// and so does every one after it.
void FailAllocationsAfter(uint32_t successes);
// Back to normal. True when an allocation failed since FailAllocationsAfter.
bool StopFailingAllocations();

// Runs `operation` (which returns true on success) with allocations failing after n
// successful ones, for n = 0, 1, 2, ... until it succeeds with no allocation failing, and
// calls `afterFailure()` with allocations working again after each run that failed. Returns
// the number of runs in which an allocation failed (0 means the operation allocates
// nothing: the test then proves nothing). Gives up after `limit` runs and returns -1;
// returns -2 when an exception reached the operation's caller.
template <typename Operation, typename AfterFailure>
int UntilItSucceeds(Operation operation, AfterFailure afterFailure, uint32_t limit = 20000) {
    for (uint32_t n = 0; n < limit; ++n) {
        FailAllocationsAfter(n);
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
