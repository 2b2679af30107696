#include "tools/ksym/serve/http_guard.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace ksymtool {

using Clock = std::chrono::steady_clock;

// One client connection and what has been read of it but not yet handed to the library.
struct GuardedConnection {
    GuardedConnection() = default;
    GuardedConnection(const GuardedConnection&) = delete;
    GuardedConnection& operator=(const GuardedConnection&) = delete;
    ~GuardedConnection() {
        if (fd >= 0) {
            ::close(fd);
        }
    }

    // The bytes not handed out yet.
    size_t Unread() const { return buffer.size() - used; }
    // Forgets what was handed out.
    void Compact() {
        buffer.erase(0, used);
        used = 0;
    }

    int fd = -1;
    std::string buffer;
    size_t used = 0;       // bytes of buffer handed to the library
    Clock::time_point due; // the head reader's deadline for this connection
    bool begun = false;    // a byte of the next head has arrived
    size_t requests = 0;   // served on this connection
};

namespace {

// How often a waiting read or write looks whether the server stops; and the head reader.
constexpr int kSliceMs = 100;
constexpr int kReaderSliceMs = 500;

int MsUntil(Clock::time_point due) {
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now()).count();
    return ms <= 0 ? 0 : ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
}

enum class Head { Complete, Incomplete, TooLarge };

// Whether the unread bytes of `connection` begin with a whole head within the limits;
// `length` receives its length, blank line included.
Head CheckHead(const GuardedConnection& connection, const HttpLimits& limits, size_t& length) {
    const char* bytes = connection.buffer.data() + connection.used;
    const size_t size = connection.Unread();
    size_t lines = 0;
    for (size_t i = 0; i < size && i < limits.maxHeadBytes; ++i) {
        if (bytes[i] != '\n') {
            continue;
        }
        if (++lines > limits.maxHeadLines) {
            return Head::TooLarge;
        }
        const bool blank = (i >= 1 && bytes[i - 1] == '\n') ||
                           (i >= 2 && bytes[i - 1] == '\r' && bytes[i - 2] == '\n');
        if (blank) {
            length = i + 1;
            return Head::Complete;
        }
    }
    return size >= limits.maxHeadBytes ? Head::TooLarge : Head::Incomplete;
}

