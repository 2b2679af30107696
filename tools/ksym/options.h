// What every ksym verb is told by the command line, and the exit codes it reports with.
#ifndef KSYM_TOOLS_OPTIONS_H
#define KSYM_TOOLS_OPTIONS_H

#include <cstdint>
#include <string>

namespace ksymtool {

struct Options {
    std::string station = "sim";
    bool debug = false;
    bool json = false;
    uint32_t timeoutMs = 5000; // how long each answer of the controller is waited for
};

// Exit codes, the same for every verb; scripts tell the failures apart by them.
enum ExitCode : int {
    kExitOk = 0,
    kExitOpenFailed = 2,         // the channel could not be opened (hello: nor closed)
    kExitBadArgument = 3,        // unknown variable, value that does not fit, malformed argument
    kExitNoSymbols = 4,          // the symbol table could not be loaded
    kExitNoValue = 5,            // a variable read gave no value
    kExitRefused = 6,            // the controller refused a write, login or logout
    kExitNoAnswer = 7,           // the controller did not answer in time
    kExitExchangeFailed = 8,     // a request could not be sent, or its exchange failed
    kExitVerifyFailed = 9,       // write --verify read back other bytes than were written
    kExitListenFailed = 10,      // serve: the address cannot be listened on
    kExitBrokerUnreachable = 11, // publish: the broker cannot be reached at the start
    kExitBrokerRefused = 12,     // publish: the broker refused the connection (the login)
};

} // namespace ksymtool

#endif
