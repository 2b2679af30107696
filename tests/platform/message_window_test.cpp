// Message-only windows and the per-thread message queues.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/win32.h"

namespace {

const DWORD kInvalidWindow = ERROR_INVALID_WINDOW_HANDLE;

// GetMessageA has no time-out: a test that would hang ends the process instead.
class Watchdog {
public:
    Watchdog()
        : thread_([this] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!done_.wait_for(lock, std::chrono::seconds(60), [this] { return stop_; })) {
                  std::fputs("a message window test hangs\n", stderr);
                  std::_Exit(2);
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        done_.notify_one();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool stop_ = false;
    std::thread thread_;
};

HWND create_window() {
    return CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
}

TEST(MessageWindow, MessagesFromOtherThreadsWakeTheOwnerAndKeepTheirOrder) {
    Watchdog watchdog;
    HWND window = create_window();
    ASSERT_NE(window, nullptr);
    constexpr LPARAM kEach = 1000;
    // Taken before any poster starts: a slow machine (an emulated one, say) may
    // take longer than the posters' sleep to start the second thread.
    const DWORD before = GetTickCount();
    std::vector<std::thread> posters;
    for (WPARAM sender = 0; sender < 2; ++sender)
        posters.emplace_back([window, sender] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50)); // the owner waits
            for (LPARAM i = 0; i < kEach; ++i)
                EXPECT_TRUE(PostMessageA(window, WM_USER + 1, sender, i));
        });
    LPARAM next[2] = {0, 0};
    for (LPARAM received = 0; received < 2 * kEach; ++received) {
        MSG message{};
        ASSERT_GT(GetMessageA(&message, window, WM_USER + 1, WM_USER + 1), 0);
        EXPECT_EQ(message.hwnd, window);
        ASSERT_LT(message.wParam, 2u);
        EXPECT_EQ(message.lParam, next[message.wParam]++);
        EXPECT_LT(message.time - before, 60000u) << "stamped with GetTickCount";
    }
    for (auto& poster : posters)
        poster.join();
    EXPECT_TRUE(DestroyWindow(window));
}

TEST(MessageWindow, WindowAndRangeFiltersAndPeekRemoveOrKeep) {
    HWND first = create_window();
    HWND second = create_window();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    for (UINT i = 1; i <= 3; ++i)
        ASSERT_TRUE(PostMessageA(first, WM_USER + i, i, 0));
    ASSERT_TRUE(PostMessageA(second, WM_USER + 5, 5, 0));

    MSG message{};
    EXPECT_GT(GetMessageA(&message, second, 0, 0), 0);
    EXPECT_EQ(message.message, WM_USER + 5) << "only the filter window's messages";
    EXPECT_GT(GetMessageA(&message, nullptr, WM_USER + 2, WM_USER + 3), 0);
    EXPECT_EQ(message.message, WM_USER + 2);
    EXPECT_FALSE(PeekMessageA(&message, second, 0, 0, PM_REMOVE));
    EXPECT_FALSE(PeekMessageA(&message, nullptr, WM_USER + 4, WM_USER + 9, PM_REMOVE));
    EXPECT_TRUE(PeekMessageA(&message, first, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(message.message, WM_USER + 1);
    EXPECT_TRUE(PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(message.message, WM_USER + 1) << "PM_NOREMOVE left it";
    EXPECT_TRUE(PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(message.message, WM_USER + 3);
    EXPECT_FALSE(PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE));
    EXPECT_TRUE(DestroyWindow(first));
    EXPECT_TRUE(DestroyWindow(second));
}

TEST(MessageWindow, DestroyedAndUnknownWindowsRefuseMessages) {
    HWND window = create_window();
    HWND other = create_window();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(PostMessageA(window, WM_USER, 1, 0));
    ASSERT_TRUE(PostMessageA(other, WM_USER, 2, 0));
    ASSERT_TRUE(PostMessageA(window, WM_USER, 3, 0));
    EXPECT_TRUE(DestroyWindow(window));

    MSG message{};
    EXPECT_TRUE(PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(message.wParam, 2u) << "the destroyed window's messages are gone";
    EXPECT_FALSE(PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE));

    const HWND garbage = reinterpret_cast<HWND>(static_cast<uintptr_t>(0x12345678));
    for (HWND bad : {window, static_cast<HWND>(nullptr), garbage}) {
        SetLastError(0);
        EXPECT_FALSE(PostMessageA(bad, WM_USER, 0, 0));
        EXPECT_EQ(GetLastError(), kInvalidWindow);
    }
    EXPECT_EQ(GetMessageA(&message, window, 0, 0), -1);
    EXPECT_FALSE(PeekMessageA(&message, garbage, 0, 0, PM_REMOVE));
    EXPECT_FALSE(DestroyWindow(window));
    EXPECT_EQ(GetLastError(), kInvalidWindow);
    EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(other))) << "a window is no handle";
    HWND next = create_window();
    EXPECT_NE(next, window) << "a destroyed value does not come back at once";
    EXPECT_TRUE(DestroyWindow(next));
    EXPECT_TRUE(DestroyWindow(other));
}

TEST(MessageWindow, OnlyTheOwnerReadsAndDestroysYetAnyoneMayPost) {
    HWND mine = create_window();
    HWND theirs = nullptr;
    std::thread owner([&] { theirs = create_window(); }); // and ends at once
    owner.join();
    ASSERT_NE(theirs, nullptr);
    EXPECT_TRUE(PostMessageA(theirs, WM_USER, 1, 0)) << "the queue outlives its thread";
    MSG message{};
    EXPECT_EQ(GetMessageA(&message, theirs, 0, 0), -1) << "not a window of this thread";
    EXPECT_FALSE(PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) << "not in my queue";
    EXPECT_FALSE(DestroyWindow(theirs));

    BOOL destroyed = TRUE;
    std::thread stranger([&] { destroyed = DestroyWindow(mine); });
    stranger.join();
    EXPECT_FALSE(destroyed);
    EXPECT_TRUE(PostMessageA(mine, WM_USER, 3, 0));
    EXPECT_TRUE(DestroyWindow(mine));
}

TEST(MessageWindow, QuitComesAfterTheQueuedMessagesAndOnlyOnce) {
    Watchdog watchdog;
    HWND window = create_window();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(PostMessageA(window, WM_USER, 1, 0));
    PostQuitMessage(7);
    MSG message{};
    EXPECT_TRUE(PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE));
    EXPECT_EQ(message.message, WM_QUIT);
    EXPECT_EQ(GetMessageA(&message, nullptr, 0, 0), 1);
    EXPECT_EQ(message.message, WM_USER);
    EXPECT_EQ(GetMessageA(&message, nullptr, 0, 0), 0);
    EXPECT_EQ(message.message, WM_QUIT);
    EXPECT_EQ(message.hwnd, nullptr);
    EXPECT_EQ(message.wParam, 7u);
    EXPECT_FALSE(PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) << "taken";

    // WM_QUIT posted to a window also ends a loop reading that window.
    std::thread poster([window] { PostMessageA(window, WM_QUIT, 0, 0); });
    EXPECT_EQ(GetMessageA(&message, window, 0, 0), 0);
    EXPECT_EQ(message.hwnd, window);
    poster.join();
    EXPECT_TRUE(DestroyWindow(window));
}

} // namespace