// Answers a request that will not be served, as well as a full socket allows, before the
// connection is closed.
void Refuse(int fd, int status, const char* reason, const char* why) {
    const std::string body = std::string("{\"error\":\"") + why + "\",\"code\":3}";
    const std::string text = "HTTP/1.1 " + std::to_string(status) + " " + reason +
                             "\r\nContent-Type: application/json\r\nConnection: close\r\n"
                             "Content-Length: " +
                             std::to_string(body.size()) + "\r\n\r\n" + body;
    [[maybe_unused]] const ssize_t ignored =
        ::send(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

std::string NumericHost(const sockaddr_storage& address, int& port) {
    char host[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address);
        ::inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
        port = ntohs(in6->sin6_port);
    } else {
        const auto* in4 = reinterpret_cast<const sockaddr_in*>(&address);
        ::inet_ntop(AF_INET, &in4->sin_addr, host, sizeof host);
        port = ntohs(in4->sin_port);
    }
    return host;
}

// The library's view of a connection that a worker serves: reads come from what the head
// reader collected first, then from the socket with the request's deadline and the body's
// bound; writes wait for a client that does not read only so long. Every wait ends at once
// when the server stops.
class GuardedStream : public httplib::Stream {
public:
    GuardedStream(GuardedConnection& connection, const HttpLimits& limits,
                  const std::atomic<bool>& stopping)
        : connection_(connection), limits_(limits), stopping_(stopping) {}

    // A new request, whose head of `headLength` bytes lies whole in the connection's buffer.
    void BeginRequest(size_t headLength) {
        headLeft_ = headLength;
        body_ = 0;
        due_ = Clock::now() + std::chrono::milliseconds(limits_.bodyMs);
    }
    bool failed() const { return failed_; }

    bool is_readable() const override { return connection_.Unread() != 0 || WaitFor(POLLIN, due_); }
    bool is_writable() const override {
        return !failed_ &&
               WaitFor(POLLOUT, Clock::now() + std::chrono::milliseconds(limits_.writeMs));
    }

    ssize_t read(char* ptr, size_t size) override {
        if (size == 0) {
            return 0;
        }
        if (connection_.Unread() != 0) {
            const size_t n = std::min(size, connection_.Unread());
            std::memcpy(ptr, connection_.buffer.data() + connection_.used, n);
            connection_.used += n;
            Count(n);
            return static_cast<ssize_t>(n);
        }
        // Beyond the buffer lies only body: the head was whole in it.
        if (failed_ || body_ >= limits_.maxBodyWireBytes) {
            failed_ = true;
            return -1;
        }
        const size_t room = std::min(size, limits_.maxBodyWireBytes - body_);
        for (;;) {
            if (!WaitFor(POLLIN, due_)) {
                failed_ = true;
                return -1;
            }
            const ssize_t n = ::recv(connection_.fd, ptr, room, MSG_DONTWAIT);
            if (n > 0) {
                Count(static_cast<size_t>(n));
                return n;
            }
            if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
                continue;
            }
            failed_ = true;
            return -1;
        }
    }

    ssize_t write(const char* ptr, size_t size) override {
        const Clock::time_point due = Clock::now() + std::chrono::milliseconds(limits_.writeMs);
        while (!failed_) {
            const ssize_t n = ::send(connection_.fd, ptr, size, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n >= 0) {
                return n;
            }
            if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
                break;
            }
            if (!WaitFor(POLLOUT, due)) {
                break;
            }
        }
        failed_ = true;
        return -1;
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        port = -1;
        if (::getpeername(connection_.fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            ip = NumericHost(address, port);
        }
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        port = -1;
        if (::getsockname(connection_.fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            ip = NumericHost(address, port);
        }
    }
    socket_t socket() const override { return connection_.fd; }

private:
    void Count(size_t n) {
        const size_t head = std::min(n, headLeft_);
        headLeft_ -= head;
        body_ += n - head;
    }

    // Waits until the socket is ready for `events` or `due`, looking every slice whether
    // the server stops.
    bool WaitFor(short events, Clock::time_point due) const {
        for (;;) {
            const int left = MsUntil(due);
            if (stopping_.load() || left == 0) {
                return false;
            }
            pollfd wait{connection_.fd, events, 0};
            const int ready = ::poll(&wait, 1, std::min(left, kSliceMs));
            if (ready > 0) {
                return true; // also a hang-up or an error: the next call tells
            }
            if (ready < 0 && errno != EINTR) {
                return false;
            }
        }
    }

    GuardedConnection& connection_;
    const HttpLimits& limits_;
    const std::atomic<bool>& stopping_;
    size_t headLeft_ = 0;
    size_t body_ = 0;
    Clock::time_point due_;
    bool failed_ = false;
};

// The library hands each accepted connection to its task queue; this one hands it over at
// once, on the accept loop's thread, since all there is to do is a queue insertion.
class HandOver : public httplib::TaskQueue {
public:
    void enqueue(std::function<void()> fn) override { fn(); }
    void shutdown() override {}
};

} // namespace

GuardedServer::GuardedServer(HttpLimits limits) : limits_(limits) {
    new_task_queue = [] { return new HandOver; };
}

GuardedServer::~GuardedServer() {
    StopAll();
}

bool GuardedServer::StartGuard() {
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];
    try {
        reader_ = std::thread([this] { ReadHeads(); });
        for (size_t i = 0; i < limits_.workers; ++i) {
            workers_.emplace_back([this] { Work(); });
        }
    } catch (const std::system_error&) {
        StopAll();
        return false;
    }
    return true;
}

void GuardedServer::StopAll() {
    if (stopping_.exchange(true)) {
        return;
    }
    stop(); // the library's accept loop
    Wake();
    ready_.notify_all();
    if (reader_.joinable()) {
        reader_.join();
    }
    for (std::thread& worker : workers_) {
        worker.join();
    }
    workers_.clear();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        incoming_.clear();
        served_.clear();
        waiting_ = 0;
    }
    for (int* fd : {&wakeRead_, &wakeWrite_}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

size_t GuardedServer::Waiting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return waiting_;
}

bool GuardedServer::process_and_close_socket(socket_t sock) {
    auto connection = std::make_unique<GuardedConnection>();
    connection->fd = sock;
    ::fcntl(sock, F_SETFL, ::fcntl(sock, F_GETFL, 0) | O_NONBLOCK);
    connection->due = Clock::now() + std::chrono::milliseconds(limits_.headMs);
    Wait(std::move(connection));
    return true;
}

void GuardedServer::Wake() {
    if (wakeWrite_ >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t ignored = ::write(wakeWrite_, &byte, 1);
    }
}

void GuardedServer::Wait(std::unique_ptr<GuardedConnection> connection) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!stopping_.load() && waiting_ < limits_.maxWaiting) {
            incoming_.push_back(std::move(connection));
            ++waiting_;
        }
    }
    if (connection != nullptr) {
        if (connection->requests == 0) {
            Refuse(connection->fd, 503, "Service Unavailable", "too many connections");
        }
        return; // closed as it goes
    }
    Wake();
}

