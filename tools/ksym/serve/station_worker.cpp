#include "tools/ksym/serve/station_worker.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "tools/ksym/identification.h"
#include "tools/ksym/value_format.h"
#include "tools/ksym/value_table.h"
#include "tools/ksym/variable_write.h"
#include "tools/ksym/watch_output.h"

namespace ksymtool {

namespace {

// The station thread looks at its queues at least this often.
constexpr std::chrono::milliseconds kLongestNap{250};

} // namespace

int WatchHub::Worker::Connect() {
    if (!session_.Open()) {
        return kExitOpenFailed;
    }
    return Prepare(false);
}

void WatchHub::Worker::Run() {
    for (;;) {
        std::vector<std::shared_ptr<Subscription>> subscriptions;
        std::deque<std::shared_ptr<WriteJob>> jobs;
        {
            std::unique_lock<std::mutex> lock(hub_.mutex_);
            hub_.wake_.wait_until(lock, NextWake(), [this] {
                return hub_.stopping_ || !hub_.jobs_.empty() || HasUnresolved();
            });
            if (hub_.stopping_ || Interrupted()) {
                return;
            }
            subscriptions = hub_.subscriptions_;
            jobs.swap(hub_.jobs_);
        }
        if (!connected_) {
            Mend(subscriptions, jobs);
            continue;
        }
        for (const std::shared_ptr<WriteJob>& job : jobs) {
            int queued = WriteJob::kQueued;
            if (job->state.compare_exchange_strong(queued, WriteJob::kTaken)) {
                job->done.set_value(Write(job->assignments));
            }
        }
        Resolve(subscriptions);
        ReadDue(subscriptions);
    }
}

int WatchHub::Worker::Prepare(bool quiet) {
    reader_.reset();
    listNames_.clear();
    if (!session_.LoadSymbols(nullptr, quiet)) {
        return kExitNoSymbols;
    }
    std::vector<nlohmann::json> symbols;
    std::vector<std::string> names;
    for (int32_t i = 0; i < session_.symbolCount(); ++i) {
        const SymbolEntry& entry = *session_.symbols()[i];
        nlohmann::json symbol = SymbolJson(entry);
        const std::string typeName = entry.typeName != nullptr ? entry.typeName : "";
        symbol["kind"] = ValueKindName(ShapeOf(typeName, entry.size).kind);
        symbols.push_back(std::move(symbol));
        names.emplace_back(entry.name != nullptr ? entry.name : "");
    }
    Identification identification;
    std::string why;
    nlohmann::json known;
    if (Identify(session_, true, identification, why) == kExitOk) {
        known = IdentificationJson(identification);
    } else {
        std::fprintf(stderr, "ksym: %s\n", why.c_str());
    }
    std::lock_guard<std::mutex> lock(hub_.mutex_);
    hub_.symbols_ = std::move(symbols);
    hub_.symbolNames_ = std::move(names);
    hub_.identification_ = std::move(known);
    hub_.state_ = StationState::kConnected;
    // Names resolve anew against the symbols just loaded.
    for (const std::shared_ptr<Subscription>& subscription : hub_.subscriptions_) {
        subscription->resolved_ = false;
    }
    connected_ = true;
    return kExitOk;
}

bool WatchHub::Worker::HasUnresolved() const {
    return std::any_of(hub_.subscriptions_.begin(), hub_.subscriptions_.end(),
                       [](const std::shared_ptr<Subscription>& s) { return !s->resolved_; });
}

HubClock::time_point WatchHub::Worker::NextWake() const {
    HubClock::time_point wake = HubClock::now() + kLongestNap;
    if (!connected_) {
        return std::min(wake, retryAt_);
    }
    for (const std::shared_ptr<Subscription>& subscription : hub_.subscriptions_) {
        if (subscription->resolved_) {
            wake = std::min(wake, subscription->due_);
        }
    }
    return wake;
}

void WatchHub::Worker::Mend(const std::vector<std::shared_ptr<Subscription>>& subscriptions,
                            const std::deque<std::shared_ptr<WriteJob>>& jobs) {
    for (const std::shared_ptr<WriteJob>& job : jobs) {
        job->done.set_value({kExitOpenFailed, kNotConnected});
    }
    for (const std::shared_ptr<Subscription>& subscription : subscriptions) {
        if (subscription->once_ || !subscription->resolved_) {
            subscription->End({kExitOpenFailed, kNotConnected});
            hub_.Unsubscribe(subscription);
        }
    }
    if (HubClock::now() < retryAt_) {
        return;
    }
    int exitCode = kExitOk;
    switch (reconnector_.Attempt(exitCode)) {
    case Reconnector::Result::kReconnected:
        break;
    case Reconnector::Result::kGaveUp:
    case Reconnector::Result::kNotYet:
        hub_.SetStation(StationState::kReconnecting);
        retryAt_ = HubClock::now() + std::chrono::milliseconds(reconnector_.delayMs());
        break;
    }
}

void WatchHub::Worker::Broke() {
    reader_.reset(); // the list goes before its channel changes
    listNames_.clear();
    connected_ = false;
    hub_.SetStation(StationState::kBroken);
    reconnector_.Broke();
    retryAt_ = HubClock::now() + std::chrono::milliseconds(reconnector_.delayMs());
}

void WatchHub::Worker::Resolve(const std::vector<std::shared_ptr<Subscription>>& subscriptions) {
    for (const std::shared_ptr<Subscription>& subscription : subscriptions) {
        if (subscription->resolved_) {
            continue;
        }
        subscription->variables_.clear();
        HubResult failure;
        for (const std::string& name : subscription->names_) {
            std::optional<Variable> variable =
                ResolveVariable(name, session_.symbols(), session_.symbolCount());
            if (!variable) {
                failure = {kExitBadArgument, "unknown variable: " + name};
                break;
            }
            subscription->variables_.push_back(std::move(*variable));
        }
        if (failure.exitCode == kExitOk) {
            // Refused on its own (too big for a telegram), it would spoil the union.
            ListReader own(session_, subscription->variables_);
            own.Define(failure.exitCode, failure.why);
        }
        if (failure.exitCode != kExitOk) {
            subscription->End(std::move(failure));
            hub_.Unsubscribe(subscription);
            continue;
        }
        subscription->resolved_ = true;
        subscription->due_ = HubClock::now();
    }
}

void WatchHub::Worker::ReadDue(const std::vector<std::shared_ptr<Subscription>>& subscriptions) {
    const HubClock::time_point start = HubClock::now();
    std::vector<std::shared_ptr<Subscription>> live;
    bool anyDue = false;
    // The next read comes at the latest one interval of the fastest watch due now after
    // this one. A watch due before then is served by this read: the reads keep the pace
    // of the fastest watch however the watches' phases lie, instead of one more read for
    // every watch whose interval ends in between.
    std::chrono::milliseconds pace = std::chrono::milliseconds::max();
    for (const std::shared_ptr<Subscription>& subscription : subscriptions) {
        if (subscription->resolved_) {
            live.push_back(subscription);
            const bool due = subscription->due_ <= start;
            anyDue = anyDue || due;
            if (due && !subscription->once_) {
                pace = std::min(pace, subscription->interval_);
            }
        }
    }
    const HubClock::time_point servedUntil =
        pace == std::chrono::milliseconds::max() ? start : start + pace;
    if (!anyDue || !DefineUnion(live)) {
        return;
    }
    int exitCode = kExitOk;
    const ReadEnd end = reader_->Read(exitCode);
    if (end == ReadEnd::kInterrupted) {
        return; // the loop sees the interruption
    }
    if (end == ReadEnd::kFailed) {
        Broke();
        return;
    }
    {
        std::lock_guard<std::mutex> lock(hub_.mutex_);
        ++hub_.reads_;
    }
    const std::string time = IsoTimeNow();
    for (const std::shared_ptr<Subscription>& subscription : live) {
        if (subscription->due_ > servedUntil) {
            continue;
        }
        std::vector<ReadValue> values;
        for (size_t slot : subscription->slots_) {
            values.push_back(reader_->values()[slot]);
        }
        subscription->Deliver(
            {{"time", time}, {"values", ValuesJson(subscription->variables_, values)}});
        if (subscription->once_) {
            hub_.Unsubscribe(subscription);
        }
        // The next read begins one interval after this one began, or at once when the
        // read took longer.
        subscription->due_ = start + subscription->interval_;
    }
}

bool WatchHub::Worker::DefineUnion(const std::vector<std::shared_ptr<Subscription>>& live) {
    std::vector<std::string> names;
    std::vector<Variable> variables;
    std::map<std::string, size_t> slotOf;
    for (const std::shared_ptr<Subscription>& subscription : live) {
        subscription->slots_.clear();
        for (size_t i = 0; i < subscription->names_.size(); ++i) {
            const std::string& name = subscription->names_[i];
            auto [at, added] = slotOf.emplace(name, names.size());
            if (added) {
                names.push_back(name);
                variables.push_back(subscription->variables_[i]);
            }
            subscription->slots_.push_back(at->second);
        }
    }
    if (reader_ != nullptr && names == listNames_) {
        return true;
    }
    reader_.reset();
    listNames_.clear();
    auto reader = std::make_unique<ListReader>(session_, std::move(variables));
    HubResult failure;
    if (!reader->Define(failure.exitCode, failure.why)) {
        for (const std::shared_ptr<Subscription>& subscription : live) {
            subscription->End(failure);
            hub_.Unsubscribe(subscription);
        }
        return false;
    }
    reader_ = std::move(reader);
    listNames_ = std::move(names);
    return true;
}

HubResult WatchHub::Worker::Write(const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::vector<Assignment> assignments;
    for (const auto& [name, text] : pairs) {
        std::optional<Variable> variable =
            ResolveVariable(name, session_.symbols(), session_.symbolCount());
        if (!variable) {
            return {kExitBadArgument, "unknown variable: " + name};
        }
        assignments.push_back(Assignment{std::move(*variable), text, {}});
    }
    HubResult result;
    if (!ParseAssignments(assignments, result.why)) {
        result.exitCode = kExitBadArgument;
        return result;
    }
    result.exitCode = WriteAssignments(session_, assignments, result.why);
    if (result.exitCode == kExitNoAnswer || result.exitCode == kExitExchangeFailed) {
        Broke();
    }
    return result;
}

} // namespace ksymtool
