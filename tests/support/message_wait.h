// Bounded waits for the window messages that the library posts.
#ifndef KSYM_TESTS_SUPPORT_MESSAGE_WAIT_H
#define KSYM_TESTS_SUPPORT_MESSAGE_WAIT_H

#include <optional>

#include "platform/win32.h"

namespace ksymtest {

inline constexpr UINT kNotifyMsg = WM_USER + 7;

struct Posted {
    WPARAM wParam;
    LPARAM lParam;
};

// A message of `message` for `window`, waiting at most timeoutMs.
inline std::optional<Posted> WaitPosted(HWND window, UINT message, DWORD timeoutMs = 5000) {
    const DWORD start = GetTickCount();
    MSG msg{};
    do {
        if (PeekMessageA(&msg, window, message, message, PM_REMOVE)) {
            return Posted{msg.wParam, msg.lParam};
        }
        Sleep(1);
    } while (GetTickCount() - start < timeoutMs);
    return std::nullopt;
}

// Whether anything at all is queued for the window right now, after a short settle time.
inline bool NothingPosted(HWND window, DWORD settleMs = 150) {
    Sleep(settleMs);
    MSG msg{};
    return !PeekMessageA(&msg, window, 0, 0, PM_NOREMOVE);
}

} // namespace ksymtest

#endif
