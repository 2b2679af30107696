// A watchdog for tests whose failure would be a hang: when the guarded scope has not ended
// in time, the test program says which scope hung and ends at once with a failure, instead
// of stalling the run until the test driver's own time-out.
#ifndef KSYM_TESTS_SUPPORT_WATCHDOG_H
#define KSYM_TESTS_SUPPORT_WATCHDOG_H

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace ksymtest {

class Watchdog {
public:
    Watchdog(std::string what, std::chrono::milliseconds limit)
        : what_(std::move(what)), thread_([this, limit] { Watch(limit); }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    void Watch(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!wake_.wait_for(lock, limit, [this] { return done_; })) {
            std::fprintf(stderr, "watchdog: %s did not end within %lld ms: the test hangs\n",
                         what_.c_str(), static_cast<long long>(limit.count()));
            std::fflush(stderr);
            std::_Exit(3);
        }
    }

    std::string what_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread thread_;
};

// Polls `condition` every millisecond for up to limitMs; true once it holds.
template <typename Condition> bool Eventually(Condition condition, unsigned limitMs = 5000) {
    for (unsigned waited = 0; waited < limitMs; ++waited) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return condition();
}

} // namespace ksymtest

#endif
