#include "tools/ksym/publish/broker_address.h"

#include "formats/host_port.h"

namespace ksymtool {

bool ParseBrokerAddress(const std::string& text, BrokerAddress& address, std::string& why) {
    static const std::string kPlain = "mqtt://";
    static const std::string kTls = "mqtts://";
    std::string rest;
    if (text.compare(0, kPlain.size(), kPlain) == 0) {
        address.tls = false;
        rest = text.substr(kPlain.size());
    } else if (text.compare(0, kTls.size(), kTls) == 0) {
        address.tls = true;
        rest = text.substr(kTls.size());
    } else {
        why = "--broker takes mqtt://HOST:PORT or mqtts://HOST:PORT, not '" + text + "'";
        return false;
    }
    address.port = address.tls ? 8883 : 1883;
    if (rest.find(':') == std::string::npos || (rest[0] == '[' && rest.back() == ']')) {
        address.host = rest[0] == '[' ? rest.substr(1, rest.size() - 2) : rest;
    } else if (!formats::SplitHostPort(rest, address.host, address.port)) {
        why = "--broker: '" + rest + "' is not HOST:PORT";
        return false;
    }
    if (address.port == 0) {
        why = "--broker: port 0 is no broker's";
        return false;
    }
    if (address.host.empty()) {
        why = "--broker: no host in '" + text + "'";
        return false;
    }
    return true;
}

} // namespace ksymtool
