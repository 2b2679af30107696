// The broker ksym publish connects to: mqtt://HOST:PORT (plain) or mqtts://HOST:PORT (TLS),
// the port optional (1883, 8883).
#ifndef KSYM_TOOLS_PUBLISH_BROKER_ADDRESS_H
#define KSYM_TOOLS_PUBLISH_BROKER_ADDRESS_H

#include <cstdint>
#include <string>

namespace ksymtool {

struct BrokerAddress {
    bool tls = false;
    std::string host;
    uint16_t port = 0;
};

// False with the reason in `why` for anything else than the two forms.
bool ParseBrokerAddress(const std::string& text, BrokerAddress& address, std::string& why);

} // namespace ksymtool

#endif
