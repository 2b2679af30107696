// serve: the station's variables in a browser page and a JSON interface, over one channel.
#include <httplib.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "tools/common/listen_address.h"
#include "tools/ksym/http_routes.h"
#include "tools/ksym/session.h"
#include "tools/ksym/verbs.h"
#include "tools/ksym/watch_hub.h"

namespace ksymtool {

namespace {

// Watches hold a worker each for as long as they run, so the pool is larger than the
// library's default; the hub bounds the watches below it.
constexpr size_t kServerThreads = WatchHub::kMaxSubscriptions + 8;

// Where Debian installs the plotting library; KSYM_CHART_JS names another file.
std::string ChartPath() {
    const char* path = std::getenv("KSYM_CHART_JS");
    return path != nullptr ? path : "/usr/share/javascript/chart.js/chart.min.js";
}

} // namespace

int RunServe(const Options& options, const ServeOptions& serve) {
    std::string host;
    uint16_t port = 0;
    if (!SplitListen(serve.listen, host, port)) {
        std::fprintf(stderr, "ksym: --listen wants HOST:PORT, not '%s'\n", serve.listen.c_str());
        return kExitBadArgument;
    }
    std::string refusal;
    if (!MayListenOn("ksym", serve.listen, host, serve.allowRemote, !serve.readOnly, refusal)) {
        std::fprintf(stderr, "ksym: %s\n", refusal.c_str());
        return kExitBadArgument;
    }
    InstallInterruptHandler(true);

    WatchHub hub(options);
    const int started = hub.Start();
    if (started != kExitOk) {
        return started;
    }
    RouteSettings settings;
    settings.readOnly = serve.readOnly;
    settings.loopbackOnly = !serve.allowRemote;
    settings.timeoutMs = options.timeoutMs;
    settings.chartPath = ChartPath();

    httplib::Server server;
    server.new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
    server.set_payload_max_length(kMaxBodyBytes);
    server.set_keep_alive_timeout(2);
    server.set_read_timeout(5, 0);
    server.set_write_timeout(5, 0);
    AddRoutes(server, hub, settings);
    const int bound =
        port == 0 ? server.bind_to_any_port(host) : (server.bind_to_port(host, port) ? port : -1);
    if (bound < 0) {
        std::fprintf(stderr, "ksym: cannot listen on %s\n", serve.listen.c_str());
        return kExitListenFailed;
    }
    const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    std::printf("ksym serving http://%s:%d/\n", shown.c_str(), bound);
    std::fflush(stdout);

    std::thread listener([&server] { server.listen_after_bind(); });
    while (PauseUnlessInterrupted(1000)) {
    }
    // The hub first: it ends the watch streams, whose workers the server's stop waits for.
    hub.Stop();
    server.stop();
    listener.join();
    return kExitOk;
}

} // namespace ksymtool
