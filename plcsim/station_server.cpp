#include "plcsim/station_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <vector>

#include "plcsim/station_connection.h"
#include "formats/station_frame.h"

namespace plcsim {

namespace {

// How often the acceptor collects the connections that have ended, when nothing arrives.
constexpr int kReapIntervalMs = 200;
constexpr size_t kReceiveChunk = 64 * 1024;
// After accept failed for want of descriptors or memory: the first pause, and the longest.
constexpr uint32_t kFirstAcceptPauseMs = 10;
constexpr uint32_t kLongestAcceptPauseMs = 1000;
// Room for a control command beyond a small block size.
constexpr uint32_t kLeastFramePayload = 4096;

// The largest frame body the station takes: a telegram of its block size (or of any size
// when it has none), and never less than a control command needs.
uint32_t MaxFrameBody(uint32_t blockSize) {
    if (blockSize == 0 || blockSize >= formats::kMaxFramePayload) {
        return formats::kMaxFrameBody;
    }
    return formats::kFrameHeader +
           (blockSize < kLeastFramePayload ? kLeastFramePayload : blockSize);
}

// Whether accept failed because the process or the system ran out of something, rather
// than because one peer gave up meanwhile.
bool OutOfResources(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

int Milliseconds(std::chrono::steady_clock::duration d) {
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(d).count();
    return ms <= 0 ? 0 : ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
}

void CloseFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// Sends all of `bytes`; false when the peer is gone or the connection was shut down.
bool SendAll(int fd, const std::vector<uint8_t>& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

std::string FormatAddress(const sockaddr_storage& address, uint16_t port) {
    char host[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address);
        ::inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof(host));
        return "[" + std::string(host) + "]:" + std::to_string(port);
    }
    const auto* in4 = reinterpret_cast<const sockaddr_in*>(&address);
    ::inet_ntop(AF_INET, &in4->sin_addr, host, sizeof(host));
    return std::string(host) + ":" + std::to_string(port);
}

// A socket listening on the first address of `host` and `port` that takes it, or -1 with
// `error` said.
int Listen(const std::string& host, uint16_t port, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int resolved =
        ::getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &found);
    if (resolved != 0) {
        error = "cannot resolve '" + host + "': " + ::gai_strerror(resolved);
        return -1;
    }
    int listener = -1;
    std::string lastError = "no address";
    for (addrinfo* at = found; at != nullptr && listener < 0; at = at->ai_next) {
        int fd = ::socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC, at->ai_protocol);
        if (fd < 0) {
            lastError = std::strerror(errno);
            continue;
        }
        const int yes = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
        if (::bind(fd, at->ai_addr, at->ai_addrlen) != 0 || ::listen(fd, SOMAXCONN) != 0) {
            lastError = std::strerror(errno);
            CloseFd(fd);
            continue;
        }
        listener = fd;
    }
    ::freeaddrinfo(found);
    if (listener < 0) {
        error = "cannot listen on " + host + ":" + service + ": " + lastError;
    }
    return listener;
}

// The times by which a connection must have sent something: any bytes within the idle
// limit; the rest of a begun frame, and a first session, within the shorter frame limit.
class ConnectionDeadlines {
public:
    using Clock = std::chrono::steady_clock;

    explicit ConnectionDeadlines(const StationLimits& limits)
        : idle_(limits.idleMs), hurry_(limits.frameMs) {}

    Clock::time_point Due(bool holdingFrame, bool hasSessions) const {
        Clock::time_point due = lastBytes_ + idle_;
        if (holdingFrame) {
            due = std::min(due, frameBegun_ + hurry_);
        }
        if (!hasSessions) {
            due = std::min(due, sessionlessSince_ + hurry_);
        }
        return due;
    }

    // Bytes came `at`: whether a frame was left unfinished before and after them, and
    // whether a session was open before and after them.
    void Received(Clock::time_point at, bool wasHolding, bool holding, bool hadSessions,
                  bool hasSessions) {
        lastBytes_ = at;
        if (!wasHolding || !holding) {
            // A frame left unfinished now began with these bytes at the latest.
            frameBegun_ = lastBytes_;
        }
        if (hadSessions && !hasSessions) {
            sessionlessSince_ = lastBytes_;
        }
    }

private:
    const std::chrono::milliseconds idle_;
    const std::chrono::milliseconds hurry_;
    Clock::time_point lastBytes_ = Clock::now();
    Clock::time_point frameBegun_ = lastBytes_;       // of a frame not yet complete
    Clock::time_point sessionlessSince_ = lastBytes_; // no session open since
};

// Answers every complete frame `reader` holds; false when the connection is to end.
bool TakeFrames(formats::FrameReader& reader, StationConnection& frames) {
    formats::Frame frame;
    formats::FrameReader::Result result;
    while ((result = reader.Next(frame)) == formats::FrameReader::Result::Frame) {
        if (!frames.Take(frame)) {
            return false;
        }
    }
    return result != formats::FrameReader::Result::Broken;
}

} // namespace

StationServer::StationServer(std::shared_ptr<Controller> controller, StationLimits limits)
    : controller_(std::move(controller)), limits_(limits) {}

StationServer::~StationServer() {
    Stop();
}

bool StationServer::Start(const std::string& host, uint16_t port, std::string& error) {
    if (listener_ >= 0 || stopping_.load()) {
        error = "the station server was started before";
        return false;
    }
    listener_ = Listen(host, port, error);
    if (listener_ < 0) {
        return false;
    }
    sockaddr_storage bound{};
    socklen_t boundLength = sizeof(bound);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&bound), &boundLength);
    const uint16_t boundPort =
        ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                          : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC) != 0) {
        error = std::string("cannot make a pipe: ") + std::strerror(errno);
        CloseFd(listener_);
        return false;
    }
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];
    address_ = FormatAddress(bound, boundPort);
    port_.store(boundPort);
    if (!acceptor_.Start([this] { AcceptLoop(); })) {
        error = "cannot start the acceptor";
        CloseFd(listener_);
        CloseFd(wakeRead_);
        CloseFd(wakeWrite_);
        port_.store(0);
        address_.clear();
        return false;
    }
    return true;
}

