// Station addresses: null or "sim" for the embedded simulator with the sample project,
// "sim:" followed by its options, "tcp:HOST:PORT" for a station server.
#include <cstring>
#include <string>

#include "extern/kclient.h"
#include "kclient/sim_transport.h"
#include "kclient/tcp_transport.h"
#include "kclient/transport.h"

namespace kclient {

std::unique_ptr<Transport> MakeTransport(const char* station, std::weak_ptr<Channel> sink,
                                         uint32_t connectTimeoutMs, int32_t& error,
                                         std::string& message) {
    const std::string address = station == nullptr ? "sim" : station;
    std::string options;
    if (address == "sim") {
        options.clear();
    } else if (address.compare(0, 4, "sim:") == 0) {
        options = address.substr(4);
    } else if (address.compare(0, 4, "tcp:") == 0) {
        std::unique_ptr<Transport> tcp = TcpTransport::Connect(
            address.substr(4), std::move(sink),
            connectTimeoutMs == 0 ? kDefaultConnectTimeoutMs : connectTimeoutMs, error, message);
        return tcp;
    } else {
        error = KCLIENT_ERR_BAD_STATION;
        message = "unknown station address '" + address + "'";
        return nullptr;
    }
    std::shared_ptr<plcsim::Controller> controller = MakeSimController(options, message);
    if (controller == nullptr) {
        error = KCLIENT_ERR_BAD_STATION;
        return nullptr;
    }
    return std::make_unique<SimTransport>(std::move(controller), std::move(sink));
}

} // namespace kclient
