#include "kclient/socket_io.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

#include <mutex>

namespace kclient {

namespace {

#ifdef _WIN32
using Native = SOCKET;
constexpr Native kNone = INVALID_SOCKET;

// Winsock is started once for the process, on first use.
void StartSockets() {
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    });
}
void CloseNative(Native s) {
    closesocket(s);
}
bool InProgress() {
    return WSAGetLastError() == WSAEWOULDBLOCK;
}
void SetBlocking(Native s, bool blocking) {
    u_long mode = blocking ? 0 : 1;
    ioctlsocket(s, FIONBIO, &mode);
}
int Poll(Native s, short events, uint32_t timeoutMs) {
    WSAPOLLFD entry{s, events, 0};
    return WSAPoll(&entry, 1, timeoutMs == Socket::kForever ? -1 : static_cast<INT>(timeoutMs));
}
#else
using Native = int;
constexpr Native kNone = -1;
void StartSockets() {}
void CloseNative(Native s) {
    close(s);
}
bool InProgress() {
    return errno == EINPROGRESS;
}
void SetBlocking(Native s, bool blocking) {
    const int flags = fcntl(s, F_GETFL, 0);
    fcntl(s, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
}
int Poll(Native s, short events, uint32_t timeoutMs) {
    pollfd entry{s, events, 0};
    int result = 0;
    do {
        result = poll(&entry, 1, timeoutMs == Socket::kForever ? -1 : static_cast<int>(timeoutMs));
    } while (result < 0 && errno == EINTR);
    return result;
}
#endif

Native ToNative(intptr_t handle) {
    return static_cast<Native>(handle);
}

} // namespace

Socket::~Socket() {
    if (handle_ != -1) {
        CloseNative(ToNative(handle_));
    }
}

bool Socket::Connect(const std::string& host, const std::string& port, uint32_t timeoutMs,
                     std::string& error) {
    StartSockets();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || found == nullptr) {
        error = "cannot resolve '" + host + "'";
        return false;
    }
    bool connected = false;
    for (addrinfo* at = found; at != nullptr && !connected; at = at->ai_next) {
        const Native s = socket(at->ai_family, at->ai_socktype, at->ai_protocol);
        if (s == kNone) {
            continue;
        }
        SetBlocking(s, false);
        const int result = connect(s, at->ai_addr, static_cast<int>(at->ai_addrlen));
        bool ok = result == 0;
        if (!ok && InProgress() && Poll(s, POLLOUT, timeoutMs) > 0) {
            int status = 0;
            socklen_t size = sizeof status;
            ok =
                getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&status), &size) == 0 &&
                status == 0;
        }
        if (!ok) {
            CloseNative(s);
            continue;
        }
        SetBlocking(s, true);
        int on = 1;
        // Telegrams are small and answered one by one: send each at once.
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
        handle_ = static_cast<intptr_t>(s);
        SetSendTimeout(kSendTimeoutMs);
        connected = true;
    }
    freeaddrinfo(found);
    if (!connected) {
        error = "cannot connect to " + host + ":" + port;
    }
    return connected;
}

bool Socket::SendAll(const uint8_t* bytes, size_t length) {
    if (handle_ == -1) {
        return false;
    }
    while (length != 0) {
        // Room in the window within the time-out, or the peer has stopped taking anything.
        if (Poll(ToNative(handle_), POLLOUT, sendTimeoutMs_) <= 0) {
            return false;
        }
        const int chunk = length > 0x10000 ? 0x10000 : static_cast<int>(length);
#ifdef _WIN32
        // Blocking, but bounded by SO_SNDTIMEO.
        const int sent = send(ToNative(handle_), reinterpret_cast<const char*>(bytes), chunk, 0);
#else
        const long sent =
            send(ToNative(handle_), bytes, static_cast<size_t>(chunk), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            continue;
        }
#endif
        if (sent <= 0) {
            return false;
        }
        bytes += sent;
        length -= static_cast<size_t>(sent);
    }
    return true;
}

void Socket::SetSendTimeout(uint32_t timeoutMs) {
    sendTimeoutMs_ = timeoutMs;
    if (handle_ == -1) {
        return;
    }
#ifdef _WIN32
    const DWORD limit = timeoutMs;
    setsockopt(ToNative(handle_), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&limit),
               sizeof limit);
#endif
}

long Socket::Receive(uint8_t* buffer, size_t capacity, uint32_t timeoutMs) {
    if (handle_ == -1) {
        return -1;
    }
    const int ready = Poll(ToNative(handle_), POLLIN, timeoutMs);
    if (ready == 0) {
        return -2;
    }
    if (ready < 0) {
        return -1;
    }
    const int chunk = capacity > 0x10000 ? 0x10000 : static_cast<int>(capacity);
#ifdef _WIN32
    const int got = recv(ToNative(handle_), reinterpret_cast<char*>(buffer), chunk, 0);
#else
    long got = 0;
    do {
        got = recv(ToNative(handle_), buffer, static_cast<size_t>(chunk), 0);
    } while (got < 0 && errno == EINTR);
#endif
    return got < 0 ? -1 : static_cast<long>(got);
}

void Socket::Shutdown() {
    if (handle_ != -1) {
#ifdef _WIN32
        shutdown(ToNative(handle_), SD_BOTH);
#else
        shutdown(ToNative(handle_), SHUT_RDWR);
#endif
    }
}

} // namespace kclient
