// A simulated controller: answers the telegrams a client sends it.
#ifndef KSYM_PLCSIM_CONTROLLER_H
#define KSYM_PLCSIM_CONTROLLER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "plcsim/config.h"
#include "plcsim/memory.h"
#include "plcsim/plant.h"
#include "plcsim/project.h"
#include "plcsim/replay.h"
#include "formats/telegram_layout.h"
#include "plcsim/session.h"
#include "plcsim/sim_clock.h"

namespace plcsim {

// The largest read reply the controller builds; a request asking for more is malformed.
inline constexpr size_t kMaxReadReply = 16 * 1024 * 1024;

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
    // Fails (returns false, error set) when the configured project cannot be loaded, the
    // chunk size does not fit the upload reply's 16-bit length field (1 to 65535) or the
    // memory size is not 1 to kMaxMemorySize. The memory starts over with its initial
    // contents, areas of the configured size.
    bool Configure(const Config& config, std::string& error);

    // Answers one request of the channel whose state `session` holds.
    //
    // Upload: 0x31, 0x00, n (16 bits), then n bytes: the name DOWNLOAD.SDB, its zero, and a
    // zero pad to make n even. Each 0x32 (one byte) asks for the next chunk. Every upload
    // reply is status, more, data length (16 bits each), then the data; `more` is 1 while
    // bytes remain after this chunk. A refusal (status 1, more 0, no data) ends the upload.
    //
    // Read: 0x2E, a byte not looked at, n (32 bits), then n items of area (16 bits), offset
    // (32) and size (32). Size 0 asks for one bit, the offset then numbering bits (bit o is
    // bit o%8 of byte o/8). The reply is status 0 (16 bits), a word counting the
    // well-formed reads this controller answered (32 bits, 1 for the first, wrapping), then
    // per item a presence byte and `size` value bytes (1 for a bit, 0 or 1). Presence 0
    // (value bytes 0) marks an item outside its area, of an area that does not exist, or
    // covering an absent address. The values are the memory's bytes as they are, never
    // converted. A request shorter than 6 bytes or than its count says, or whose reply
    // would exceed kMaxReadReply, gets only the status formats::kStatusMalformed.
    //
    // Write: 0x3C, a byte, n (32 bits), then n items of area, offset, size and the value
    // bytes (1 for a bit: nonzero sets it, zero clears it); whatever follows the items (the
    // client sends n spare bytes) is ignored. The reply is a status word: 0 when every item
    // was written, formats::kStatusRefused, with nothing written, when any item cannot be, the
    // request is cut short, the refuse fault is on, or the controller is read-only.
    //
    // Every number of these services is in the controller's byte order.
    //
    // Control: 0xF0 and one command as text (see control_command.h); the reply is a status
    // word, 0 accepted, 1 refused. It is answered whatever faults are on, so that a test can
    // always switch them off again; with Config::control off it is an unknown service.
    //
    // The faults silent, fatal and empty drop every other request unprocessed; short cuts
    // the reply of a processed one by a byte, shortread that of a read (one byte, with either
    // or both on); refuse refuses login, logout, uploads and writes.
    Outcome Handle(Session& session, const uint8_t* request, size_t length);

    // Replaces the held project while running; clients see the new identifier, and uploads
    // begun from now on serve the new file. The new project's plant starts (its initial
    // values are written). A replay ends with it: the recorded values are another project's.
    void SwitchProject(const Project& project);

    // Moves a manual clock (Config::manualClock, control command clock=manual) on; a real
    // one ignores it. Every read, write and clock step brings the plant's behaviours up to
    // the clock.
    void AdvanceClock(uint32_t ms);
    void SetFault(Fault fault, bool on);
    // The delay before each reply from now on.
    void SetLatency(uint32_t ms);
    void SetAbsent(const MemoryAddress& address, bool on);

    // Direct access to the memory for tests, past the absent addresses and the faults, as the
    // last request or clock step left it. False when the range is not inside an existing
    // area; `bytes` is then left empty.
    bool ReadMemory(uint16_t area, uint32_t offset, uint32_t size,
                    std::vector<uint8_t>& bytes) const;
    bool WriteMemory(uint16_t area, uint32_t offset, const std::vector<uint8_t>& bytes);

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
    std::vector<uint8_t> ReadReply(const uint8_t* request, size_t length);
    std::vector<uint8_t> WriteReply(const uint8_t* request, size_t length);
    // Whether an item (size 0: a bit) may be read or written: inside an area, and no byte of
    // it absent.
    bool Accessible(uint16_t area, uint32_t offset, uint32_t size) const;
    // The fault gate: the outcome of a request that a set fault answers before any service
    // is looked at (silence, a fatal error, an empty reply), or false when it goes on.
    bool Gate(Outcome& outcome) const;
    // The reply of `service` (the request's first byte, 0 for an empty one) to `request`, as
    // the faults that refuse let it be.
    std::vector<uint8_t> Answer(Session& session, uint8_t service, const uint8_t* request,
                                size_t length);
    // Locks by itself: loading a project file is done before the lock is taken.
    Outcome Control(const uint8_t* text, size_t length);
    // The file a control command's project=NAME may load (see Config::anyProject), empty
    // when it may load none. Reads only what Configure fixed, without the lock.
    std::string ControlProjectPath(const std::string& named) const;
    // The held project's plant, or the recording, starts over on the clock (no plant with
    // values=pattern).
    void RestartPlant();
    // The plant and the replay brought up to the clock.
    void Play();
    // Reads the recording of replay=PATH: the project, byte order and block size become the
    // recorded station's. Before the lock is taken; false with `error` ("PATH: line N: why").
    static bool LoadReplay(const std::string& path, Config& config, Project& project,
                           std::shared_ptr<const formats::Recording>& recording,
                           std::string& error);

    mutable std::mutex mutex_;
    Config config_;
    Project project_ = SampleProject();
    bool loggedIn_ = false;
    Memory memory_;
    uint32_t readsAnswered_ = 0;
    SimClock clock_;
    Plant plant_;
    // replay=PATH: the recording, shared and never changed, and its player.
    std::shared_ptr<const formats::Recording> recording_;
    Replay replay_;
};

} // namespace plcsim

#endif
