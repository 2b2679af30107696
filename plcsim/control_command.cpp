#include "plcsim/control_command.h"

namespace plcsim {

bool ParseControlCommand(const std::string& text, ControlCommand& command) {
    std::string line = text;
    if (!line.empty() && line.back() == '\0') {
        line.pop_back();
    }
    const size_t equals = line.find('=');
    if (equals == std::string::npos || line.find('\0') != std::string::npos) {
        return false;
    }
    const std::string key = line.substr(0, equals);
    const std::string value = line.substr(equals + 1);
    if (key == "project") {
        if (value.empty()) {
            return false;
        }
        if (value == "sample") {
            command.kind = ControlCommand::Kind::SampleProject;
        } else {
            command.kind = ControlCommand::Kind::LoadProject;
            command.path = value;
        }
        return true;
    }
    if (key == "clear" && value == "all") {
        command.kind = ControlCommand::Kind::ClearAll;
        return true;
    }
    if (key == "clear" && value == "absent") {
        command.kind = ControlCommand::Kind::ClearAbsent;
        return true;
    }
    if (key == "absent") {
        command.kind = ControlCommand::Kind::SetAbsent;
        return ParseMemoryAddress(value, command.address);
    }
    if (key == "fault" || key == "clear") {
        command.kind =
            key == "fault" ? ControlCommand::Kind::SetFault : ControlCommand::Kind::ClearFault;
        return ParseFault(value, command.fault);
    }
    return false;
}

} // namespace plcsim
