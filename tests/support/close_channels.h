// Closes many channels at once from a few threads. A close waits for the channel's
// notification thread in steps of 100 ms, so 200 channels closed one after the other take
// some 20 s, nearly all of it asleep.
#ifndef KSYM_TESTS_SUPPORT_CLOSE_CHANNELS_H
#define KSYM_TESTS_SUPPORT_CLOSE_CHANNELS_H

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "include/ksymbol.h"

namespace ksymtest {

inline void CloseChannelsSideBySide(const std::vector<int32_t>& channels) {
    constexpr size_t kClosers = 8;
    std::atomic<size_t> next{0};
    std::vector<std::thread> closers;
    for (size_t t = 0; t < std::min(kClosers, channels.size()); ++t) {
        closers.emplace_back([&] {
            for (size_t i; (i = next.fetch_add(1)) < channels.size();) {
                KSymCloseChannel(channels[i]);
            }
        });
    }
    for (std::thread& closer : closers) {
        closer.join();
    }
}

} // namespace ksymtest

#endif
