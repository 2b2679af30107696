#include "kclient/channel_registry.h"

#include <limits>

namespace kclient {

ChannelRegistry& ChannelRegistry::Instance() {
    static ChannelRegistry registry;
    return registry;
}

int32_t ChannelRegistry::NextFreeNumber() {
    if (channels_.size() >= kMaxChannels) {
        return -1;
    }
    // Numbers count up so that a closed number is not handed out again soon.
    for (;;) {
        const int32_t candidate = next_;
        next_ = next_ == std::numeric_limits<int32_t>::max() ? 1 : next_ + 1;
        if (channels_.count(candidate) == 0) {
            return candidate;
        }
    }
}

int32_t ChannelRegistry::Add(std::shared_ptr<OpenChannel> entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    const int32_t number = NextFreeNumber();
    if (number != -1) {
        channels_.emplace(number, std::move(entry));
    }
    return number;
}

int32_t ChannelRegistry::Renumber(int32_t old) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = channels_.find(old);
    if (found == channels_.end()) {
        return -1;
    }
    std::shared_ptr<OpenChannel> entry = found->second;
    channels_.erase(found);
    const int32_t number = NextFreeNumber();
    channels_.emplace(number, std::move(entry));
    return number;
}

std::shared_ptr<OpenChannel> ChannelRegistry::Find(int32_t number) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = channels_.find(number);
    return found == channels_.end() ? nullptr : found->second;
}

std::shared_ptr<OpenChannel> ChannelRegistry::Remove(int32_t number) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = channels_.find(number);
    if (found == channels_.end()) {
        return nullptr;
    }
    std::shared_ptr<OpenChannel> entry = std::move(found->second);
    channels_.erase(found);
    return entry;
}

} // namespace kclient
