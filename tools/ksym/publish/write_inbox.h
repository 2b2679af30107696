// The write requests ksym publish takes from ROOT/set/NAME: put in by the MQTT library's
// thread as they arrive, taken out by the verb's thread between reads, where the channel is
// its own. Bounded, so that a flood of requests cannot grow it without end.
#ifndef KSYM_TOOLS_PUBLISH_WRITE_INBOX_H
#define KSYM_TOOLS_PUBLISH_WRITE_INBOX_H

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace ksymtool {

struct WriteRequest {
    std::string name; // the topic's last level
    std::string text; // the value as ksym write takes it
};

class WriteInbox {
public:
    static constexpr size_t kMostWaiting = 256;

    // False when the inbox is full: the request is dropped.
    bool Put(WriteRequest request) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (waiting_.size() >= kMostWaiting) {
            return false;
        }
        waiting_.push_back(std::move(request));
        return true;
    }
    std::vector<WriteRequest> TakeAll() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<WriteRequest> all(std::make_move_iterator(waiting_.begin()),
                                      std::make_move_iterator(waiting_.end()));
        waiting_.clear();
        return all;
    }

private:
    std::mutex mutex_;
    std::deque<WriteRequest> waiting_; // guarded by mutex_
};

// The value text of a payload: a JSON string's content (so "\"Bread\"" writes Bread), any
// other payload as it stands (4, true, [1, 2, 3], 0x1F).
std::string WriteText(const std::string& payload);

} // namespace ksymtool

#endif
