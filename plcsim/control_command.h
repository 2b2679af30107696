// The commands of the simulator control service, through which a test switches the project
// the faults or the absent addresses of a running controller over any of its channels.
#ifndef KSYM_PLCSIM_CONTROL_COMMAND_H
#define KSYM_PLCSIM_CONTROL_COMMAND_H

#include <string>

#include "plcsim/config.h"

namespace plcsim {

struct ControlCommand {
    enum class Kind {
        LoadProject,   // project=PATH: the SDB file at `path`
        SampleProject, // project=sample
        SetFault,      // fault=NAME
        ClearFault,    // clear=NAME
        SetAbsent,     // absent=AREA:OFFSET: reads and writes of that byte fail
        ClearAbsent,   // clear=absent: every absent address is present again
        ClearAll,      // clear=all: every fault and every absent address
        ManualClock,   // clock=manual: the clock stands at 0, the plant starts over
        RealClock,     // clock=real: the clock runs with the time from where it stands
        AdvanceClock,  // clock=+MS: a manual clock moves on by MS milliseconds
    };
    Kind kind = Kind::ClearAll;
    std::string path;      // LoadProject only
    Fault fault{};         // SetFault and ClearFault only
    MemoryAddress address; // SetAbsent only
    uint32_t ms = 0;       // AdvanceClock only
};

// Parses one command, the request's text after its service byte. One terminating zero byte
// may follow the text; nothing else is trimmed. False for an unknown command, an unknown
// fault name, an empty path or an address that is not AREA:OFFSET in decimal.
bool ParseControlCommand(const std::string& text, ControlCommand& command);

} // namespace plcsim

#endif
