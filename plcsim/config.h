// How a simulated controller is set up: byte order, sizes, latency, project, faults.
#ifndef KSYM_PLCSIM_CONFIG_H
#define KSYM_PLCSIM_CONFIG_H

#include <cstdint>
#include <set>
#include <string>

#include "plcsim/byte_order.h"

namespace plcsim {

// Faults the controller can be told to show, to exercise its clients' failure paths.
enum class Fault {
    Silent, // never answers
    Fatal,  // reports a fatal communication error instead of answering
    Empty,  // answers with an empty reply
    Short,  // answers one byte short
    Refuse, // answers with a status that refuses the request
};

struct Config {
    ByteOrder order = ByteOrder::Little;
    uint32_t blockSize = 1024; // largest telegram; 0: none
    uint32_t chunkSize = 256;  // bytes of the symbol file per upload reply
    uint32_t latencyMs = 0;    // delay before each reply
    std::string projectPath;   // symbol file of the project; empty: the sample project
    std::set<Fault> faults;
};

// Parses options separated by ';': project=PATH, order=big|little, block=N, chunk=N,
// latency=MS, fault=silent|fatal|empty|short|refuse (several fault= may be given).
// Unknown options and malformed values are errors, never ignored.
bool ParseConfig(const std::string& options, Config& config, std::string& error);

// The name of a fault as the options spell it, and back.
const char* FaultName(Fault fault);
bool ParseFault(const std::string& name, Fault& fault);

} // namespace plcsim

#endif
