// A TCP connection of the test's own to a server on loopback, for the tests that play a
// hostile or careless peer; and what the tests measure of the server's process.
#ifndef KSYM_TESTS_TOOLS_RAW_SOCKET_H
#define KSYM_TESTS_TOOLS_RAW_SOCKET_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace ksymtest {

using RawClock = std::chrono::steady_clock;

inline long ElapsedMs(RawClock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(RawClock::now() - since).count());
}

class RawSocket {
public:
    explicit RawSocket(uint16_t port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        connected_ = connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawSocket() { close(fd_); }
    RawSocket(const RawSocket&) = delete;
    RawSocket& operator=(const RawSocket&) = delete;

    bool connected() const { return connected_; }

    // Every byte, or false once the peer refuses more (it closed, or reset).
    bool Send(const void* data, size_t length) {
        const auto* bytes = static_cast<const uint8_t*>(data);
        size_t sent = 0;
        while (sent < length) {
            const ssize_t n = send(fd_, bytes + sent, length - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            sent += static_cast<size_t>(n);
        }
        return true;
    }
    bool Send(const std::string& text) { return Send(text.data(), text.size()); }

    // Up to `capacity` bytes within `ms`: the count, 0 when the peer closed, -1 when nothing
    // came in time or the connection failed.
    long Receive(void* buffer, size_t capacity, int ms) {
        pollfd wait{fd_, POLLIN, 0};
        if (poll(&wait, 1, ms) <= 0) {
            return -1;
        }
        const ssize_t n = recv(fd_, buffer, capacity, 0);
        return n < 0 ? -1 : static_cast<long>(n);
    }

    // Everything the peer sends until it closes, or until `ms` passed.
    std::string ReceiveAll(int ms) {
        std::string text;
        const RawClock::time_point due = RawClock::now() + std::chrono::milliseconds(ms);
        char chunk[4096];
        for (long left; (left = -ElapsedMs(due)) > 0;) {
            const long n = Receive(chunk, sizeof chunk, static_cast<int>(left));
            if (n <= 0) {
                break;
            }
            text.append(chunk, static_cast<size_t>(n));
        }
        return text;
    }

    // True when the peer closes the connection within `ms` (whatever it sends first).
    bool ClosedWithin(int ms) {
        const RawClock::time_point due = RawClock::now() + std::chrono::milliseconds(ms);
        char chunk[4096];
        for (long left; (left = -ElapsedMs(due)) > 0;) {
            pollfd wait{fd_, POLLIN, 0};
            if (poll(&wait, 1, static_cast<int>(left)) <= 0) {
                return false;
            }
            if (recv(fd_, chunk, sizeof chunk, 0) <= 0) {
                return true;
            }
        }
        return false;
    }

private:
    int fd_;
    bool connected_ = false;
};

// The resident size of a process, in kB (/proc/PID/status).
inline uint64_t ResidentKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stoull(line.substr(6));
        }
    }
    return 0;
}

// The processor time a process has used, user and system, in seconds (/proc/PID/stat).
inline double CpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)),
                           std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i >= 14) {
            ticks += std::stoull(field); // utime, stime
        }
    }
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

} // namespace ksymtest

#endif
