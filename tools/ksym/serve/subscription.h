// A subscription of ksym serve's hub: the names a viewer watches and how often, and the
// mailbox its records wait in until the viewer takes them.
//
// Threads: the hub's station thread delivers and ends; the subscriber (an HTTP handler's
// thread) takes. The hub keeps it alive while it is open, the subscriber while it reads.
#ifndef KSYM_TOOLS_SERVE_SUBSCRIPTION_H
#define KSYM_TOOLS_SERVE_SUBSCRIPTION_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/ksym/options.h"
#include "tools/ksym/variables.h"

namespace ksymtool {

class WatchHub;

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
    // The hub creates and ends subscriptions; its station thread fills them.
    friend class WatchHub;
    Subscription(std::vector<std::string> names, std::chrono::milliseconds interval, bool once)
        : names_(std::move(names)), interval_(interval), once_(once) {}
    void Deliver(nlohmann::json record);
    void End(HubResult result);

    // Set at creation, never changed.
    const std::vector<std::string> names_;
    const std::chrono::milliseconds interval_;
    const bool once_;

    // The station thread's alone: it writes and reads them, and no other thread looks at
    // them (the hub's public members never do), so they need no lock.
    bool resolved_ = false;           // names_ resolved against the symbols loaded now
    std::vector<Variable> variables_; // one per name, when resolved_
    std::vector<size_t> slots_;       // where each name sits in the hub's list
    HubClock::time_point due_;        // when its next record is due, when resolved_

    // Guarded by mutex_: written by the station thread, taken by the subscriber.
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<nlohmann::json> records_;
    bool ended_ = false;
    HubResult result_;
};

} // namespace ksymtool

#endif
