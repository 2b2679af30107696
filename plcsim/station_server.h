// A station server: serves one simulated controller to clients over TCP, in the framing of
// station_frame.h (docs/station-protocol.md). POSIX only.
#ifndef KSYM_PLCSIM_STATION_SERVER_H
#define KSYM_PLCSIM_STATION_SERVER_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "plcsim/controller.h"
#include "platform/worker_thread.h"

namespace plcsim {

// The most connections served at once; one more is accepted and closed at once.
inline constexpr size_t kMaxStationConnections = 1024;

// How long a connection may keep the server waiting. A peer that does not open a session
// soon, stops in the middle of a frame, or falls silent for good loses its connection, so
// that silent connections cannot hold the server's places (and threads) for ever.
struct StationLimits {
    // Nothing received on a connection with a session open (a client's keep-alive frames
    // count; the client library sends one a minute).
    uint32_t idleMs = 300000;
    // A frame begun and not complete, and a connection without a session open.
    uint32_t frameMs = 10000;
};

// Threads: one accepts connections, one serves each connection (its sessions one request at
// a time, sleeping out the controller's latency before each answer). Every connection's
// sessions share the one controller, so memory, project and login state are the station's.
// Start and Stop are for one owning thread; Port and ConnectionCount may be called from any.
class StationServer {
public:
    explicit StationServer(std::shared_ptr<Controller> controller, StationLimits limits = {});
    ~StationServer(); // stops the server
    StationServer(const StationServer&) = delete;
    StationServer& operator=(const StationServer&) = delete;

    // Listens on host:port (port 0: a free port the system picks; host a numeric address or
    // a name that resolves to one). False with `error` set when the address does not resolve
    // or cannot be bound, or when the server was started before.
    bool Start(const std::string& host, uint16_t port, std::string& error);

    // The port listened on, 0 before Start.
    uint16_t Port() const { return port_.load(); }
    // The bound address as host:port, [host]:port for IPv6; empty before Start.
    std::string Address() const;

    // Connections open right now, including those whose end has not been collected yet.
    size_t ConnectionCount() const;

    // Where the server tells what its operator should know: the limit of connections reached,
    // connections refused for want of descriptors. Called on the acceptor thread, once per
    // episode. Set before Start; nothing is told by default.
    void SetReporter(std::function<void(const std::string&)> report) {
        report_ = std::move(report);
    }

    // Closes the listener and every connection and waits for every thread. Idempotent.
    void Stop();

private:
    struct Connection {
        int fd = -1;
        kplatform::WorkerThread thread;
        std::atomic<bool> done{false};
    };

    void AcceptLoop();
    void Serve(Connection& connection);
    // Joins and releases the connections whose thread has ended.
    void Reap();
    // Waits up to `ms`; false when the server is stopping meanwhile.
    bool Pause(uint32_t ms) const;

    std::shared_ptr<Controller> controller_;
    const StationLimits limits_;
    std::function<void(const std::string&)> report_;
    int listener_ = -1;
    int wakeRead_ = -1; // readable once Stop begins, to end every wait at once
    int wakeWrite_ = -1;
    std::atomic<uint16_t> port_{0};
    std::string address_;
    std::atomic<bool> stopping_{false};
    kplatform::WorkerThread acceptor_;
    mutable std::mutex mutex_; // guards connections_
    std::list<std::unique_ptr<Connection>> connections_;
};

} // namespace plcsim

#endif
