#include "tools/ksym/serve/watch_hub.h"

#include <algorithm>
#include <future>

#include "formats/name_compare.h"
#include "tools/ksym/serve/station_worker.h"

namespace ksymtool {

const char* StationStateName(StationState state) {
    switch (state) {
    case StationState::kConnected:
        return "connected";
    case StationState::kBroken:
        return "broken";
    case StationState::kReconnecting:
        return "reconnecting";
    }
    return "broken";
}

int WatchHub::Start() {
    std::promise<int> started;
    std::future<int> result = started.get_future();
    thread_ = std::thread([this, &started] {
        Worker worker(*this);
        const int connected = worker.Connect();
        started.set_value(connected);
        if (connected == kExitOk) {
            worker.Run();
        }
        // Whatever is still open ends with the thread.
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        for (const std::shared_ptr<Subscription>& subscription : subscriptions_) {
            subscription->End({});
        }
        subscriptions_.clear();
        for (const std::shared_ptr<WriteJob>& job : jobs_) {
            job->done.set_value({kExitOpenFailed, kNotConnected});
        }
        jobs_.clear();
    });
    const int exitCode = result.get();
    if (exitCode != kExitOk) {
        thread_.join();
    }
    return exitCode;
}

void WatchHub::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::shared_ptr<Subscription> WatchHub::Subscribe(std::vector<std::string> names,
                                                  std::chrono::milliseconds interval, bool once) {
    std::shared_ptr<Subscription> subscription(new Subscription(std::move(names), interval, once));
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (subscriptions_.size() >= kMaxSubscriptions) {
            return nullptr;
        }
        if (stopping_) {
            subscription->End({kExitOpenFailed, kNotConnected});
            return subscription;
        }
        subscriptions_.push_back(subscription);
    }
    wake_.notify_all();
    return subscription;
}

void WatchHub::Unsubscribe(const std::shared_ptr<Subscription>& subscription) {
    std::lock_guard<std::mutex> lock(mutex_);
    subscriptions_.erase(std::remove(subscriptions_.begin(), subscriptions_.end(), subscription),
                         subscriptions_.end());
}

HubResult WatchHub::Write(std::vector<std::pair<std::string, std::string>> assignments,
                          std::chrono::milliseconds timeout) {
    auto job = std::make_shared<WriteJob>();
    job->assignments = std::move(assignments);
    std::future<HubResult> done = job->done.get_future();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) {
            return {kExitOpenFailed, kNotConnected};
        }
        jobs_.push_back(job);
    }
    wake_.notify_all();
    if (done.wait_for(timeout) != std::future_status::ready) {
        int queued = WriteJob::kQueued;
        if (job->state.compare_exchange_strong(queued, WriteJob::kWithdrawn)) {
            return {kExitNoAnswer,
                    "the station was busy for too long: the write was withdrawn before it was "
                    "sent, nothing was written",
                    false};
        }
        return {kExitNoAnswer,
                "the write was sent, but the controller did not confirm it in time: its "
                "outcome is unknown",
                true};
    }
    return done.get();
}

nlohmann::json WatchHub::Symbols(const std::string& prefix, size_t from, size_t limit,
                                 size_t& matches) const {
    nlohmann::json list = nlohmann::json::array();
    matches = 0;
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < symbols_.size(); ++i) {
        if (!formats::NameHasPrefix(symbolNames_[i].c_str(), prefix.c_str(), prefix.size())) {
            continue;
        }
        if (++matches > from && matches - from <= limit) {
            list.push_back(symbols_[i]);
        }
    }
    return list;
}

nlohmann::json WatchHub::Station() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {{"station", options_.station},
            {"state", StationStateName(state_)},
            {"identification", identification_},
            {"symbols", symbols_.size()},
            {"reads", reads_}};
}

void WatchHub::SetStation(StationState state) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = state;
}

} // namespace ksymtool
