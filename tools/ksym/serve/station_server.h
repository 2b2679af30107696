// The JSON interface of one station as a running server: the watch hub that owns the channel,
// the guarded HTTP server with its routes (http_routes.h), and the thread that listens.
// ksym serve shows it to browsers; ksym opcua puts its gateway in front of it.
#ifndef KSYM_TOOLS_SERVE_STATION_SERVER_H
#define KSYM_TOOLS_SERVE_STATION_SERVER_H

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "tools/ksym/options.h"
#include "tools/ksym/serve/http_routes.h"
#include "tools/ksym/serve/watch_hub.h"

namespace ksymtool {

class GuardedServer;

// A token nobody can guess: 128 bits from the system's random source, in hex.
std::string NewToken();

class StationServer {
public:
    // `options` and `settings` must outlive the server.
    StationServer(const Options& options, const RouteSettings& settings);
    StationServer(const StationServer&) = delete;
    StationServer& operator=(const StationServer&) = delete;
    // Stops it, as Stop does.
    ~StationServer();

    // Opens the channel and loads the symbols, then listens on `host`:`port` (0: a free
    // port). kExitOk with `bound` set, or the exit code of what failed, said on stderr.
    int Start(const std::string& host, uint16_t port, uint16_t& bound);
    // Ends the watch streams, then every connection, then the listener. Idempotent.
    void Stop();

private:
    const RouteSettings& settings_;
    WatchHub hub_;
    std::unique_ptr<GuardedServer> server_;
    std::thread listener_;
};

} // namespace ksymtool

#endif
