// One reader for many viewers: ksym serve's single owner of the channel to the station.
//
// The library allows one read in progress per channel and posts its completions to a window
// owned by the thread that waits for them, so every library call of the server is made on
// one thread, the station thread, which this hub starts. It reads the union of the names
// that all open subscriptions ask for, as often as the fastest of them asks, and hands each
// subscription the values of its own names when its interval is due. A read once (the
// JSON interface's read) is a subscription that ends after its first record. Writes are
// queued to the station thread and answered from there.
//
// A broken connection is mended as ksym watch mends it; subscriptions stay open and get no
// records meanwhile, and their names are resolved again against the symbols loaded anew.
//
// Threads: every public member may be called from any thread; the station thread is the
// only one that touches the Session, its lists and the fields marked "station thread".
#ifndef KSYM_TOOLS_WATCH_HUB_H
#define KSYM_TOOLS_WATCH_HUB_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/ksym/options.h"
#include "tools/ksym/variables.h"

namespace ksymtool {

using HubClock = std::chrono::steady_clock;

// kExitOk, or the exit code of a failure and its reason. kExitOpenFailed stands for a
// station that is not connected at the moment.
struct HubResult {
    int exitCode = kExitOk;
    std::string why;
    // A write that timed out (kExitNoAnswer): true when it had gone to the station, so that
    // nobody can tell whether it was carried out; false when it was withdrawn unsent.
    bool outcomeUnknown = false;
};

class Subscription {
public:
    enum class Next { kRecord, kTimedOut, kEnded };

    // Takes the oldest record not taken yet ({time, values}), waiting at most `timeout`;
    // kEnded once the hub has ended the subscription and every record was taken.
    Next Take(std::chrono::milliseconds timeout, nlohmann::json& record);
    // Why the hub ended it; kExitOk while open or when it ended normally.
    HubResult result() const;

    // Subscribers that are slow to take their records lose the oldest beyond this many.
    static constexpr size_t kMaxQueued = 32;

private:
    friend class WatchHub;
    Subscription(std::vector<std::string> names, std::chrono::milliseconds interval, bool once)
        : names_(std::move(names)), interval_(interval), once_(once) {}
    void Deliver(nlohmann::json record);
    void End(HubResult result);

    // Set at creation, never changed.
    const std::vector<std::string> names_;
    const std::chrono::milliseconds interval_;
    const bool once_;

    // Station thread.
    bool resolved_ = false;           // names_ resolved against the symbols loaded now
    std::vector<Variable> variables_; // one per name, when resolved_
    std::vector<size_t> slots_;       // where each name sits in the hub's list
    HubClock::time_point due_;

    // Guarded by mutex_: written by the station thread, taken by the subscriber.
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<nlohmann::json> records_;
    bool ended_ = false;
    HubResult result_;
};

// The station as the hub last saw it.
enum class StationState { kConnected, kBroken, kReconnecting };
const char* StationStateName(StationState state);

class WatchHub {
public:
    // Open subscriptions at most, reads once included.
    static constexpr size_t kMaxSubscriptions = 32;

    explicit WatchHub(const Options& options) : options_(options) {}
    WatchHub(const WatchHub&) = delete;
    WatchHub& operator=(const WatchHub&) = delete;
    ~WatchHub() { Stop(); }

    // Starts the station thread and waits until it has opened the channel and loaded the
    // symbols: kExitOk, or kExitOpenFailed / kExitNoSymbols (messages on stderr), and the
    // thread has ended.
    int Start();
    // Ends every subscription and the station thread. Idempotent.
    void Stop();

    // A subscription to `names` every `interval` (once: one record, as soon as possible).
    // Null when kMaxSubscriptions are open. Its first record or its end tells whether the
    // names resolved: an unknown name ends it with kExitBadArgument.
    std::shared_ptr<Subscription> Subscribe(std::vector<std::string> names,
                                            std::chrono::milliseconds interval, bool once);
    // The subscriber is gone; the hub stops reading for it.
    void Unsubscribe(const std::shared_ptr<Subscription>& subscription);

    // Writes NAME and value-text pairs, checked by each variable's type before anything is
    // sent, as ksym write does. Waits at most `timeout`; kExitNoAnswer after it, with the
    // write withdrawn when the station thread had not taken it up yet (it is never sent
    // then), else outcomeUnknown.
    HubResult Write(std::vector<std::pair<std::string, std::string>> assignments,
                    std::chrono::milliseconds timeout);

    // The symbols whose names begin with `prefix` (ASCII letters in any case), at most
    // `limit` of them, as ksym --json symbols lists them; `matches` counts them all.
    nlohmann::json Symbols(const std::string& prefix, size_t limit, size_t& matches) const;
    // {station, state, identification (null until known), symbols (the count), reads (the
    // reads of the union made so far)}.
    nlohmann::json Station() const;

private:
    struct WriteJob;
    class Worker;

    void SetStation(StationState state);

    const Options& options_;
    std::thread thread_;

    // Guarded by mutex_.
    mutable std::mutex mutex_;
    std::condition_variable wake_; // the station thread waits on it for work
    bool stopping_ = false;
    std::vector<std::shared_ptr<Subscription>> subscriptions_;
    std::deque<std::shared_ptr<WriteJob>> jobs_;
    StationState state_ = StationState::kConnected;
    nlohmann::json identification_;        // null until the controller gave it
    std::vector<nlohmann::json> symbols_;  // as loaded last, SymbolJson each
    std::vector<std::string> symbolNames_; // the same symbols' names, for the filter
    uint64_t reads_ = 0;                   // reads of the union that gave values
};

} // namespace ksymtool

#endif
