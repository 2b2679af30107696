// plcsim: a simulated controller served as a station on TCP (docs/station-protocol.md).
//
// Exit codes: 0 after SIGINT or SIGTERM, 1 when the address cannot be listened on, 2 for a
// bad option (including a project file that cannot be loaded, an address beyond loopback
// without --allow-remote, and --control with --allow-remote).
#include <CLI/CLI.hpp>

#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "formats/host_port.h"
#include "plcsim/config.h"
#include "plcsim/controller.h"
#include "plcsim/station_server.h"
#include "tools/common/listen_address.h"

namespace {

// The signal handler only writes a byte here; main waits on the other end.
int g_signalPipe[2] = {-1, -1};

void OnSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

bool InstallSignals(std::string& error) {
    if (::pipe(g_signalPipe) != 0) {
        error = "cannot make a pipe";
        return false;
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (::sigaction(SIGINT, &action, nullptr) != 0 || ::sigaction(SIGTERM, &action, nullptr) != 0) {
        error = "cannot install the signal handlers";
        return false;
    }
    ::signal(SIGPIPE, SIG_IGN);
    return true;
}

int Fail(int code, const std::string& message) {
    std::cerr << "plcsim: " << message << "\n";
    return code;
}

// Each connection costs a descriptor: the soft limit goes up to what the connections need,
// as far as the hard limit lets it; a limit that still falls short is said at start.
void RaiseDescriptorLimit() {
    constexpr rlim_t kWanted = plcsim::kMaxStationConnections + 64;
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= kWanted) {
        return;
    }
    limit.rlim_cur =
        limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= kWanted ? kWanted : limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < kWanted) {
        std::cerr << "plcsim: the descriptor limit " << limit.rlim_cur << " allows fewer than "
                  << plcsim::kMaxStationConnections << " connections at once\n";
    }
}

// What the command line gives.
struct Options {
    std::string listen;
    std::string project;
    std::string order;
    std::string chunk;
    std::string block;
    std::string latency;
    std::string memory;
    std::string values;
    std::string clock;
    std::string replay;
    std::string speed;
    bool loop = false;
    std::vector<std::string> faults;
    std::vector<std::string> absent;
    bool readOnly = false;
    bool allowRemote = false;
    bool control = false;
    std::string projectDir;
    uint32_t idleSeconds = 300;
    uint32_t frameSeconds = 10;
};

void AddOptions(CLI::App& app, Options& o) {
    app.add_option("--listen", o.listen,
                   "HOST:PORT to listen on; port 0 picks a free one; loopback only unless "
                   "--allow-remote")
        ->required();
    app.add_flag("--allow-remote", o.allowRemote,
                 "allow a --listen host beyond loopback: anyone who can reach it may use the "
                 "station");
    app.add_flag("--read-only", o.readOnly, "refuse every write, as a controller refuses one");
    app.add_flag("--control", o.control,
                 "answer the simulator's control service (0xF0: faults, project switches, the "
                 "clock), a switch for tests on loopback; refused with --allow-remote");
    app.add_option("--project-dir", o.projectDir,
                   "a folder whose files the control service's project=NAME may load "
                   "(otherwise only the start project and the sample)");
    app.add_option("--idle-timeout", o.idleSeconds,
                   "seconds a connection with a session may stay silent (clients send a "
                   "keep-alive every minute)")
        ->check(CLI::Range(1u, 86400u));
    app.add_option("--frame-timeout", o.frameSeconds,
                   "seconds a frame may take once begun, and a connection may go without a "
                   "session")
        ->check(CLI::Range(1u, 3600u));
    app.add_option("--project", o.project,
                   "the SDB file or project description of the project (default: the sample)");
    app.add_option("--order", o.order, "the controller's byte order: big or little");
    app.add_option("--chunk", o.chunk, "bytes of the symbol file per upload reply");
    app.add_option("--block", o.block, "the largest telegram, 0 for none");
    app.add_option("--latency", o.latency, "milliseconds before each reply");
    app.add_option("--memory", o.memory, "bytes of each memory area");
    app.add_option("--values", o.values,
                   "plant (the project's initial values and behaviours, the default) or "
                   "pattern (the memory's test pattern everywhere)");
    app.add_option("--clock", o.clock, "real (the default) or manual (moved by clock=+MS)");
    app.add_option("--replay", o.replay,
                   "a recording of ksym record to serve: its project, byte order, block size "
                   "and values on the clock");
    app.add_flag("--loop", o.loop, "with --replay: start over after the recording's end");
    app.add_option("--speed", o.speed,
                   "with --replay: recorded milliseconds per millisecond (e.g. 10: ten times as "
                   "fast; above 0, at most 1000)");
    app.add_option("--fault", o.faults, plcsim::FaultHelp())->take_all();
    app.add_option("--absent", o.absent, "AREA:OFFSET whose reads and writes fail")->take_all();
}

