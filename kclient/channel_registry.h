// The client's open channels by number.
#ifndef KSYM_KCLIENT_CHANNEL_REGISTRY_H
#define KSYM_KCLIENT_CHANNEL_REGISTRY_H

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "kclient/channel.h"
#include "kclient/transport.h"

namespace kclient {

// An open channel and the transport that serves it. The transport is replaced only when a
// re-open finds it broken; transportMutex_ guards the pointer, not the transport's work.
class OpenChannel {
public:
    OpenChannel(std::shared_ptr<Channel> channel, std::unique_ptr<Transport> transport)
        : channel_(std::move(channel)), transport_(std::move(transport)) {}

    Channel& channel() { return *channel_; }
    std::shared_ptr<Transport> transport() {
        std::lock_guard<std::mutex> lock(transportMutex_);
        return transport_;
    }
    void ReplaceTransport(std::unique_ptr<Transport> transport) {
        std::lock_guard<std::mutex> lock(transportMutex_);
        transport_ = std::move(transport);
    }
    const std::shared_ptr<Channel>& sharedChannel() const { return channel_; }

private:
    std::shared_ptr<Channel> channel_;
    std::mutex transportMutex_;
    std::shared_ptr<Transport> transport_;
};

// Threads: any. The registry hands out shared references, so a channel closed on one thread
// stays valid for a call that already holds it on another.
class ChannelRegistry {
public:
    static constexpr size_t kMaxChannels = 4096;

    static ChannelRegistry& Instance();

    // A new number (never -1 or 0, unique among the open channels) for `entry`; -1 when all
    // are in use.
    int32_t Add(std::shared_ptr<OpenChannel> entry);
    // Moves the channel `old` to a new number; -1 when `old` is not open or no number is free.
    int32_t Renumber(int32_t old);
    std::shared_ptr<OpenChannel> Find(int32_t number);
    std::shared_ptr<OpenChannel> Remove(int32_t number);

private:
    int32_t NextFreeNumber(); // the caller holds mutex_

    std::mutex mutex_;
    std::map<int32_t, std::shared_ptr<OpenChannel>> channels_;
    int32_t next_ = 1;
};

} // namespace kclient

#endif
