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
#include "plcsim/session.h"

namespace plcsim {

// Service codes: the first byte of every request.
enum Service : uint8_t {
    kLogin = 0x01,
    kLogout = 0x02,
    kProjectId = 0x11,
    kUpload = 0x31,     // begins the upload of the symbol file, answers its first chunk
    kUploadNext = 0x32, // answers the next chunk of the upload in progress
    kControl = 0xF0,    // the simulator control service, for tests
};

// The file name the upload service serves, compared without regard to case.
inline constexpr char kUploadFileName[] = "DOWNLOAD.SDB";

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
// model is locked as a whole, so several clients can share one controller. A session is
// the caller's, and only one thread at a time may hand it to Handle.
class Controller {
public:
    // Fails (returns false, error set) when the configured project cannot be loaded or the
    // chunk size does not fit the upload reply's 16-bit length field (1 to 65535).
    bool Configure(const Config& config, std::string& error);

    // Answers one request of the channel whose state `session` holds.
    //
    // Upload: 0x31, 0x00, n (16 bits), then n bytes: the name DOWNLOAD.SDB, its zero, and a
    // zero pad to make n even. Each 0x32 (one byte) asks for the next chunk. Every upload
    // reply is status, more, data length (16 bits each), then the data; `more` is 1 while
    // bytes remain after this chunk. A refusal (status 1, more 0, no data) ends the upload.
    //
    // Control: 0xF0 and one command as text (see control_command.h); the reply is a status
    // word, 0 accepted, 1 refused. It is answered whatever faults are on, so that a test can
    // always switch them off again.
    //
    // The faults silent, fatal and empty drop every other request unprocessed; short cuts
    // the reply of a processed one by a byte; refuse refuses login, logout and uploads.
    Outcome Handle(Session& session, const uint8_t* request, size_t length);

    // Replaces the held project while running; clients see the new identifier, and uploads
    // begun from now on serve the new file.
    void SwitchProject(const Project& project);
    void SetFault(Fault fault, bool on);

    Config GetConfig() const;
    Project GetProject() const;
    bool LoggedIn() const;

private:
    // The callers below hold mutex_.
    std::vector<uint8_t> ProjectIdReply() const;
    std::vector<uint8_t> StatusReply(uint16_t status) const;
    std::vector<uint8_t> BeginUpload(Session& session, const uint8_t* request, size_t length);
    std::vector<uint8_t> NextChunk(Session& session, size_t length);
    std::vector<uint8_t> Chunk(Session& session) const;
    std::vector<uint8_t> RefuseUpload(Session& session) const;
    bool UploadNamesFile(const uint8_t* request, size_t length) const;
    // Locks by itself: loading a project file is done before the lock is taken.
    Outcome Control(const uint8_t* text, size_t length);

    mutable std::mutex mutex_;
    Config config_;
    Project project_ = SampleProject();
    bool loggedIn_ = false;
};

} // namespace plcsim

#endif
