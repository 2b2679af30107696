#include "tools/ksym/serve/subscription.h"

namespace ksymtool {

Subscription::Next Subscription::Take(std::chrono::milliseconds timeout, nlohmann::json& record) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [this] { return !records_.empty() || ended_; });
    if (!records_.empty()) {
        record = std::move(records_.front());
        records_.pop_front();
        return Next::kRecord;
    }
    return ended_ ? Next::kEnded : Next::kTimedOut;
}

HubResult Subscription::result() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return result_;
}

void Subscription::Deliver(nlohmann::json record) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (ended_) {
            return;
        }
        if (records_.size() == kMaxQueued) {
            records_.pop_front();
        }
        records_.push_back(std::move(record));
        ended_ = once_;
    }
    changed_.notify_all();
}

void Subscription::End(HubResult result) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (ended_) {
            return;
        }
        ended_ = true;
        result_ = std::move(result);
    }
    changed_.notify_all();
}

} // namespace ksymtool
