// ksym serve's station thread: the one owner of the session to the station. It reads the
// union of the subscriptions' names, hands out their records, carries out the queued writes
// and mends a broken connection (see watch_hub.h).
//
// Threads: a Worker lives and dies on the hub's station thread; it touches the hub's fields
// under the hub's mutex only, its own fields and the subscriptions' station-thread fields
// without a lock.
#ifndef KSYM_TOOLS_SERVE_STATION_WORKER_H
#define KSYM_TOOLS_SERVE_STATION_WORKER_H

#include <atomic>
#include <deque>
#include <future>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tools/ksym/list_read.h"
#include "tools/ksym/reconnect.h"
#include "tools/ksym/serve/watch_hub.h"
#include "tools/ksym/session.h"

namespace ksymtool {

// What a request that needs the station is told while it is away.
inline constexpr const char* kNotConnected = "the station is not connected";

struct WatchHub::WriteJob {
    enum State { kQueued, kTaken, kWithdrawn };
    std::vector<std::pair<std::string, std::string>> assignments;
    std::promise<HubResult> done;
    // kQueued until the station thread takes it up or its waiter withdraws it; whichever
    // comes first decides.
    std::atomic<int> state{kQueued};
};

class WatchHub::Worker {
public:
    explicit Worker(WatchHub& hub)
        : hub_(hub), session_(hub.options_),
          reconnector_(session_, [this](Session&) { return Prepare(true); }) {}

    // The first connection: kExitOk, or why the hub cannot start.
    int Connect();

    // Serves the subscriptions and writes until the hub stops or the user interrupts.
    void Run();

private:
    // Loads the symbols and takes the controller's identification; kExitNoSymbols when the
    // station cannot give them yet.
    int Prepare(bool quiet);

    // Called with the hub's lock held (it reads the subscription list).
    bool HasUnresolved() const;

    // When the station thread must look again at the latest: the earliest due subscription,
    // the next attempt to reconnect.
    HubClock::time_point NextWake() const;

    // While the station is away, requests that wait for it are answered at once; open
    // watches wait for it to come back.
    void Mend(const std::vector<std::shared_ptr<Subscription>>& subscriptions,
              const std::deque<std::shared_ptr<WriteJob>>& jobs);

    // The connection broke: drops the list and schedules the first attempt to mend it.
    void Broke();

    // Resolves the names of new subscriptions (and of all after a reconnection); ends those
    // with a name the station's project does not have.
    void Resolve(const std::vector<std::shared_ptr<Subscription>>& subscriptions);

    // One read of the union when any subscription is due, its values handed out.
    void ReadDue(const std::vector<std::shared_ptr<Subscription>>& subscriptions);

    // The list of every name the live subscriptions ask for, each once, defined again when
    // that set changed. False (every live subscription ended) when the library refuses it.
    bool DefineUnion(const std::vector<std::shared_ptr<Subscription>>& live);

    // Resolves, checks and writes the assignments, as ksym write does.
    HubResult Write(const std::vector<std::pair<std::string, std::string>>& pairs);

    WatchHub& hub_;
    Session session_;
    Reconnector reconnector_;
    bool connected_ = false;
    HubClock::time_point retryAt_;
    std::unique_ptr<ListReader> reader_; // the union's list, on session_'s channel
    std::vector<std::string> listNames_; // the names reader_ was defined with
};

} // namespace ksymtool

#endif
