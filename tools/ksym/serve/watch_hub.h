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
// Threads: every public member may be called from any thread; the station thread (its
// worker, station_worker.h) is the only one that touches the Session, its lists and the
// subscriptions' station-thread fields.
#ifndef KSYM_TOOLS_SERVE_WATCH_HUB_H
#define KSYM_TOOLS_SERVE_WATCH_HUB_H

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
#include "tools/ksym/serve/subscription.h"

namespace ksymtool {

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

    // The symbols whose names begin with `prefix` (ASCII letters in any case), the first
    // `from` of them left out, at most `limit` of them, as ksym --json symbols lists them,
    // each with its value's kind (ValueKindName); `matches` counts them all.
    nlohmann::json Symbols(const std::string& prefix, size_t from, size_t limit,
                           size_t& matches) const;
    // {station, state, identification (null until known), symbols (the count), reads (the
    // reads of the union made so far)}.
    nlohmann::json Station() const;

private:
    // A write on its way to the station thread, and the station thread's own state
    // (station_worker.h).
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
