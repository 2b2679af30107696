// A TCP connection to a station, the few socket calls the TCP transport needs, the same on
// POSIX hosts and on Windows.
#ifndef KSYM_KCLIENT_SOCKET_IO_H
#define KSYM_KCLIENT_SOCKET_IO_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace kclient {

// Owns one connected socket. Threads: one thread sends (under the owner's lock) while
// another receives; Shutdown may be called from any thread to wake the receiver.
class Socket {
public:
    Socket() = default;
    ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // Connects to host:port within timeoutMs; false with `error` set when that fails.
    bool Connect(const std::string& host, const std::string& port, uint32_t timeoutMs,
                 std::string& error);
    // Sends every byte; false when the connection failed, or when the window stayed full
    // for the send time-out: a station that stops reading does not hold a sender (and
    // whoever waits for it) without limit. The stream is then of no further use.
    bool SendAll(const uint8_t* bytes, size_t length);
    // How long a send may wait for room in a full window (kSendTimeoutMs by default).
    void SetSendTimeout(uint32_t timeoutMs);
    // Waits at most timeoutMs for bytes (forever for kForever): the count received, 0 at the
    // end of the stream, -1 on an error, -2 when the time ran out.
    long Receive(uint8_t* buffer, size_t capacity, uint32_t timeoutMs);
    // Ends both directions, so that a blocked Receive returns.
    void Shutdown();

    static constexpr uint32_t kForever = 0xFFFFFFFFu;
    // The connection's own time limit, as for its opening.
    static constexpr uint32_t kSendTimeoutMs = 5000;

private:
    intptr_t handle_ = -1;
    uint32_t sendTimeoutMs_ = kSendTimeoutMs;
};

} // namespace kclient

#endif
