// What ksym serve answers over HTTP: its page (embedded in the program), the plotting
// library from the machine's file, and the JSON interface over the watch hub. Every request
// is untrusted: names per request, name lengths, bodies, limits and intervals are bounded,
// and malformed input is answered with 400 and a JSON error, never a crash.
//   GET  /api/symbols?prefix=P&limit=N   the symbols whose names begin with P, any case
//   GET  /api/read?name=A&name=B         the values, as ksym --json read prints them
//   POST /api/write {"NAME": value, ...} 200 {"ok": true}
//   GET  /api/watch?name=A&interval=MS   text/event-stream, one event per read
//   GET  /api/station                    the station, its state and identification
// Errors are {"error": TEXT, "code": N}, N the exit code ksym gives for the same failure.
#ifndef KSYM_TOOLS_HTTP_ROUTES_H
#define KSYM_TOOLS_HTTP_ROUTES_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace httplib {
class Server;
}

namespace ksymtool {

class WatchHub;

// Bounds of one request.
inline constexpr size_t kMaxNamesPerRequest = 64;
inline constexpr size_t kMaxNameLength = 256;
inline constexpr size_t kMaxBodyBytes = 64 * 1024;
inline constexpr size_t kDefaultSymbolLimit = 200;
inline constexpr size_t kMaxSymbolLimit = 5000;
inline constexpr uint32_t kMinIntervalMs = 10;
inline constexpr uint32_t kMaxIntervalMs = 3600000;
inline constexpr uint32_t kDefaultIntervalMs = 1000;

struct RouteSettings {
    bool readOnly = false;     // every write is answered 403
    bool loopbackOnly = true;  // requests naming another host than loopback are answered 403
    uint32_t timeoutMs = 5000; // the controller's answer time, as the options give it
    std::string chartPath;     // the plotting library's file; 404 when it is missing
};

// Adds the routes, the error answers and the host check to `server`. `hub` and `settings`
// must outlive it.
void AddRoutes(httplib::Server& server, WatchHub& hub, const RouteSettings& settings);

// The host a Host header names, without its port and brackets.
std::string HostOfHeader(const std::string& header);

} // namespace ksymtool

#endif
