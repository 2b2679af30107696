#include "tools/ksym/watch_hub.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <future>
#include <map>

#include "symbols/name_compare.h"
#include "tools/ksym/identification.h"
#include "tools/ksym/list_read.h"
#include "tools/ksym/reconnect.h"
#include "tools/ksym/session.h"
#include "tools/ksym/value_table.h"
#include "tools/ksym/variable_write.h"
#include "tools/ksym/watch_output.h"

namespace ksymtool {

namespace {

// The station thread looks at its queues at least this often.
constexpr std::chrono::milliseconds kLongestNap{250};

const char* const kNotConnected = "the station is not connected";

} // namespace

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

struct WatchHub::WriteJob {
    enum State { kQueued, kTaken, kWithdrawn };
    std::vector<std::pair<std::string, std::string>> assignments;
    std::promise<HubResult> done;
    // kQueued until the station thread takes it up or its waiter withdraws it; whichever
    // comes first decides.
    std::atomic<int> state{kQueued};
};

// The station thread's own state: the session, the list of the union of the names, and
// the mending of breaks. Lives and dies on the station thread.
class WatchHub::Worker {
public:
    explicit Worker(WatchHub& hub)
        : hub_(hub), session_(hub.options_),
          reconnector_(session_, [this](Session&) { return Prepare(true); }) {}

    // The first connection: kExitOk, or why the hub cannot start.
    int Connect() {
        if (!session_.Open()) {
            return kExitOpenFailed;
        }
        return Prepare(false);
    }

    void Run() {
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

private:
    // Loads the symbols and takes the controller's identification; kExitNoSymbols when the
    // station cannot give them yet.
    int Prepare(bool quiet) {
        reader_.reset();
        listNames_.clear();
        if (!session_.LoadSymbols(nullptr, quiet)) {
            return kExitNoSymbols;
        }
        std::vector<nlohmann::json> symbols;
        std::vector<std::string> names;
        for (int32_t i = 0; i < session_.symbolCount(); ++i) {
            const SymbolEntry& entry = *session_.symbols()[i];
            symbols.push_back(SymbolJson(entry));
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

    // Called with the hub's lock held.
    bool HasUnresolved() const {
        return std::any_of(hub_.subscriptions_.begin(), hub_.subscriptions_.end(),
                           [](const std::shared_ptr<Subscription>& s) { return !s->resolved_; });
    }

    // When the station thread must look again at the latest: the earliest due subscription,
    // the next attempt to reconnect.
    HubClock::time_point NextWake() const {
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

    // While the station is away, requests that wait for it are answered at once; open
    // watches wait for it to come back.
    void Mend(const std::vector<std::shared_ptr<Subscription>>& subscriptions,
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

    void Broke() {
        reader_.reset(); // the list goes before its channel changes
        listNames_.clear();
        connected_ = false;
        hub_.SetStation(StationState::kBroken);
        reconnector_.Broke();
        retryAt_ = HubClock::now() + std::chrono::milliseconds(reconnector_.delayMs());
    }

    // Resolves the names of new subscriptions (and of all after a reconnection); ends those
    // with a name the station's project does not have.
    void Resolve(const std::vector<std::shared_ptr<Subscription>>& subscriptions) {
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
            std::lock_guard<std::mutex> lock(hub_.mutex_);
            subscription->resolved_ = true;
            subscription->due_ = HubClock::now();
        }
    }

    // One read of the union when any subscription is due, its values handed out.
    void ReadDue(const std::vector<std::shared_ptr<Subscription>>& subscriptions) {
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
            std::lock_guard<std::mutex> lock(hub_.mutex_);
            subscription->due_ = start + subscription->interval_;
        }
    }

    // The list of every name the live subscriptions ask for, each once, defined again when
    // that set changed. False (every live subscription ended) when the library refuses it.
    bool DefineUnion(const std::vector<std::shared_ptr<Subscription>>& live) {
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

    HubResult Write(const std::vector<std::pair<std::string, std::string>>& pairs) {
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

    WatchHub& hub_;
    Session session_;
    Reconnector reconnector_;
    bool connected_ = false;
    HubClock::time_point retryAt_;
    std::unique_ptr<ListReader> reader_; // the union's list, on session_'s channel
    std::vector<std::string> listNames_; // the names reader_ was defined with
};

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

nlohmann::json WatchHub::Symbols(const std::string& prefix, size_t limit, size_t& matches) const {
    nlohmann::json list = nlohmann::json::array();
    matches = 0;
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < symbols_.size(); ++i) {
        if (!ksym::NameHasPrefix(symbolNames_[i].c_str(), prefix.c_str(), prefix.size())) {
            continue;
        }
        if (++matches <= limit) {
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
