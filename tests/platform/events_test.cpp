// Events, waits and the handle rules every kernel handle follows.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/win32.h"

namespace {

using Clock = std::chrono::steady_clock;
const DWORD kInvalidHandle = ERROR_INVALID_HANDLE;

// Starts `count` threads that wait up to `milliseconds`; returns how many were released.
int released_waiters(HANDLE event, int count, DWORD milliseconds) {
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < count; ++i)
        waiters.emplace_back([&] {
            if (WaitForSingleObject(event, milliseconds) == WAIT_OBJECT_0)
                ++released;
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    SetEvent(event);
    for (auto& waiter : waiters)
        waiter.join();
    return released;
}

TEST(Events, ManualResetReleasesEveryWaiterAndStaysSignalled) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_EQ(released_waiters(event, 3, 10000), 3);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(event));
}

TEST(Events, AutoResetReleasesOneWaiterPerSignalAndSignalsDoNotAddUp) {
    HANDLE event = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0) << "created signalled";
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_EQ(released_waiters(event, 2, 1500), 1);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "the signal was consumed";

    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(event));
}

TEST(Events, WaitTimesOutAfterAboutTheTimeOut) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    const auto start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(event, 200), WAIT_TIMEOUT);
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(195));
    EXPECT_LT(elapsed, std::chrono::seconds(10));
    EXPECT_TRUE(CloseHandle(event));
}

TEST(Handles, BadNullAndClosedHandlesFail) {
    const HANDLE garbage = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x12345678));
    HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_NE(event, INVALID_HANDLE_VALUE);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(event) % 4, 0u);
    EXPECT_TRUE(CloseHandle(event));

    for (HANDLE bad : {garbage, static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE, event}) {
        SetLastError(0);
        EXPECT_FALSE(SetEvent(bad));
        EXPECT_EQ(GetLastError(), kInvalidHandle);
        SetLastError(0);
        EXPECT_FALSE(ResetEvent(bad));
        EXPECT_EQ(GetLastError(), kInvalidHandle);
        SetLastError(0);
        EXPECT_EQ(WaitForSingleObject(bad, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), kInvalidHandle);
    }
    for (HANDLE bad : {garbage, static_cast<HANDLE>(nullptr), event}) {
        SetLastError(0);
        EXPECT_FALSE(CloseHandle(bad)) << "includes closing twice";
        EXPECT_EQ(GetLastError(), kInvalidHandle);
    }
    HANDLE next = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    EXPECT_NE(next, event) << "a closed value must not come back at once";
    EXPECT_TRUE(CloseHandle(next));
}

TEST(Handles, DuplicateKeepsTheObjectAliveForAWaiterAfterTheOriginalCloses) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    HANDLE copy = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &copy, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    EXPECT_NE(copy, event);

    // The waiter holds the event while its handle is closed under it.
    std::atomic<DWORD> result{WAIT_FAILED};
    std::thread waiter([&] { result = WaitForSingleObject(event, 10000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_TRUE(SetEvent(copy));
    waiter.join();
    EXPECT_EQ(result.load(), WAIT_OBJECT_0);

    HANDLE other = nullptr;
    EXPECT_FALSE(DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &other, 0, FALSE,
                                 DUPLICATE_SAME_ACCESS))
        << "source closed";
    EXPECT_FALSE(DuplicateHandle(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x40)), copy,
                                 GetCurrentProcess(), &other, 0, FALSE, DUPLICATE_SAME_ACCESS))
        << "another process";
    EXPECT_EQ(GetLastError(), kInvalidHandle);
    EXPECT_TRUE(CloseHandle(copy));
}

TEST(Events, NamedEventsOfOneNameAreOneEvent) {
    HANDLE first = CreateEventA(nullptr, TRUE, FALSE, "ksym-test-event");
    HANDLE second = CreateEventA(nullptr, FALSE, TRUE, "ksym-test-event");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_TIMEOUT) << "the first creator's state";
    EXPECT_TRUE(SetEvent(first));
    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(first));
    EXPECT_TRUE(CloseHandle(second));
    HANDLE fresh = CreateEventA(nullptr, FALSE, FALSE, "ksym-test-event");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS)) << "gone with its handles";
    EXPECT_TRUE(CloseHandle(fresh));
}

} // namespace
