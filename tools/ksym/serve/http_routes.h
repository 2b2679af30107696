// What ksym serve answers over HTTP: its page (embedded in the program), the plotting
// library from the machine's file, and the JSON interface over the watch hub. Every request
// is untrusted: names per request, name lengths, bodies, limits and intervals are bounded,
// and malformed input is answered with 400 and a JSON error, never a crash.
//   GET  /api/symbols?prefix=P&limit=N&from=K   the symbols whose names begin with P, any
//                                        case, after the first K of them, with their kinds
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
#include <vector>

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
    bool readOnly = false; // every write is answered 403
    // The server listens on loopback: requests naming another host than loopback are
    // answered 403 (a page elsewhere whose name was made to resolve here cannot use it).
    bool loopbackListen = true;
    // Beyond loopback: every request must carry this token (Authorization: Bearer, the
    // cookie kTokenCookie, or ?token= once, which then sets the cookie); 401 otherwise.
    std::string token;
    uint32_t timeoutMs = 5000; // the controller's answer time, as the options give it
    std::string chartPath;     // the plotting library's file; 404 when it is missing
};

// The cookie a browser keeps the token in after its first visit.
inline constexpr char kTokenCookie[] = "ksym_token";

// Adds the routes, the error answers and the host check to `server`. `hub` and `settings`
// must outlive it.
void AddRoutes(httplib::Server& server, WatchHub& hub, const RouteSettings& settings);

// The host a Host header names, without its port and brackets.
std::string HostOfHeader(const std::string& header);

// The values of `key` in the query of a request target, every one as it came (the HTTP
// library drops repeated pairs), decoded.
std::vector<std::string> QueryValues(const std::string& target, const std::string& key);

// Whether a Content-Type header names JSON: the media type application/json, any case,
// parameters after ';' allowed, nothing else.
bool IsJsonContentType(const std::string& header);

// The value of cookie `name` in a Cookie header; empty when it has none.
std::string CookieValue(const std::string& header, const std::string& name);

} // namespace ksymtool

#endif