std::string StationServer::Address() const {
    return address_;
}

size_t StationServer::ConnectionCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_.size();
}

void StationServer::Stop() {
    if (stopping_.exchange(true)) {
        return;
    }
    if (wakeWrite_ >= 0) {
        const uint8_t byte = 1;
        // The pipe is never read: once written, every poll on it returns at once.
        while (::write(wakeWrite_, &byte, 1) < 0 && errno == EINTR) {
        }
    }
    acceptor_.Join();
    std::list<std::unique_ptr<Connection>> connections;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connections.swap(connections_);
    }
    // A connection's socket is closed only after its thread is joined, so shutting it down
    // here never touches a descriptor number that was reused meanwhile.
    for (auto& connection : connections) {
        ::shutdown(connection->fd, SHUT_RDWR);
    }
    for (auto& connection : connections) {
        connection->thread.Join();
        CloseFd(connection->fd);
    }
    CloseFd(listener_);
    CloseFd(wakeRead_);
    CloseFd(wakeWrite_);
}

void StationServer::Reap() {
    std::list<std::unique_ptr<Connection>> ended;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            if ((*it)->done.load()) {
                ended.push_back(std::move(*it));
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& connection : ended) {
        connection->thread.Join();
        CloseFd(connection->fd);
    }
}

void StationServer::AcceptLoop() {
    uint32_t pauseMs = 0; // while accept fails for want of resources
    bool full = false;    // the limit of connections reached, and told
    while (!stopping_.load()) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        const int ready = ::poll(fds, 2, kReapIntervalMs);
        Reap();
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (ready <= 0 || (fds[1].revents & POLLIN) != 0 || (fds[0].revents & POLLIN) == 0) {
            continue;
        }
        int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            if (OutOfResources(error)) {
                // The waiting client stays in the backlog and the listener stays readable:
                // without a pause this loop would spin until a descriptor is free.
                if (pauseMs == 0 && report_) {
                    report_(std::string("cannot take further connections for now: ") +
                            std::strerror(error) + "; waiting for some to end");
                }
                pauseMs = pauseMs == 0 ? kFirstAcceptPauseMs
                                       : std::min(pauseMs * 2, kLongestAcceptPauseMs);
                Pause(pauseMs);
            }
            continue; // otherwise the peer gave up meanwhile
        }
        pauseMs = 0;
        const int yes = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof(yes));
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        std::lock_guard<std::mutex> lock(mutex_);
        if (connections_.size() >= kMaxStationConnections) {
            if (!full && report_) {
                report_("the limit of " + std::to_string(kMaxStationConnections) +
                        " connections is reached; further clients are turned away until "
                        "some end");
            }
            full = true;
            CloseFd(connection->fd);
            continue;
        }
        full = false;
        Connection& served = *connection;
        if (!connection->thread.Start([this, &served] { Serve(served); })) {
            CloseFd(connection->fd);
            continue;
        }
        connections_.push_back(std::move(connection));
    }
}

bool StationServer::Pause(uint32_t ms) const {
    const auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (stopping_.load()) {
            return false;
        }
        // Rounded up, so that the reply never leaves before its time.
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(due - std::chrono::steady_clock::now())
                .count();
        if (left <= 0) {
            return true;
        }
        pollfd wake = {wakeRead_, POLLIN, 0};
        if (::poll(&wake, 1, static_cast<int>(left)) > 0) {
            return false;
        }
    }
}

void StationServer::Serve(Connection& connection) {
    const int fd = connection.fd;
    formats::FrameReader reader(MaxFrameBody(controller_->GetConfig().blockSize));
    StationConnection frames(
        *controller_,
        [fd](formats::FrameKind kind, uint16_t session, const std::vector<uint8_t>& payload) {
            return SendAll(fd, formats::EncodeFrame(kind, session, payload.data(), payload.size()));
        },
        [this](uint32_t ms) { return Pause(ms); });
    std::vector<uint8_t> received(kReceiveChunk);
    ConnectionDeadlines deadlines(limits_);
    bool open = true;
    try {
        while (open && !stopping_.load()) {
            const auto due = deadlines.Due(reader.Holding(), frames.HasSessions());
            pollfd fds[2] = {{fd, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
            const int ready = ::poll(fds, 2, Milliseconds(due - ConnectionDeadlines::Clock::now()));
            if (ready < 0) {
                if (errno == EINTR) {
                    continue;
                }
                break;
            }
            if (ready == 0 || (fds[1].revents & POLLIN) != 0) {
                break; // the time ran out, or the server stops
            }
            const ssize_t n = ::recv(fd, received.data(), received.size(), 0);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            const bool wasHolding = reader.Holding();
            const bool hadSessions = frames.HasSessions();
            const auto at = ConnectionDeadlines::Clock::now();
            reader.Feed(received.data(), static_cast<size_t>(n));
            open = TakeFrames(reader, frames);
            deadlines.Received(at, wasHolding, reader.Holding(), hadSessions, frames.HasSessions());
        }
    } catch (const std::bad_alloc&) {
        // A frame too big for the memory left: this connection ends, the server goes on.
    }
    // The peer sees the end at once; the descriptor is closed when the thread is collected.
    ::shutdown(fd, SHUT_RDWR);
    connection.done.store(true);
}

} // namespace plcsim
