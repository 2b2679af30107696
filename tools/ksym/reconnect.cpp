#include "tools/ksym/reconnect.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace ksymtool {

namespace {

// Retries after a break wait this long first, twice as long each time, at most the cap.
constexpr uint32_t kFirstRetryMs = 250;
constexpr uint32_t kRetryCapMs = 8000;

} // namespace

void Reconnector::Broke() {
    std::fprintf(stderr, "ksym: the connection to '%s' broke; reconnecting\n",
                 session_.options().station.c_str());
    delayMs_ = kFirstRetryMs;
}

Reconnector::Result Reconnector::Attempt(int& exitCode) {
    const char* station = session_.options().station.c_str();
    std::string why;
    if (!session_.Reconnect(why)) {
        std::fprintf(stderr, "ksym: '%s' cannot be reached yet: %s\n", station, why.c_str());
    } else {
        const int prepared = prepare_(session_);
        if (prepared == kExitOk) {
            std::fprintf(stderr, "ksym: reconnected to '%s'\n", station);
            return Result::kReconnected;
        }
        if (prepared != kExitNoSymbols) {
            exitCode = prepared;
            return Result::kGaveUp;
        }
        std::fprintf(stderr, "ksym: '%s' answers, but its symbols cannot be loaded yet\n", station);
    }
    delayMs_ = std::min(std::max(delayMs_, kFirstRetryMs) * 2, kRetryCapMs);
    return Result::kNotYet;
}

} // namespace ksymtool
