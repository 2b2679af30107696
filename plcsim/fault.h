// The faults a simulated controller can be told to show, to exercise its clients' failure
// paths: one table gives each its name (as options and control commands spell it) and what
// it does (as the help says it).
#ifndef KSYM_PLCSIM_FAULT_H
#define KSYM_PLCSIM_FAULT_H

#include <string>

namespace plcsim {

enum class Fault {
    Silent,
    Fatal,
    Empty,
    Short,
    Refuse,
    ShortRead,
};

struct FaultInfo {
    Fault fault;
    const char* name;
    const char* effect;
};

// Every fault, in the order the help lists them.
extern const FaultInfo kFaultTable[6];

// The name of a fault as the options spell it, and back.
const char* FaultName(Fault fault);
bool ParseFault(const std::string& name, Fault& fault);

// "NAME: effect; ..." for every fault, as the help shows them.
std::string FaultHelp();

} // namespace plcsim

#endif
