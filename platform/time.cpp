// The millisecond tick counter and Sleep.
#include <atomic>
#include <chrono>
#include <thread>

#include "platform/win32.h"

namespace kplatform {

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point layer_start() {
    static const Clock::time_point start = Clock::now();
    return start;
}
// Starts the count when the library is loaded rather than at the first call.
const Clock::time_point g_loaded = layer_start();

std::atomic<DWORD> g_tick_offset{0};

} // namespace

} // namespace kplatform

using namespace kplatform;

extern "C" {

KPLATFORM_API DWORD GetTickCount(void) {
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - layer_start());
    // Unsigned arithmetic wraps at 2^32 exactly like the Windows counter.
    return static_cast<DWORD>(static_cast<std::uint64_t>(elapsed.count())) +
           g_tick_offset.load(std::memory_order_relaxed);
}

KPLATFORM_API void Sleep(DWORD milliseconds) {
    if (milliseconds == 0) {
        std::this_thread::yield();
        return;
    }
    if (milliseconds == INFINITE) {
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(24));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

KPLATFORM_API void KPlatformSetTickOffset(DWORD offset) {
    g_tick_offset.store(offset, std::memory_order_relaxed);
}

} // extern "C"
