// One open channel of the client: its reply queue, the current reply and its event.
#ifndef KSYM_KCLIENT_CHANNEL_H
#define KSYM_KCLIENT_CHANNEL_H

#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/win32.h"

namespace kclient {

struct Reply {
    int32_t status = 0;
    uint32_t value = 0;
    std::vector<uint8_t> bytes;
};

// Threads: transports deliver on their own threads; the owner of the channel (its
// notification thread, or a caller fetching a result) takes statuses and reads replies.
// Everything is guarded by mutex_.
//
// Waking coalesces, so the event is signalled when the queue goes from empty to non-empty,
// and again by TakeStatus while entries still wait: every entry is fetched, and the event is
// never signalled without an entry to fetch.
class Channel {
public:
    explicit Channel(HANDLE event) : event_(event) {}

    void SetEvent(HANDLE event);
    void Deliver(Reply reply);
    // Stops deliveries for good; pending entries are dropped.
    void Close();

    int32_t TakeStatus(uint32_t* value);
    uint32_t CurrentSize();
    uint32_t ReadCurrent(void* buffer, uint32_t capacity);

private:
    std::mutex mutex_;
    HANDLE event_;
    bool closed_ = false;
    std::deque<Reply> queue_;
    std::vector<uint8_t> current_;
};

} // namespace kclient

#endif