void GuardedServer::ReadHeads() {
    std::vector<std::unique_ptr<GuardedConnection>> pending;
    std::vector<pollfd> fds;
    while (!stopping_.load()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (auto& connection : incoming_) {
                pending.push_back(std::move(connection));
            }
            incoming_.clear();
        }
        fds.assign(1, pollfd{wakeRead_, POLLIN, 0});
        int timeout = kReaderSliceMs;
        for (const auto& connection : pending) {
            fds.push_back(pollfd{connection->fd, POLLIN, 0});
            timeout = std::min(timeout, MsUntil(connection->due));
        }
        if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
            break;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            char drain[64];
            while (::read(wakeRead_, drain, sizeof drain) > 0) {
            }
        }
        const Clock::time_point now = Clock::now();
        std::vector<std::unique_ptr<GuardedConnection>> kept;
        size_t dropped = 0; // closed as `pending` goes
        for (size_t i = 0; i < pending.size(); ++i) {
            const HeadTurn turn = ReadHead(pending[i], fds[i + 1].revents, now);
            if (turn == HeadTurn::Waiting) {
                kept.push_back(std::move(pending[i]));
            } else if (turn == HeadTurn::Closed) {
                ++dropped;
            }
        }
        if (dropped != 0) {
            std::lock_guard<std::mutex> lock(mutex_);
            waiting_ -= dropped;
        }
        pending.swap(kept);
    }
}

GuardedServer::HeadTurn GuardedServer::ReadHead(std::unique_ptr<GuardedConnection>& connection,
                                                short events, Clock::time_point now) {
    if ((events & (POLLIN | POLLHUP | POLLERR)) != 0) {
        // Never more of a head than the limit lets it have, and one byte to tell.
        char chunk[4096];
        const size_t room = std::min(sizeof chunk, limits_.maxHeadBytes + 1 - connection->Unread());
        const ssize_t n = ::recv(connection->fd, chunk, room, MSG_DONTWAIT);
        if (n > 0) {
            connection->buffer.append(chunk, static_cast<size_t>(n));
            if (!connection->begun) {
                connection->begun = true;
                connection->due = now + std::chrono::milliseconds(limits_.headMs);
            }
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
            return HeadTurn::Closed; // the client is gone
        }
    }
    size_t length = 0;
    const Head head = CheckHead(*connection, limits_, length);
    if (head == Head::Complete) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            served_.push_back(std::move(connection));
        }
        ready_.notify_one();
        return HeadTurn::Served;
    }
    if (head == Head::TooLarge) {
        Refuse(connection->fd, 431, "Request Header Fields Too Large",
               "the request head is too large");
        return HeadTurn::Closed;
    }
    if (now >= connection->due) {
        if (connection->begun) {
            Refuse(connection->fd, 408, "Request Timeout",
                   "the request head did not arrive in time");
        }
        return HeadTurn::Closed;
    }
    return HeadTurn::Waiting;
}

void GuardedServer::Work() {
    for (;;) {
        std::unique_ptr<GuardedConnection> connection;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            ready_.wait(lock, [this] { return stopping_.load() || !served_.empty(); });
            if (stopping_.load()) {
                return;
            }
            connection = std::move(served_.front());
            served_.pop_front();
            --waiting_;
        }
        Serve(std::move(connection));
    }
}

void GuardedServer::Serve(std::unique_ptr<GuardedConnection> connection) {
    GuardedStream stream(*connection, limits_, stopping_);
    for (;;) {
        size_t length = 0;
        if (CheckHead(*connection, limits_, length) != Head::Complete) {
            break;
        }
        stream.BeginRequest(length);
        const bool last = ++connection->requests >= limits_.maxRequestsPerConnection;
        bool closed = false;
        process_request(stream, last, closed, [&stream](httplib::Request& req) {
            stream.get_remote_ip_and_port(req.remote_addr, req.remote_port);
            req.set_header("REMOTE_ADDR", req.remote_addr);
            req.set_header("REMOTE_PORT", std::to_string(req.remote_port));
            stream.get_local_ip_and_port(req.local_addr, req.local_port);
            req.set_header("LOCAL_ADDR", req.local_addr);
            req.set_header("LOCAL_PORT", std::to_string(req.local_port));
        });
        connection->Compact();
        if (closed || last || stream.failed() || stopping_.load()) {
            return; // closed as it goes
        }
    }
    // The next request's head comes to the head reader, not to a waiting worker.
    connection->begun = connection->Unread() != 0;
    connection->due = Clock::now() + std::chrono::milliseconds(
                                         connection->begun ? limits_.headMs : limits_.keepAliveMs);
    Wait(std::move(connection));
}

} // namespace ksymtool
