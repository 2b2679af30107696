// The commands of the simulator control service, through which a test switches the project
// or the faults of a running controller over any of its channels.
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
        ClearAll,      // clear=all
    };
    Kind kind = Kind::ClearAll;
    std::string path; // LoadProject only
    Fault fault{};    // SetFault and ClearFault only
};

// Parses one command, the request's text after its service byte. One terminating zero byte
// may follow the text; nothing else is trimmed. False for an unknown command, an unknown
// fault name or an empty path.
bool ParseControlCommand(const std::string& text, ControlCommand& command);

} // namespace plcsim

#endif
