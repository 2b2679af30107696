#include "plcsim/fault.h"

namespace plcsim {

const FaultInfo kFaultTable[6] = {
    {Fault::Silent, "silent", "never answers"},
    {Fault::Fatal, "fatal", "reports a fatal communication error instead of answering"},
    {Fault::Empty, "empty", "answers with an empty reply"},
    {Fault::Short, "short", "answers one byte short"},
    {Fault::Refuse, "refuse",
     "answers with a status that refuses the request (reads are still answered)"},
    {Fault::ShortRead, "shortread", "answers reads one byte short, other services unaffected"},
};

const char* FaultName(Fault fault) {
    for (const FaultInfo& info : kFaultTable) {
        if (info.fault == fault) {
            return info.name;
        }
    }
    return "";
}

bool ParseFault(const std::string& name, Fault& fault) {
    for (const FaultInfo& info : kFaultTable) {
        if (name == info.name) {
            fault = info.fault;
            return true;
        }
    }
    return false;
}

std::string FaultHelp() {
    std::string help;
    for (const FaultInfo& info : kFaultTable) {
        help += help.empty() ? "" : "; ";
        help += std::string(info.name) + ": " + info.effect;
    }
    return help;
}

} // namespace plcsim
