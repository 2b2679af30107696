// The tick counter across its wrap at 2^32.
#include <gtest/gtest.h>

#include "platform/win32.h"

namespace {

TEST(Time, TickCountWrapsLikeTheWindowsCounter) {
    KPlatformSetTickOffset(0);
    const DWORD plain = GetTickCount();
    // A second before the wrap; the sleep below then crosses it.
    KPlatformSetTickOffset(0xFFFFFFFFu - plain - 1000u);
    const DWORD before = GetTickCount();
    Sleep(1500);
    const DWORD after = GetTickCount();
    KPlatformSetTickOffset(0);

    EXPECT_GT(before, 0xFFF00000u) << "close to the wrap";
    EXPECT_LT(after, 0x00100000u) << "wrapped";
    const DWORD elapsed = after - before; // unsigned, as callers compute it
    EXPECT_GE(elapsed, 1490u);
    EXPECT_LT(elapsed, 20000u);

    const DWORD later = GetTickCount();
    EXPECT_LT(later - plain, 0x00100000u) << "offset removed again";
}

} // namespace
