// A transport carries a channel's telegrams to its station and delivers the replies.
#ifndef KSYM_KCLIENT_TRANSPORT_H
#define KSYM_KCLIENT_TRANSPORT_H

#include <cstdint>
#include <memory>
#include <string>

#include "kclient/channel.h"

namespace kclient {

class Transport {
public:
    virtual ~Transport() = default;
    // Hands the telegram over (copied); false when it cannot be sent. Replies are delivered
    // to the channel later, on a thread of the transport, never on the caller's.
    virtual bool Send(const uint8_t* telegram, uint32_t length) = 0;
    // 1 when the station's byte order differs from the host's.
    virtual uint32_t SwapFlag() const = 0;
    // The station's block size, 0 when it has none.
    virtual uint32_t BlockSize() const = 0;
    virtual std::string ProjectName() const = 0;
    // A broken transport is replaced when its channel is re-opened.
    virtual bool Broken() const { return false; }
};

// How long a network station may take to accept a connection, unless the caller says.
inline constexpr uint32_t kDefaultConnectTimeoutMs = 5000;

// Makes the transport for a station address; null with `error` (a KCLIENT_ERR_ code) and
// `message` set when the address is malformed or the station cannot be reached within
// connectTimeoutMs (0: the default).
std::unique_ptr<Transport> MakeTransport(const char* station, std::weak_ptr<Channel> sink,
                                         uint32_t connectTimeoutMs, int32_t& error,
                                         std::string& message);

} // namespace kclient

#endif
