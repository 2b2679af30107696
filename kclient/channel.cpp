#include "kclient/channel.h"

#include <algorithm>
#include <cstring>

#include "extern/kclient.h"

namespace kclient {

void Channel::SetEvent(HANDLE event) {
    std::lock_guard<std::mutex> lock(mutex_);
    event_ = event;
    if (!queue_.empty()) {
        ::SetEvent(event_);
    }
}

void Channel::Deliver(Reply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) {
        return;
    }
    const bool wasEmpty = queue_.empty();
    queue_.push_back(std::move(reply));
    if (wasEmpty) {
        ::SetEvent(event_);
    }
}

void Channel::Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    queue_.clear();
}

int32_t Channel::TakeStatus(uint32_t* value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.empty()) {
        if (value != nullptr) {
            *value = 0;
        }
        return COMM_NOSTATUS;
    }
    Reply reply = std::move(queue_.front());
    queue_.pop_front();
    if (value != nullptr) {
        *value = reply.value;
    }
    if (reply.status == COMM_MESSAGEREADY) {
        current_ = std::move(reply.bytes);
    }
    if (!queue_.empty()) {
        ::SetEvent(event_);
    }
    return reply.status;
}

uint32_t Channel::CurrentSize() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<uint32_t>(current_.size());
}

uint32_t Channel::ReadCurrent(void* buffer, uint32_t capacity) {
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t count = std::min<size_t>(capacity, current_.size());
    if (count != 0) {
        std::memcpy(buffer, current_.data(), count);
    }
    return static_cast<uint32_t>(count);
}

} // namespace kclient
