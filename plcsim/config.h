// How a simulated controller is set up: byte order, sizes, latency, project, memory, faults.
#ifndef KSYM_PLCSIM_CONFIG_H
#define KSYM_PLCSIM_CONFIG_H

#include <cstdint>
#include <set>
#include <string>

#include "formats/byte_order.h"
#include "plcsim/fault.h"
#include "plcsim/memory.h"

namespace plcsim {

struct Config {
    formats::ByteOrder order = formats::ByteOrder::Little;
    uint32_t blockSize = 1024; // largest telegram; 0: none
    uint32_t chunkSize = 256;  // bytes of the symbol file per upload reply
    uint32_t latencyMs = 0;    // delay before each reply
    std::string projectPath;   // symbol file of the project; empty: the sample project
    uint32_t memorySize = kDefaultMemorySize; // bytes of each memory area
    std::set<Fault> faults;
    std::set<MemoryAddress> absent; // bytes whose reads and writes fail
    // values=pattern: the memory keeps its pattern everywhere; the project's initial values
    // and behaviours are not played (tests that recompute every byte use it).
    bool pattern = false;
    // clock=manual: the clock stands at 0 until moved (control command clock=+MS).
    bool manualClock = false;
    // Every write is refused with the controller's refusal status, nothing written (plcsim
    // --read-only: a station that may be looked at but not changed).
    bool readOnly = false;
    // The control service (0xF0) answers. The embedded simulator's always does (only its own
    // process reaches it); a station server's only with plcsim --control, as a switch for
    // tests on loopback: otherwise it is an unknown service like any other.
    bool control = true;
    // What the control service's project=PATH may name. Empty `projectFolder` with
    // `anyProject`: any file (the embedded simulator). Otherwise only "sample", the project
    // the controller started with (`projectPath` as given), or a plain file name inside
    // `projectFolder` (plcsim --project-dir), so that a peer cannot make the station load,
    // and then offer for upload, a file of its choosing.
    bool anyProject = true;
    std::string projectFolder;
    // replay=PATH: the station replays a recording (its project, byte order, block size and
    // values); loop: it starts over after the end; speed=X: X recorded milliseconds a
    // millisecond of the clock (above 0, at most kMaxReplaySpeed).
    std::string replayPath;
    bool loop = false;
    double speed = 1;
};

inline constexpr double kMaxReplaySpeed = 1000;

// Parses options separated by ';': project=PATH (a symbol file or a project description),
// order=big|little, block=N, chunk=N, latency=MS, memory=N (bytes per area, 1 to 16 MiB),
// values=plant|pattern, clock=real|manual, replay=PATH, loop (without a value), speed=X,
// fault=NAME (one of the fault table's) and absent=AREA:OFFSET (decimal; both may
// be given several times). Unknown options and malformed values are errors, never ignored.
bool ParseConfig(const std::string& options, Config& config, std::string& error);

// AREA:OFFSET in decimal, the area below 65536, the offset below 2^32; nothing else.
bool ParseMemoryAddress(const std::string& text, MemoryAddress& address);

} // namespace plcsim

#endif
