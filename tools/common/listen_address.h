// The address a tool's server listens on, as its --listen option gives it, and whether that
// address keeps the server to this machine. ksym serve and plcsim both refuse an address
// beyond loopback unless told otherwise, so that neither is opened to the network by
// accident.
#ifndef KSYM_TOOLS_COMMON_LISTEN_ADDRESS_H
#define KSYM_TOOLS_COMMON_LISTEN_ADDRESS_H

#include <cstdint>
#include <string>

namespace ksymtool {

// True for the hosts that only this machine reaches: localhost (any case), an IPv4
// address of 127.0.0.0/8 in dotted decimal, and ::1. Every other text, names that may
// resolve to loopback included, counts as beyond it.
bool IsLoopbackHost(const std::string& host);

// The rule for the host of a --listen address (`listen` as given): true when `program` may
// listen there. A host beyond loopback needs `allowRemote`; it is then allowed with a warning
// on stderr saying who can reach the server and what they can do there (read, and write too
// when `canWrite`). False with `refusal` set otherwise.
bool MayListenOn(const std::string& program, const std::string& listen, const std::string& host,
                 bool allowRemote, bool canWrite, std::string& refusal);

} // namespace ksymtool

#endif
