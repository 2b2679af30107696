// The gateway's Node.js process as ksym opcua runs it: found (the program and the folder of
// its script and modules), started with its stdout on a pipe, watched, and ended by its id.
//
// Threads: one object belongs to the thread that made it.
#ifndef KSYM_TOOLS_OPCUA_NODE_GATEWAY_H
#define KSYM_TOOLS_OPCUA_NODE_GATEWAY_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace ksymtool {

// The Node.js program: $KSYM_NODE, else `node` on PATH. Empty when there is none.
std::string FindNode();

// The gateway's folder (gateway.js with node_modules/ beside it): $KSYM_OPCUA_DIR, else
// opcua-gateway/ beside the ksym program, else ../lib/ksym/opcua-gateway from it. Empty
// with `looked` listing where it looked when none holds both.
std::string FindGatewayFolder(std::string& looked);

class NodeGateway {
public:
    NodeGateway() = default;
    NodeGateway(const NodeGateway&) = delete;
    NodeGateway& operator=(const NodeGateway&) = delete;
    // Ends the process, as Stop does.
    ~NodeGateway();

    // Starts `program` with `args` (args[0] the program's name) and `environment` added to
    // ksym's own; its stdout comes to this object, its stderr is ksym's. False when it
    // cannot be started.
    bool Start(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::pair<std::string, std::string>>& environment);
    // The next line the process prints, waiting at most `ms`; false when it ends, closes
    // its stdout or is silent for that long.
    bool ReadLine(int ms, std::string& line);
    // Whether its stdout is still open.
    bool Reading() const { return out_ >= 0; }
    // Whether it still runs; when it has ended, `status` is its exit code (128 + the
    // signal when a signal ended it).
    bool Running(int& status);
    // Waits at most `ms` for it to end by itself, then stops it. Its exit code.
    int Finish(int ms);
    // SIGTERM, then SIGKILL when it has not ended after `graceMs`. Its exit code, as
    // Running gives it. Idempotent.
    int Stop(int graceMs = 5000);

private:
    pid_t pid_ = -1;
    int out_ = -1;       // the read end of its stdout
    std::string buffer_; // what it printed beyond the last line taken
    int status_ = -1;    // its exit code once it has been waited for
};

} // namespace ksymtool

#endif
