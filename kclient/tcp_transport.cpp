#include "kclient/tcp_transport.h"

#include <chrono>
#include <string>
#include <vector>

#include "extern/kclient.h"
#include "kclient/channel.h"
#include "formats/byte_order.h"
#include "formats/host_port.h"
#include "formats/station_frame.h"

namespace kclient {

namespace {

// The one session each connection carries.
constexpr uint16_t kSession = 0;
constexpr size_t kReceiveChunk = 64 * 1024;
constexpr uint32_t kCloseFrameTimeoutMs = 200;
// A connection that carried nothing for this long gets a keep-alive frame, well within the
// idle time after which a station closes it.
constexpr uint32_t kKeepAliveMs = 60000;

} // namespace

std::unique_ptr<TcpTransport> TcpTransport::Connect(const std::string& address,
                                                    std::weak_ptr<Channel> sink, uint32_t timeoutMs,
                                                    int32_t& error, std::string& message) {
    std::string host;
    uint16_t port = 0;
    if (!formats::SplitHostPort(address, host, port)) {
        error = KCLIENT_ERR_BAD_STATION;
        message = "a TCP station is tcp:HOST:PORT, not 'tcp:" + address + "'";
        return nullptr;
    }
    std::unique_ptr<TcpTransport> transport(new TcpTransport(std::move(sink)));
    if (!transport->socket_.Connect(host, std::to_string(port), timeoutMs, message) ||
        !transport->OpenSession(timeoutMs, message)) {
        error = KCLIENT_ERR_CONNECT;
        return nullptr;
    }
    TcpTransport* self = transport.get();
    if (!transport->receiver_.Start([self] { self->ReceiveLoop(); })) {
        error = KCLIENT_ERR_NO_MEMORY;
        message = "no thread for the connection";
        return nullptr;
    }
    return transport;
}

bool TcpTransport::OpenSession(uint32_t timeoutMs, std::string& message) {
    const std::vector<uint8_t> open =
        formats::EncodeFrame(formats::FrameKind::Open, kSession, nullptr, 0);
    if (!socket_.SendAll(open.data(), open.size())) {
        message = "the station closed the connection";
        return false;
    }
    // The answer to the open comes before anything else on the connection.
    formats::FrameReader reader;
    formats::Frame frame;
    std::vector<uint8_t> chunk(256);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const formats::FrameReader::Result result = reader.Next(frame);
        if (result == formats::FrameReader::Result::Frame) {
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (result == formats::FrameReader::Result::Broken || left.count() <= 0) {
            message = "the station did not open a session";
            return false;
        }
        // Reading only a little at a time: nothing after the answer may be taken here.
        const long got = socket_.Receive(chunk.data(), 1, static_cast<uint32_t>(left.count()));
        if (got <= 0) {
            message = "the station did not open a session";
            return false;
        }
        reader.Feed(chunk.data(), static_cast<size_t>(got));
    }
    if (frame.kind != formats::FrameKind::Opened || frame.session != kSession ||
        !formats::ParseOpened(frame.payload, bigEndian_, blockSize_, projectName_)) {
        message = "the station answered the session's opening wrongly";
        return false;
    }
    return true;
}

TcpTransport::~TcpTransport() {
    closing_ = true;
    {
        std::lock_guard<std::mutex> lock(sendMutex_);
        if (!broken_.load()) {
            // A courtesy to the station: not worth more than a moment when it stopped reading.
            socket_.SetSendTimeout(kCloseFrameTimeoutMs);
            const std::vector<uint8_t> close =
                formats::EncodeFrame(formats::FrameKind::Close, kSession, nullptr, 0);
            socket_.SendAll(close.data(), close.size());
        }
    }
    socket_.Shutdown();
    receiver_.Join();
}

bool TcpTransport::Send(const uint8_t* telegram, uint32_t length) {
    if (broken_.load() || length > formats::kMaxFramePayload) {
        return false;
    }
    const std::vector<uint8_t> frame =
        formats::EncodeFrame(formats::FrameKind::Request, kSession, telegram, length);
    std::lock_guard<std::mutex> lock(sendMutex_);
    if (!socket_.SendAll(frame.data(), frame.size())) {
        Break();
        return false;
    }
    return true;
}

void TcpTransport::SendKeepAlive() {
    const std::vector<uint8_t> frame =
        formats::EncodeFrame(formats::FrameKind::KeepAlive, kSession, nullptr, 0);
    std::lock_guard<std::mutex> lock(sendMutex_);
    if (!broken_.load() && !closing_.load() && !socket_.SendAll(frame.data(), frame.size())) {
        Break();
    }
}

uint32_t TcpTransport::SwapFlag() const {
    const bool hostBig = formats::HostOrder() == formats::ByteOrder::Big;
    return bigEndian_ != hostBig ? 1u : 0u;
}

void TcpTransport::Break() {
    if (broken_.exchange(true) || closing_.load()) {
        return;
    }
    if (std::shared_ptr<Channel> channel = sink_.lock()) {
        channel->Deliver(Reply{COMM_FATALERROR, KCLIENT_ERR_CONNECT, {}});
    }
}

void TcpTransport::ReceiveLoop() {
    formats::FrameReader reader;
    std::vector<uint8_t> chunk(kReceiveChunk);
    formats::Frame frame;
    for (;;) {
        const long got = socket_.Receive(chunk.data(), chunk.size(), kKeepAliveMs);
        if (got == -2) {
            SendKeepAlive();
            continue;
        }
        if (got <= 0) {
            break; // the end of the stream, an error, or our own shutdown
        }
        reader.Feed(chunk.data(), static_cast<size_t>(got));
        formats::FrameReader::Result result;
        while ((result = reader.Next(frame)) == formats::FrameReader::Result::Frame) {
            std::shared_ptr<Channel> channel = sink_.lock();
            if (channel == nullptr || frame.session != kSession) {
                continue;
            }
            if (frame.kind == formats::FrameKind::Reply) {
                const auto size = static_cast<uint32_t>(frame.payload.size());
                channel->Deliver(Reply{COMM_MESSAGEREADY, size, std::move(frame.payload)});
            } else if (frame.kind == formats::FrameKind::Fatal) {
                channel->Deliver(Reply{COMM_FATALERROR, KCLIENT_ERR_SEND, {}});
            }
        }
        if (result == formats::FrameReader::Result::Broken) {
            break;
        }
    }
    std::lock_guard<std::mutex> lock(sendMutex_);
    Break();
}

} // namespace kclient
