#include "tools/common/listen_address.h"

#include <cstdio>

#include "formats/name_compare.h"

namespace ksymtool {

namespace {

// A decimal number of 1 to 3 digits up to 255 from `text` at `position`, which it moves on.
bool Octet(const std::string& text, size_t& position, unsigned& value) {
    const size_t start = position;
    value = 0;
    while (position < text.size() && position - start < 3 && text[position] >= '0' &&
           text[position] <= '9') {
        value = value * 10 + static_cast<unsigned>(text[position] - '0');
        ++position;
    }
    return position > start && value <= 255;
}

bool IsLoopbackIpv4(const std::string& host) {
    size_t position = 0;
    unsigned first = 0;
    for (int i = 0; i < 4; ++i) {
        unsigned value = 0;
        if (i > 0) {
            if (position >= host.size() || host[position] != '.') {
                return false;
            }
            ++position;
        }
        if (!Octet(host, position, value)) {
            return false;
        }
        if (i == 0) {
            first = value;
        }
    }
    return position == host.size() && first == 127;
}

} // namespace

bool IsLoopbackHost(const std::string& host) {
    static const char kLocalhost[] = "localhost";
    const bool localhost = host.size() == sizeof(kLocalhost) - 1 &&
                           formats::NameBytesEqual(host.data(), kLocalhost, host.size());
    return localhost || host == "::1" || IsLoopbackIpv4(host);
}

bool MayListenOn(const std::string& program, const std::string& listen, const std::string& host,
                 bool allowRemote, bool canWrite, std::string& refusal) {
    if (IsLoopbackHost(host)) {
        return true;
    }
    if (!allowRemote) {
        refusal = "--listen " + listen + " is beyond loopback; give --allow-remote to listen there";
        return false;
    }
    std::fprintf(stderr,
                 "%s: warning: listening on %s beyond loopback: anyone who can reach this port "
                 "can read%s the controller's variables\n",
                 program.c_str(), listen.c_str(), canWrite ? " and write" : "");
    return true;
}

} // namespace ksymtool
