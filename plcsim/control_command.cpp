#include "plcsim/control_command.h"

#include <string>

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
    if (key == "clock" && (value == "manual" || value == "real")) {
        command.kind =
            value == "manual" ? ControlCommand::Kind::ManualClock : ControlCommand::Kind::RealClock;
        return true;
    }
    if (key == "clock" && value.size() > 1 && value[0] == '+' &&
        value.find_first_not_of("0123456789", 1) == std::string::npos && value.size() <= 10) {
        const unsigned long long ms = std::stoull(value.substr(1));
        command.kind = ControlCommand::Kind::AdvanceClock;
        command.ms = static_cast<uint32_t>(ms);
        return ms <= 0xFFFFFFFFull;
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
