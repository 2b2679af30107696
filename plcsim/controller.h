// A simulated controller: answers the telegrams a client sends it.
#ifndef KSYM_PLCSIM_CONTROLLER_H
#define KSYM_PLCSIM_CONTROLLER_H

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "plcsim/config.h"
#include "plcsim/project.h"

namespace plcsim {

// Service codes: the first byte of every request.
enum Service : uint8_t {
    kLogin = 0x01,
    kLogout = 0x02,
    kProjectId = 0x11,
};

// Status words of the replies.
inline constexpr uint16_t kLoginAccepted = 1000;
inline constexpr uint16_t kStatusOk = 0;
inline constexpr uint16_t kStatusRefused = 1;
inline constexpr uint16_t kStatusUnknownService = 0xFFFF;

// What the controller does with one request.
struct Outcome {
    enum class Kind { Reply, FatalError, Silence };
    Kind kind = Kind::Reply;
    std::vector<uint8_t> reply;
};

// Threads: Handle, SwitchProject and the fault setters may be called from any thread; the
// model is locked as a whole, so several clients can share one controller.
class Controller {
public:
    // Fails (returns false, error set) when the configured project cannot be loaded.
    bool Configure(const Config& config, std::string& error);

    Outcome Handle(const uint8_t* request, size_t length);

    // Replaces the held project while running; clients see the new identifier.
    void SwitchProject(const Project& project);
    void SetFault(Fault fault, bool on);

    Config GetConfig() const;
    Project GetProject() const;
    bool LoggedIn() const;

private:
    std::vector<uint8_t> ProjectIdReply() const; // the caller holds mutex_
    std::vector<uint8_t> StatusReply(uint16_t status) const;

    mutable std::mutex mutex_;
    Config config_;
    Project project_ = SampleProject();
    bool loggedIn_ = false;
};

} // namespace plcsim

#endif
