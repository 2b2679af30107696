// The TCP transport: a channel's telegrams travel to a station server ("tcp:HOST:PORT") in
// frames; one receive thread per connection hands the replies to the channel's queue.
#ifndef KSYM_KCLIENT_TCP_TRANSPORT_H
#define KSYM_KCLIENT_TCP_TRANSPORT_H

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "kclient/socket_io.h"
#include "kclient/transport.h"
#include "platform/worker_thread.h"

namespace kclient {

// Each transport owns one connection with one session on it. When the connection breaks
// (the server went away, the stream broke the framing, or the server took nothing of a
// frame for Socket::kSendTimeoutMs) the channel receives COMM_FATALERROR once, and every
// later Send fails until the channel is re-opened, which connects anew.
//
// Threads: Send runs on callers' threads under sendMutex_; the receive thread alone reads
// the socket and delivers, and after a minute without traffic sends a keep-alive frame
// (under sendMutex_ too); the destructor (the channel's last owner) shuts the socket down
// and joins the receive thread.
class TcpTransport : public Transport {
public:
    // Connects to `address` (HOST:PORT) and opens the session; null with `error` (a
    // KCLIENT_ERR_ code) and `message` when the address is malformed or the station does
    // not answer within timeoutMs.
    static std::unique_ptr<TcpTransport> Connect(const std::string& address,
                                                 std::weak_ptr<Channel> sink, uint32_t timeoutMs,
                                                 int32_t& error, std::string& message);
    ~TcpTransport() override;

    bool Send(const uint8_t* telegram, uint32_t length) override;
    uint32_t SwapFlag() const override;
    uint32_t BlockSize() const override { return blockSize_; }
    std::string ProjectName() const override { return projectName_; }
    bool Broken() const override { return broken_.load(); }

private:
    explicit TcpTransport(std::weak_ptr<Channel> sink) : sink_(std::move(sink)) {}
    bool OpenSession(uint32_t timeoutMs, std::string& message);
    void ReceiveLoop();
    // Tells the station that an idle connection is still wanted (on the receive thread).
    void SendKeepAlive();
    // Marks the connection broken; the first call tells the channel.
    void Break();

    std::weak_ptr<Channel> sink_;
    Socket socket_;
    std::mutex sendMutex_;
    std::atomic<bool> broken_{false};
    std::atomic<bool> closing_{false};
    // What the station's opening answer says. Written once, by Connect's thread in
    // OpenSession, before Connect hands the transport out and before the receive thread
    // starts; afterwards only read, from any thread: handing the transport to the channel
    // (and starting the thread) orders the writes before every read, so no lock is needed.
    bool bigEndian_ = false;
    uint32_t blockSize_ = 0;
    std::string projectName_;
    kplatform::WorkerThread receiver_;
};

} // namespace kclient

#endif
