// Critical sections: re-entrant for their owner, exclusive against everyone else.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "platform/win32.h"

namespace {

bool try_from_another_thread(CRITICAL_SECTION* section) {
    bool entered = false;
    std::thread other([&] {
        entered = TryEnterCriticalSection(section) != FALSE;
        if (entered)
            LeaveCriticalSection(section);
    });
    other.join();
    return entered;
}

TEST(CriticalSection, OwnerEntersAgainOthersWaitUntilTheLastLeave) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EnterCriticalSection(&section);
    EXPECT_TRUE(TryEnterCriticalSection(&section));
    EXPECT_FALSE(try_from_another_thread(&section));
    LeaveCriticalSection(&section);
    LeaveCriticalSection(&section);
    EXPECT_FALSE(try_from_another_thread(&section)) << "one level still held";
    LeaveCriticalSection(&section);
    EXPECT_TRUE(try_from_another_thread(&section));
    DeleteCriticalSection(&section);
}

TEST(CriticalSection, ExcludesTheOtherThread) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    long counter = 0; // deliberately not atomic: only the lock protects it
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            EnterCriticalSection(&section);
            if (++inside != 1)
                overlapped = true;
            ++counter;
            --inside;
            LeaveCriticalSection(&section);
        }
    };
    std::thread first(work);
    std::thread second(work);
    first.join();
    second.join();
    EXPECT_FALSE(overlapped);
    EXPECT_EQ(counter, 40000);
    DeleteCriticalSection(&section);
}

} // namespace
