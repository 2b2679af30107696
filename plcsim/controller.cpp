#include "plcsim/controller.h"

#include "plcsim/byte_order.h"

namespace plcsim {

bool Controller::Configure(const Config& config, std::string& error) {
    Project project = SampleProject();
    if (!config.projectPath.empty() && !LoadProject(config.projectPath, project, error)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    config_ = config;
    project_ = project;
    return true;
}

void Controller::SwitchProject(const Project& project) {
    std::lock_guard<std::mutex> lock(mutex_);
    project_ = project;
}

void Controller::SetFault(Fault fault, bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (on) {
        config_.faults.insert(fault);
    } else {
        config_.faults.erase(fault);
    }
}

Config Controller::GetConfig() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return config_;
}

Project Controller::GetProject() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return project_;
}

bool Controller::LoggedIn() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return loggedIn_;
}

std::vector<uint8_t> Controller::StatusReply(uint16_t status) const {
    std::vector<uint8_t> reply;
    Put(reply, status, 2, config_.order);
    return reply;
}

// status (2), project id (4), second number (4), then five NUL-terminated texts.
std::vector<uint8_t> Controller::ProjectIdReply() const {
    std::vector<uint8_t> reply;
    const bool refuse = config_.faults.count(Fault::Refuse) != 0;
    Put(reply, refuse ? kStatusRefused : kStatusOk, 2, config_.order);
    Put(reply, static_cast<uint32_t>(project_.id), 4, config_.order);
    Put(reply, project_.number, 4, config_.order);
    for (const std::string& text : project_.texts) {
        reply.insert(reply.end(), text.begin(), text.end());
        reply.push_back(0);
    }
    return reply;
}

Outcome Controller::Handle(const uint8_t* request, size_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    Outcome outcome;
    const auto& faults = config_.faults;
    if (faults.count(Fault::Silent) != 0) {
        outcome.kind = Outcome::Kind::Silence;
        return outcome;
    }
    if (faults.count(Fault::Fatal) != 0) {
        outcome.kind = Outcome::Kind::FatalError;
        return outcome;
    }
    if (faults.count(Fault::Empty) != 0) {
        return outcome;
    }
    const bool refuse = faults.count(Fault::Refuse) != 0;
    const uint8_t service = length == 0 ? 0 : request[0];
    switch (service) {
    case kProjectId:
        outcome.reply = ProjectIdReply();
        break;
    case kLogin:
        // 0x01, three 32-bit words, one byte, one spare byte.
        if (length < 15 || refuse) {
            outcome.reply = StatusReply(kStatusRefused);
        } else {
            loggedIn_ = true;
            outcome.reply = StatusReply(kLoginAccepted);
        }
        break;
    case kLogout:
        if (refuse) {
            outcome.reply = StatusReply(kStatusRefused);
        } else {
            loggedIn_ = false;
            outcome.reply = StatusReply(kStatusOk);
        }
        break;
    default:
        outcome.reply = StatusReply(kStatusUnknownService);
        break;
    }
    if (faults.count(Fault::Short) != 0 && !outcome.reply.empty()) {
        outcome.reply.pop_back();
    }
    return outcome;
}

} // namespace plcsim