// Every value goes through the one option parser the embedded simulator uses too: the
// options become its "key=value;" text, which a value may therefore not break with a ';'.
bool ParseOptions(const Options& o, plcsim::Config& config, std::string& error) {
    std::string options;
    const auto add = [&options, &error](const char* key, const std::string& value) {
        if (value.find(';') != std::string::npos) {
            error = std::string("--") + key + " must not contain ';'";
            return false;
        }
        options += std::string(key) + "=" + value + ";";
        return true;
    };
    const std::vector<std::pair<const char*, const std::string*>> single = {
        {"project", &o.project}, {"order", &o.order},   {"chunk", &o.chunk},   {"block", &o.block},
        {"latency", &o.latency}, {"memory", &o.memory}, {"values", &o.values}, {"clock", &o.clock},
        {"replay", &o.replay},   {"speed", &o.speed}};
    for (const auto& [key, value] : single) {
        if (!value->empty() && !add(key, *value)) {
            return false;
        }
    }
    for (const auto& [key, list] :
         {std::make_pair("fault", &o.faults), std::make_pair("absent", &o.absent)}) {
        for (const std::string& value : *list) {
            if (!add(key, value)) {
                return false;
            }
        }
    }
    if (o.loop) {
        options += "loop;";
    }
    if (!plcsim::ParseConfig(options, config, error)) {
        return false;
    }
    config.readOnly = o.readOnly;
    config.control = o.control;
    config.anyProject = false;
    config.projectFolder = o.projectDir;
    return true;
}

// Serves the station until SIGINT or SIGTERM.
int Serve(const std::shared_ptr<plcsim::Controller>& controller, const Options& o,
          const std::string& host, uint16_t port) {
    std::string error;
    if (!InstallSignals(error)) {
        return Fail(1, error);
    }
    RaiseDescriptorLimit();
    plcsim::StationLimits limits;
    limits.idleMs = o.idleSeconds * 1000;
    limits.frameMs = o.frameSeconds * 1000;
    plcsim::StationServer server(controller, limits);
    server.SetReporter(
        [](const std::string& text) { std::cerr << "plcsim: " << text << std::endl; });
    if (!server.Start(host, port, error)) {
        return Fail(1, error);
    }
    std::cout << "plcsim listening on " << server.Address() << std::endl;

    pollfd wake = {g_signalPipe[0], POLLIN, 0};
    while (::poll(&wake, 1, -1) < 0 && errno == EINTR) {
    }
    server.Stop();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"plcsim: a simulated controller served as a station on TCP; it prints "
                 "'plcsim listening on HOST:PORT' when ready and ends on SIGINT or SIGTERM"};
    Options o;
    AddOptions(app, o);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return 2;
    }

    plcsim::Config config;
    std::string error;
    if (!ParseOptions(o, config, error)) {
        return Fail(2, error);
    }
    if (o.control && o.allowRemote) {
        return Fail(2, "--control is for tests on loopback: it may not be given with "
                       "--allow-remote (the control service switches the station for all)");
    }
    auto controller = std::make_shared<plcsim::Controller>();
    if (!controller->Configure(config, error)) {
        return Fail(2, error);
    }
    std::string host;
    uint16_t port = 0;
    if (!formats::SplitHostPort(o.listen, host, port)) {
        return Fail(2, "--listen wants HOST:PORT, not '" + o.listen + "'");
    }
    std::string refusal;
    if (!ksymtool::MayListenOn("plcsim", o.listen, host, o.allowRemote, !o.readOnly, refusal)) {
        return Fail(2, refusal);
    }
    return Serve(controller, o, host, port);
}
