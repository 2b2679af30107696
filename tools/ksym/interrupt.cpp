#include "tools/ksym/interrupt.h"

#include <atomic>
#include <csignal>

#include "platform/win32.h"

namespace ksymtool {

namespace {

static_assert(ATOMIC_BOOL_LOCK_FREE == 2, "the interrupt flag is set from a signal handler");
std::atomic<bool> interrupted{false};

extern "C" void OnInterrupt(int) {
    interrupted.store(true);
}

} // namespace

void InstallInterruptHandler(bool terminateToo) {
    interrupted.store(false);
    std::signal(SIGINT, OnInterrupt);
    if (terminateToo) {
        std::signal(SIGTERM, OnInterrupt);
    }
}

bool Interrupted() {
    return interrupted.load();
}

bool PauseUnlessInterrupted(uint32_t ms) {
    const DWORD start = GetTickCount();
    while (!Interrupted()) {
        const DWORD passed = GetTickCount() - start;
        if (passed >= ms) {
            return true;
        }
        // Short steps, so that Ctrl-C ends a long interval at once.
        Sleep(ms - passed < 10 ? ms - passed : 10);
    }
    return false;
}

} // namespace ksymtool
