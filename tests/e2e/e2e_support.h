// What the end-to-end tests share: a machine of their own, and the simulator's control
// service.
#ifndef KSYM_TESTS_E2E_E2E_SUPPORT_H
#define KSYM_TESTS_E2E_E2E_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "extern/kclient.h"
#include "platform/win32.h"
#include "support/message_wait.h"

namespace ksymtest {

// Natively the cases run side by side: each gets a machine of its own. Under the Windows
// emulator the machine is shared with the other test programs: the default folder applies
// only without a "Files" value someone else stored.
inline void UseOwnMachine() {
#ifndef _WIN32
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    setenv("KSYM_ROOT", (std::string(KPlatformRoot()) + "/" + name).c_str(), 1);
#else
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Quorvane\\Korvan Server\\Config");
#endif
}

// A command to the simulator's control service on `channel`, whose replies are posted to
// `window`; true when it was accepted.
inline bool SimControl(int32_t channel, HWND window, const std::string& command) {
    const std::string telegram = "\xF0" + command;
    EXPECT_EQ(KClientWrite(channel, telegram.data(), static_cast<uint32_t>(telegram.size())),
              static_cast<int32_t>(telegram.size()));
    const auto posted = WaitPosted(window, kNotifyMsg);
    if (!posted || posted->wParam != COMM_MESSAGEREADY || posted->lParam < 2) {
        return false;
    }
    uint8_t status[2] = {1, 1};
    KClientRead(channel, status, sizeof status);
    return status[0] == 0 && status[1] == 0;
}

} // namespace ksymtest

#endif
