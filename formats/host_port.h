// HOST:PORT, the one way the system writes a TCP endpoint: the client's tcp: stations and the
// tools' --listen addresses both use it.
#ifndef KSYM_FORMATS_HOST_PORT_H
#define KSYM_FORMATS_HOST_PORT_H

#include <cstdint>
#include <string>

namespace formats {

// HOST:PORT, or [HOST]:PORT for an IPv6 address, the port 0 to 65535 in decimal; false for
// anything else. The brackets are taken off the host.
bool SplitHostPort(const std::string& text, std::string& host, uint16_t& port);

} // namespace formats

#endif
