// opcua: an OPC UA server over one channel to the station. The server itself is a Node.js
// gateway (node/gateway.js, on node-opcua); ksym runs the station's JSON interface for it
// on a loopback port of its own, guarded by a token only the gateway is given, so that the
// reads, the reconnection and the write checks are those of ksym serve.
#include <cstdio>
#include <string>
#include <vector>

#include "formats/host_port.h"
#include "platform/win32.h"
#include "tools/common/listen_address.h"
#include "tools/ksym/interrupt.h"
#include "tools/ksym/opcua/node_gateway.h"
#include "tools/ksym/serve/station_server.h"
#include "tools/ksym/verb.h"

namespace ksymtool {

namespace {

struct OpcuaOptions {
    std::string listen = "127.0.0.1:4840";
    bool readOnly = false;      // no node is writable
    bool allowRemote = false;   // a listen host beyond loopback is allowed
    std::string usersFile;      // user names with password hashes; anonymous access off
    bool allowInsecure = false; // beyond loopback: the unsecured endpoint stays on
    bool hashPassword = false;  // print the hash of the password on stdin, and end
};

// How long the gateway may take to load its modules and open its endpoints (the first start
// also makes its certificate).
constexpr int kGatewayStartMs = 60000;

// Where the gateway keeps its certificate and the clients' it has seen.
std::string PkiFolder() {
    return std::string(KPlatformRoot()) + "/opcua/pki";
}

// The gateway's program and folder; false (said) when this machine lacks one of them.
bool FindGateway(std::string& node, std::string& folder) {
    node = FindNode();
    if (node.empty()) {
        std::fprintf(stderr,
                     "ksym: opcua is missing: it runs on Node.js (the program node, 18 or later), "
                     "which is not on this machine (nor named by KSYM_NODE); install Debian's "
                     "nodejs and npm, then run scripts/setup.sh\n");
        return false;
    }
    std::string looked;
    folder = FindGatewayFolder(looked);
    if (folder.empty()) {
        std::fprintf(stderr,
                     "ksym: opcua is missing: its gateway and Node.js modules are not installed "
                     "(looked in %s); run scripts/setup.sh, which installs them with npm ci\n",
                     looked.c_str());
        return false;
    }
    return true;
}

int HashPassword(const std::string& node, const std::string& folder) {
    NodeGateway gateway;
    if (!gateway.Start(node, {node, folder + "/gateway.js", "--hash-password"}, {})) {
        std::fprintf(stderr, "ksym: cannot start %s\n", node.c_str());
        return kExitBadArgument;
    }
    std::string line;
    const bool got = gateway.ReadLine(60000, line);
    const int status = gateway.Finish(10000);
    if (!got || status != 0) {
        return kExitBadArgument;
    }
    std::printf("%s\n", line.c_str());
    return kExitOk;
}

int RunOpcua(const Options& options, const OpcuaOptions& opcua) {
    std::string node;
    std::string folder;
    if (!FindGateway(node, folder)) {
        return kExitBadArgument;
    }
    if (opcua.hashPassword) {
        return HashPassword(node, folder);
    }
    std::string host;
    uint16_t port = 0;
    if (!formats::SplitHostPort(opcua.listen, host, port)) {
        std::fprintf(stderr, "ksym: --listen wants HOST:PORT, not '%s'\n", opcua.listen.c_str());
        return kExitBadArgument;
    }
    std::string refusal;
    if (!MayListenOn("ksym", opcua.listen, host, opcua.allowRemote, !opcua.readOnly, refusal)) {
        std::fprintf(stderr, "ksym: %s\n", refusal.c_str());
        return kExitBadArgument;
    }
    InstallInterruptHandler(true);

    // The JSON interface, for the gateway alone: loopback, and a token nobody else is told.
    RouteSettings settings;
    settings.readOnly = opcua.readOnly;
    settings.loopbackListen = true;
    settings.token = NewToken();
    settings.timeoutMs = options.timeoutMs;
    StationServer api(options, settings);
    uint16_t apiPort = 0;
    const int started = api.Start("127.0.0.1", 0, apiPort);
    if (started != kExitOk) {
        return started;
    }

    std::vector<std::string> args = {
        node,       folder + "/gateway.js", "--api", "http://127.0.0.1:" + std::to_string(apiPort),
        "--listen", opcua.listen,           "--pki", PkiFolder()};
    for (const auto& [flag, given] : {std::pair<const char*, bool>{"--read-only", opcua.readOnly},
                                      {"--allow-insecure", opcua.allowInsecure},
                                      {"--remote", !IsLoopbackHost(host)}}) {
        if (given) {
            args.emplace_back(flag);
        }
    }
    if (!opcua.usersFile.empty()) {
        args.emplace_back("--users");
        args.push_back(opcua.usersFile);
    }
    NodeGateway gateway;
    if (!gateway.Start(node, args, {{"KSYM_API_TOKEN", settings.token}})) {
        std::fprintf(stderr, "ksym: cannot start %s\n", node.c_str());
        return kExitBadArgument;
    }
    // The gateway says "ready opc.tcp://HOST:PORT" once its endpoints are open, or ends
    // with its own message on stderr and an exit code of ksym's.
    std::string line;
    bool ready = false;
    while (!ready && !Interrupted() && gateway.ReadLine(kGatewayStartMs, line)) {
        ready = line.rfind("ready ", 0) == 0;
    }
    if (!ready) {
        const int status = gateway.Stop();
        return Interrupted() ? kExitOk : (status > 0 && status < 128 ? status : kExitListenFailed);
    }
    std::printf("ksym opcua serving %s\n", line.substr(6).c_str());
    std::fflush(stdout);

    // What the gateway prints later goes to stderr: its stdout is a pipe, which must not fill.
    int status = 0;
    while (!Interrupted() && gateway.Running(status)) {
        if (gateway.ReadLine(200, line)) {
            std::fprintf(stderr, "%s\n", line.c_str());
        } else if (!gateway.Reading()) {
            PauseUnlessInterrupted(200);
        }
    }
    const bool gatewayEnded = !gateway.Running(status);
    if (!gatewayEnded) {
        gateway.Stop();
    }
    api.Stop();
    if (gatewayEnded && !Interrupted()) {
        std::fprintf(stderr, "ksym: the OPC UA gateway ended by itself (exit code %d)\n", status);
        return kExitListenFailed;
    }
    return kExitOk;
}

class OpcuaVerb final : public Verb {
public:
    void Arguments(VerbArguments& arguments) override {
        arguments.Text("--listen", opcua_.listen,
                       "HOST:PORT of the OPC UA endpoints (default 127.0.0.1:4840; port 0 picks "
                       "a free one); loopback only unless --allow-remote");
        arguments.Flag("--read-only", opcua_.readOnly, "no node is writable");
        arguments.Flag("--allow-remote", opcua_.allowRemote,
                       "allow a --listen host beyond loopback; only the Basic256Sha256 endpoints "
                       "are then open, unless --allow-insecure");
        arguments.Text("--users", opcua_.usersFile,
                       "a file of NAME:HASH lines (hashes from --hash-password); logins are then "
                       "needed, anonymous access is off");
        arguments.Flag("--allow-insecure", opcua_.allowInsecure,
                       "beyond loopback: keep the endpoint without security on too");
        arguments.Flag("--hash-password", opcua_.hashPassword,
                       "print the hash of the password given on stdin, for a --users file, and "
                       "end");
    }
    int Run(const Options& options) override { return RunOpcua(options, opcua_); }

private:
    OpcuaOptions opcua_;
};

const VerbRegistration<OpcuaVerb>
    kOpcua("opcua",
           "serve the station's variables to OPC UA clients until Ctrl-C or SIGTERM; it prints "
           "'ksym opcua serving opc.tcp://HOST:PORT' when ready (needs Node.js)",
           52);

} // namespace

} // namespace ksymtool
