// Plays a station to the real client library over a loopback connection: the client opens
// a channel to tcp:127.0.0.1:PORT (KClientKOpenChannelEx), and the station answers the
// client's Open with the input's bytes, sent in pieces whose sizes the input chooses, then
// ends its side of the stream. The client's session opening (TcpTransport::OpenSession) and
// receive thread (ReceiveLoop) take in every byte; the caller fetches what was delivered
// with KClientGetReplyStatus, KClientDllKGetDataSize and KClientRead, as the library's
// notification thread does.
//
// Input: byte 0, low 4 bits: the count S of piece sizes; S bytes, each a piece size minus 1
// (used in turn; none: everything at once); the rest is the station's stream.
//
// Checked against a plain reading of the frame layout: the channel opens exactly when the
// stream begins with an Opened frame of session 0 whose payload parses, and then reports its
// byte order, block size and project name; every later Reply of session 0 is delivered as a
// reply of exactly its payload's bytes and size, every Fatal of session 0 as one fatal
// notification, and nothing for other sessions or other kinds, in stream order; the end of
// the stream, or a break of the framing, gives exactly one more fatal notification, after
// which nothing comes. Every wait is bounded, so a hang fails the input.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "extern/kclient.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/frame_layout.h"
#include "platform/win32.h"

namespace {

using ksymfuzz::FrameLayout;
using ksymfuzz::FrameSpan;

// Long enough for any machine under a sanitizer, short enough to tell a hang.
constexpr int kWaitMs = 10000;
constexpr uint8_t kOpened = 2;
constexpr uint8_t kReply = 4;
constexpr uint8_t kFatal = 5;

// The station's listening socket, made once for the whole run.
struct Listener {
    Listener() {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        FUZZ_CHECK(fd >= 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        FUZZ_CHECK(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
        FUZZ_CHECK(::listen(fd, 16) == 0);
        socklen_t length = sizeof address;
        FUZZ_CHECK(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0);
        station = "tcp:127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    }
    int fd = -1;
    std::string station;
};

Listener& TheListener() {
    static Listener listener;
    return listener;
}

bool WaitReadable(int fd) {
    pollfd entry{fd, POLLIN, 0};
    int ready = 0;
    do {
        ready = ::poll(&entry, 1, kWaitMs);
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

// Reads and drops what the client sends until it closes its end (or the wait runs out).
void DrainUntilClosed(int fd) {
    uint8_t buffer[256];
    while (WaitReadable(fd)) {
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0 && !(got < 0 && errno == EINTR)) {
            return;
        }
    }
}

// The station's side of one connection: the client's Open in, the stream out in pieces,
// then the end of the stream.
void PlayStation(const uint8_t* stream, size_t size, const std::vector<size_t>& pieces) {
    const int listener = TheListener().fd;
    FUZZ_CHECK(WaitReadable(listener));
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    FUZZ_CHECK(fd >= 0);
    uint8_t open[8];
    size_t got = 0;
    while (got < sizeof open && WaitReadable(fd)) {
        const ssize_t n = ::recv(fd, open + got, sizeof open - got, 0);
        if (n <= 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    // The client opens session 0 with an Open frame and nothing in it.
    const uint8_t expected[8] = {4, 0, 0, 0, 1, 0, 0, 0};
    FUZZ_CHECK(got == sizeof open && std::memcmp(open, expected, sizeof open) == 0);
    size_t sent = 0;
    for (size_t next = 0; sent < size; ++next) {
        const size_t piece = pieces.empty() ? size : pieces[next % pieces.size()];
        const size_t count = piece < size - sent ? piece : size - sent;
        const ssize_t n = ::send(fd, stream + sent, count, MSG_NOSIGNAL);
        if (n <= 0) {
            break; // the client gave up on the connection
        }
        sent += static_cast<size_t>(n);
    }
    ::shutdown(fd, SHUT_WR);
    DrainUntilClosed(fd);
    ::close(fd);
}

struct Delivery {
    int32_t status;
    uint32_t value;
    std::vector<uint8_t> bytes;
};

// Waits for the next status; false when none comes in time.
bool NextStatus(int32_t channel, HANDLE event, Delivery& delivery) {
    for (;;) {
        uint32_t value = 0;
        const int32_t status = KClientGetReplyStatus(channel, &value);
        if (status != COMM_NOSTATUS) {
            delivery = Delivery{status, value, {}};
            break;
        }
        if (WaitForSingleObject(event, kWaitMs) != WAIT_OBJECT_0) {
            return false;
        }
    }
    if (delivery.status == COMM_MESSAGEREADY) {
        const uint32_t size = KClientDllKGetDataSize(channel);
        FUZZ_CHECK(size == delivery.value);
        // Room for more than the reply: the client hands over its bytes and no others.
        delivery.bytes.assign(static_cast<size_t>(size) + 16, 0xEE);
        const int32_t read = KClientRead(channel, delivery.bytes.data(), size + 16);
        FUZZ_CHECK(read >= 0 && static_cast<uint32_t>(read) == size);
        for (size_t i = size; i < delivery.bytes.size(); ++i) {
            FUZZ_CHECK(delivery.bytes[i] == 0xEE);
        }
        delivery.bytes.resize(size);
    }
    return true;
}

void CheckOpenedChannel(int32_t channel, const uint8_t* payload, size_t length) {
    const bool bigEndian = payload[0] == 1;
    const uint32_t blockSize = ksymfuzz::LayoutLe32(payload + 1);
    const uint16_t one = 1;
    uint8_t first = 0;
    std::memcpy(&first, &one, 1);
    const bool hostBig = first == 0;
    FUZZ_CHECK(KClientGetDWord(channel, KCLIENT_DWORD_SWAP) == (bigEndian != hostBig ? 1u : 0u));
    FUZZ_CHECK(KClientGetDWord(channel, KCLIENT_DWORD_BLOCK_SIZE) == blockSize);
    const size_t nameLength = length - 5;
    std::vector<char> name(nameLength + 1, 'x');
    FUZZ_CHECK(KClientGetProjectName(channel, name.data(), static_cast<uint32_t>(name.size())) ==
               1);
    FUZZ_CHECK(std::memcmp(name.data(), payload + 5, nameLength) == 0);
    FUZZ_CHECK(name[nameLength] == '\0');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ksymfuzz::PiecedStream input;
    if (!ksymfuzz::ReadPiecedStream(data, size, input)) {
        return 0;
    }
    const std::vector<size_t>& pieces = input.pieces;
    const uint8_t* stream = input.bytes;
    const size_t length = input.length;
    const FrameLayout layout = ksymfuzz::ReadFrameLayout(stream, length);

    // What the client must make of the stream.
    const bool opens = !layout.frames.empty() && layout.frames[0].kind == kOpened &&
                       layout.frames[0].session == 0 && layout.frames[0].payloadLength() >= 5 &&
                       stream[layout.frames[0].payloadAt()] <= 1;
    std::vector<Delivery> expected;
    for (size_t i = 1; opens && i < layout.frames.size(); ++i) {
        const FrameSpan& frame = layout.frames[i];
        if (frame.session != 0) {
            continue;
        }
        if (frame.kind == kReply) {
            const uint8_t* payload = stream + frame.payloadAt();
            expected.push_back(
                Delivery{COMM_MESSAGEREADY, static_cast<uint32_t>(frame.payloadLength()),
                         std::vector<uint8_t>(payload, payload + frame.payloadLength())});
        } else if (frame.kind == kFatal) {
            expected.push_back(Delivery{COMM_FATALERROR, KCLIENT_ERR_SEND, {}});
        }
    }
    expected.push_back(Delivery{COMM_FATALERROR, KCLIENT_ERR_CONNECT, {}});

    const std::string station = TheListener().station;
    std::thread player(PlayStation, stream, length, pieces);
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    FUZZ_CHECK(event != nullptr);
    const int32_t channel = KClientKOpenChannelEx(station.c_str(), kWaitMs, 0, nullptr, 0, event);
    FUZZ_CHECK((channel > 0) == opens);
    if (channel > 0) {
        const FrameSpan& opened = layout.frames[0];
        CheckOpenedChannel(channel, stream + opened.payloadAt(), opened.payloadLength());
        for (const Delivery& want : expected) {
            Delivery got{};
            FUZZ_CHECK(NextStatus(channel, event, got));
            FUZZ_CHECK(got.status == want.status);
            FUZZ_CHECK(got.value == want.value);
            FUZZ_CHECK(got.bytes == want.bytes);
        }
        // The stream has ended: nothing more may come.
        uint32_t value = 0;
        FUZZ_CHECK(KClientGetReplyStatus(channel, &value) == COMM_NOSTATUS);
        FUZZ_CHECK(KClientCloseChannel(channel) == 1);
    }
    player.join();
    CloseHandle(event);
    return 0;
}
