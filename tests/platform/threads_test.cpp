// Threads from _beginthreadex, their handles, and per-thread state.
#include <atomic>
#include <cerrno>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/win32.h"

namespace {

struct Gate {
    HANDLE open = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<DWORD> id{0};
    std::atomic<bool> passed{false};
    ~Gate() { CloseHandle(open); }
};

unsigned __stdcall wait_at_gate(void* argument) {
    auto* gate = static_cast<Gate*>(argument);
    gate->id = GetCurrentThreadId();
    WaitForSingleObject(gate->open, 10000);
    gate->passed = true; // the thread's last use of the gate
    return 0;
}

TEST(Threads, HandleIsSignalledWhenTheFunctionHasReturned) {
    Gate gate;
    unsigned id = 0;
    HANDLE thread =
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, wait_at_gate, &gate, 0, &id));
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 100), WAIT_TIMEOUT) << "still at the gate";
    EXPECT_TRUE(SetThreadPriority(thread, THREAD_PRIORITY_ABOVE_NORMAL));
    EXPECT_TRUE(SetEvent(gate.open));
    EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(gate.passed);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0) << "stays signalled";
    EXPECT_EQ(gate.id.load(), id) << "threadId tells the id the thread sees";
    EXPECT_NE(id, GetCurrentThreadId());

    SetLastError(0);
    EXPECT_FALSE(SetEvent(thread)) << "a thread is not an event";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetThreadPriority(gate.open, THREAD_PRIORITY_NORMAL)) << "nor the reverse";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_FALSE(SetThreadPriority(thread, THREAD_PRIORITY_NORMAL));
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_FAILED);
}

TEST(Threads, ClosingTheHandleLetsTheThreadRunOn) {
    Gate gate;
    const uintptr_t thread = _beginthreadex(nullptr, 0, wait_at_gate, &gate, 0, nullptr);
    ASSERT_NE(thread, 0u);
    EXPECT_TRUE(CloseHandle(reinterpret_cast<HANDLE>(thread)));
    EXPECT_TRUE(SetEvent(gate.open));
    for (int i = 0; i < 10000 && !gate.passed; ++i)
        Sleep(1);
    EXPECT_TRUE(gate.passed);
}

unsigned __stdcall count_start(void* argument) {
    ++*static_cast<std::atomic<int>*>(argument);
    return 0;
}

TEST(Threads, FailedStartsReturnZeroWithErrno) {
    std::atomic<int> starts{0};
    KPlatformFailThreadStarts(2);
    for (int i = 0; i < 2; ++i) {
        errno = 0;
        EXPECT_EQ(_beginthreadex(nullptr, 0, count_start, &starts, 0, nullptr), 0u);
        EXPECT_EQ(errno, EAGAIN);
    }
    HANDLE thread =
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, count_start, &starts, 0, nullptr));
    ASSERT_NE(thread, nullptr) << "only the next two fail";
    EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(starts.load(), 1) << "a failed start runs nothing";
    EXPECT_TRUE(CloseHandle(thread));
}

TEST(Threads, IdsAndLastErrorsArePerThread) {
    const DWORD mine = GetCurrentThreadId();
    EXPECT_EQ(GetCurrentThreadId(), mine);
    SetLastError(42);
    std::vector<DWORD> ids(4);
    std::vector<DWORD> errors(4);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < ids.size(); ++i)
        threads.emplace_back([&, i] {
            errors[i] = GetLastError(); // a new thread starts without an error
            SetLastError(7);
            ids[i] = GetCurrentThreadId();
        });
    for (auto& thread : threads)
        thread.join();
    std::set<DWORD> distinct(ids.begin(), ids.end());
    distinct.insert(mine);
    EXPECT_EQ(distinct.size(), ids.size() + 1);
    EXPECT_EQ(distinct.count(0), 0u);
    EXPECT_EQ(errors, std::vector<DWORD>(4, 0));
    EXPECT_EQ(GetLastError(), 42u);
}

} // namespace
