#include "tools/ksym/serve/http_routes.h"

#include <httplib.h>

#include <cctype>
#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/common/listen_address.h"
#include "tools/ksym/options.h"
#include "tools/ksym/value_table.h"
#include "tools/ksym/serve/watch_hub.h"
#include "tools/ksym/serve/web_assets.h"

namespace ksymtool {

namespace {

using httplib::Request;
using httplib::Response;
using nlohmann::json;

constexpr const char* kJson = "application/json";
// Silence on a watch stream longer than this gets a comment line, which also tells a
// closed connection from a quiet one.
constexpr std::chrono::milliseconds kKeepAlive{2000};

// The HTTP status for a failure with ksym's exit code.
int StatusOf(int exitCode) {
    switch (exitCode) {
    case kExitBadArgument:
        return 400;
    case kExitRefused:
        return 409;
    case kExitOpenFailed:
    case kExitNoSymbols:
        return 503;
    case kExitNoAnswer:
        return 504;
    default:
        return 502;
    }
}

void SendJson(Response& res, int status, const json& body) {
    res.status = status;
    res.set_content(DumpJson(body, -1), kJson);
}

void SendError(Response& res, int status, const std::string& why, int code) {
    SendJson(res, status, {{"error", why}, {"code", code}});
}

void SendFailure(Response& res, const HubResult& result) {
    SendError(res, StatusOf(result.exitCode), result.why, result.exitCode);
}

// A decimal number of `min` to `max`; false for anything else.
bool ParseBounded(const std::string& text, uint64_t min, uint64_t max, uint64_t& value) {
    if (text.empty() || text.size() > 10) {
        return false;
    }
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return value >= min && value <= max;
}

// The query parameter `key` as a bounded number, `fallback` when absent; false (answered
// 400) when it is malformed.
bool NumberParam(const Request& req, Response& res, const char* key, uint64_t min, uint64_t max,
                 uint64_t fallback, uint64_t& value) {
    value = fallback;
    if (!req.has_param(key)) {
        return true;
    }
    if (!ParseBounded(req.get_param_value(key), min, max, value)) {
        SendError(res, 400,
                  std::string(key) + " takes a number from " + std::to_string(min) + " to " +
                      std::to_string(max),
                  kExitBadArgument);
        return false;
    }
    return true;
}

// The name parameters of a read or watch, each as often as it is given: 1 to
// kMaxNamesPerRequest names, none empty, longer than kMaxNameLength or holding a NUL (which
// would cut the name short on its way to the library). False (answered 400) otherwise.
bool NameParams(const Request& req, Response& res, std::vector<std::string>& names) {
    names = QueryValues(req.target, "name");
    if (names.empty() || names.size() > kMaxNamesPerRequest) {
        SendError(res, 400, "name is given 1 to " + std::to_string(kMaxNamesPerRequest) + " times",
                  kExitBadArgument);
        return false;
    }
    for (const std::string& name : names) {
        if (name.empty() || name.size() > kMaxNameLength || name.find('\0') != std::string::npos) {
            SendError(res, 400,
                      "a name has 1 to " + std::to_string(kMaxNameLength) +
                          " characters, none of them NUL",
                      kExitBadArgument);
            return false;
        }
    }
    return true;
}

// The token a request carries: Authorization: Bearer, else the cookie, else ?token=
// (`fromQuery` then set).
std::string TokenOf(const Request& req, bool& fromQuery) {
    fromQuery = false;
    const std::string authorization = req.get_header_value("Authorization");
    if (authorization.rfind("Bearer ", 0) == 0) {
        return authorization.substr(7);
    }
    const std::string cookie = CookieValue(req.get_header_value("Cookie"), kTokenCookie);
    if (!cookie.empty()) {
        return cookie;
    }
    const std::vector<std::string> query = QueryValues(req.target, "token");
    fromQuery = query.size() == 1;
    return fromQuery ? query.front() : std::string();
}

// Compares without stopping at the first difference, so that the time taken tells nothing
// of how much of a guess was right.
bool SameToken(const std::string& given, const std::string& token) {
    unsigned char difference = given.size() == token.size() ? 0 : 1;
    for (size_t i = 0; i < token.size(); ++i) {
        difference |= static_cast<unsigned char>(token[i] ^ (i < given.size() ? given[i] : 0));
    }
    return difference == 0;
}

// A subscription's first record, or the failure answered. Null when answered.
std::shared_ptr<Subscription> FirstRecord(WatchHub& hub, const RouteSettings& settings,
                                          std::vector<std::string> names, uint64_t intervalMs,
                                          bool once, Response& res, json& record) {
    std::shared_ptr<Subscription> subscription =
        hub.Subscribe(std::move(names), std::chrono::milliseconds(intervalMs), once);
    if (subscription == nullptr) {
        SendError(res, 503, "too many reads and watches are open", kExitOpenFailed);
        return nullptr;
    }
    // Enough for the read's own time-out and a reconnection's symbol load before it.
    const std::chrono::milliseconds wait(2 * static_cast<uint64_t>(settings.timeoutMs) + 1000);
    switch (subscription->Take(wait, record)) {
    case Subscription::Next::kRecord:
        return subscription;
    case Subscription::Next::kEnded: {
        const HubResult result = subscription->result();
        SendFailure(res, result.exitCode != kExitOk
                             ? result
                             : HubResult{kExitOpenFailed, "the server is stopping"});
        break;
    }
    case Subscription::Next::kTimedOut:
        SendError(res, 504, "no answer from the controller", kExitNoAnswer);
        break;
    }
    hub.Unsubscribe(subscription);
    return nullptr;
}

std::string EventText(const json& record) {
    return "data: " + DumpJson(record, -1) + "\n\n";
}

void GetWatch(WatchHub& hub, const RouteSettings& settings, const Request& req, Response& res) {
    std::vector<std::string> names;
    uint64_t interval = 0;
    if (!NameParams(req, res, names) ||
        !NumberParam(req, res, "interval", kMinIntervalMs, kMaxIntervalMs, kDefaultIntervalMs,
                     interval)) {
        return;
    }
    auto first = std::make_shared<json>();
    std::shared_ptr<Subscription> subscription =
        FirstRecord(hub, settings, std::move(names), interval, false, res, *first);
    if (subscription == nullptr) {
        return;
    }
    res.set_header("Cache-Control", "no-cache");
    res.set_chunked_content_provider(
        "text/event-stream",
        [subscription, first](size_t, httplib::DataSink& sink) {
            std::string text;
            json record;
            if (!first->is_null()) {
                text = EventText(*first);
                *first = json();
            } else {
                switch (subscription->Take(kKeepAlive, record)) {
                case Subscription::Next::kRecord:
                    text = EventText(record);
                    break;
                case Subscription::Next::kTimedOut:
                    text = ":\n\n";
                    break;
                case Subscription::Next::kEnded: {
                    const HubResult result = subscription->result();
                    if (result.exitCode != kExitOk) {
                        const std::string end =
                            "event: error\ndata: " +
                            DumpJson({{"error", result.why}, {"code", result.exitCode}}, -1) +
                            "\n\n";
                        sink.write(end.data(), end.size());
                    }
                    sink.done();
                    return true;
                }
                }
            }
            return sink.write(text.data(), text.size());
        },
        [&hub, subscription](bool) { hub.Unsubscribe(subscription); });
}

void GetRead(WatchHub& hub, const RouteSettings& settings, const Request& req, Response& res) {
    std::vector<std::string> names;
    if (!NameParams(req, res, names)) {
        return;
    }
    json record;
    if (FirstRecord(hub, settings, std::move(names), kMinIntervalMs, true, res, record) !=
        nullptr) {
        SendJson(res, 200, record.at("values"));
    }
}

// A JSON value as the text ksym write takes for it: strings as they are, numbers and bools
// as JSON writes them, arrays of numbers as their elements. False for anything else.
bool ValueText(const json& value, std::string& text) {
    if (value.is_string()) {
        text = value.get<std::string>();
        return true;
    }
    if (value.is_number() || value.is_boolean()) {
        text = value.dump();
        return true;
    }
    if (value.is_array()) {
        text.clear();
        for (const json& element : value) {
            if (!element.is_number()) {
                return false;
            }
            text += (text.empty() ? "" : ",") + element.dump();
        }
        return true;
    }
    return false;
}

void PostWrite(WatchHub& hub, const RouteSettings& settings, const Request& req, Response& res) {
    if (settings.readOnly) {
        SendError(res, 403, "the server is read-only", kExitRefused);
        return;
    }
    // A browser sends a JSON body to another origin only after asking whether it may, which
    // this server never allows: a page elsewhere cannot write through a visitor's browser.
    if (!IsJsonContentType(req.get_header_value("Content-Type"))) {
        SendError(res, 415, "the body must be application/json", kExitBadArgument);
        return;
    }
    const json body = json::parse(req.body, nullptr, false);
    if (body.is_discarded() || !body.is_object() || body.empty() ||
        body.size() > kMaxNamesPerRequest) {
        SendError(res, 400,
                  "the body must be a JSON object of 1 to " + std::to_string(kMaxNamesPerRequest) +
                      " names and values",
                  kExitBadArgument);
        return;
    }
    std::vector<std::pair<std::string, std::string>> assignments;
    for (const auto& [name, value] : body.items()) {
        std::string text;
        if (name.empty() || name.size() > kMaxNameLength || !ValueText(value, text)) {
            SendError(res, 400, "not a value ksym can write: " + name + "=" + value.dump(),
                      kExitBadArgument);
            return;
        }
        assignments.emplace_back(name, std::move(text));
    }
    const HubResult result =
        hub.Write(std::move(assignments), std::chrono::milliseconds(2 * settings.timeoutMs + 1000));
    if (result.exitCode == kExitNoAnswer) {
        // Withdrawn unsent: nothing happened, and trying again is safe. Sent: whether the
        // controller carried it out is unknown, and the client must look before it retries.
        SendJson(res, result.outcomeUnknown ? 504 : 503,
                 {{"error", result.why},
                  {"code", result.exitCode},
                  {"outcome", result.outcomeUnknown ? "unknown" : "not written"}});
        return;
    }
    if (result.exitCode != kExitOk) {
        SendFailure(res, result);
        return;
    }
    SendJson(res, 200, {{"ok", true}});
}

void GetSymbols(const WatchHub& hub, const Request& req, Response& res) {
    const std::string prefix = req.get_param_value("prefix");
    if (prefix.size() > kMaxNameLength) {
        SendError(res, 400, "the prefix is too long", kExitBadArgument);
        return;
    }
    uint64_t limit = 0;
    uint64_t from = 0;
    if (!NumberParam(req, res, "limit", 1, kMaxSymbolLimit, kDefaultSymbolLimit, limit) ||
        !NumberParam(req, res, "from", 0, 0xFFFFFFFFu, 0, from)) {
        return;
    }
    size_t matches = 0;
    const json list =
        hub.Symbols(prefix, static_cast<size_t>(from), static_cast<size_t>(limit), matches);
    res.set_header("X-Total-Count", std::to_string(matches));
    SendJson(res, 200, list);
}

void SendAsset(Response& res, const std::string& text, const char* type) {
    res.set_header("Cache-Control", "no-cache");
    res.set_content(text, type);
}

void SendChart(const std::string& path, Response& res) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        SendError(res, 404, "the plotting library is not installed", kExitOk);
        return;
    }
    std::ostringstream text;
    text << in.rdbuf();
    res.set_header("Cache-Control", "max-age=3600");
    res.set_content(text.str(), "text/javascript");
}

} // namespace

std::string HostOfHeader(const std::string& header) {
    if (!header.empty() && header.front() == '[') {
        const size_t close = header.find(']');
        return close == std::string::npos ? header : header.substr(1, close - 1);
    }
    const size_t colon = header.find(':');
    return colon == std::string::npos ? header : header.substr(0, colon);
}

std::vector<std::string> QueryValues(const std::string& target, const std::string& key) {
    std::vector<std::string> values;
    const size_t question = target.find('?');
    if (question == std::string::npos) {
        return values;
    }
    size_t at = question + 1;
    while (at <= target.size()) {
        size_t end = target.find('&', at);
        if (end == std::string::npos) {
            end = target.size();
        }
        const std::string pair = target.substr(at, end - at);
        const size_t equals = pair.find('=');
        const std::string name = httplib::detail::decode_url(pair.substr(0, equals), true);
        if (name == key) {
            values.push_back(equals == std::string::npos
                                 ? std::string()
                                 : httplib::detail::decode_url(pair.substr(equals + 1), true));
        }
        at = end + 1;
    }
    return values;
}

bool IsJsonContentType(const std::string& header) {
    const size_t end = header.find(';');
    std::string type = header.substr(0, end);
    while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) {
        type.pop_back();
    }
    const std::string json = kJson;
    if (type.size() != json.size()) {
        return false;
    }
    for (size_t i = 0; i < type.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(type[i])) != json[i]) {
            return false;
        }
    }
    return true;
}

std::string CookieValue(const std::string& header, const std::string& name) {
    size_t at = 0;
    while (at < header.size()) {
        size_t end = header.find(';', at);
        if (end == std::string::npos) {
            end = header.size();
        }
        size_t begin = at;
        while (begin < end && header[begin] == ' ') {
            ++begin;
        }
        const size_t equals = header.find('=', begin);
        if (equals < end && header.compare(begin, equals - begin, name) == 0 &&
            equals - begin == name.size()) {
            return header.substr(equals + 1, end - equals - 1);
        }
        at = end + 1;
    }
    return std::string();
}

namespace {

// The gate before every route: the host a loopback server answers, the token a server
// beyond loopback wants, and the headers every answer carries.
httplib::Server::HandlerResponse Admit(const RouteSettings& settings, const Request& req,
                                       Response& res) {
    using Handled = httplib::Server::HandlerResponse;
    // A page elsewhere may name this server through a host name of its own that
    // resolves here; on a loopback address, such requests are not served.
    if (settings.loopbackListen && !IsLoopbackHost(HostOfHeader(req.get_header_value("Host")))) {
        SendError(res, 403, "this server answers only requests to a loopback host",
                  kExitBadArgument);
        return Handled::Handled;
    }
    // Beyond loopback nobody is served without the token.
    if (!settings.token.empty()) {
        bool fromQuery = false;
        if (!SameToken(TokenOf(req, fromQuery), settings.token)) {
            res.set_header("WWW-Authenticate", "Bearer");
            SendError(res, 401,
                      "this server needs its token: open the address it printed, or send "
                      "Authorization: Bearer TOKEN",
                      kExitBadArgument);
            return Handled::Handled;
        }
        if (fromQuery) {
            res.set_header("Set-Cookie", std::string(kTokenCookie) + "=" + settings.token +
                                             "; Path=/; HttpOnly; SameSite=Strict");
        }
    }
    res.set_header("Content-Security-Policy",
                   "default-src 'self'; style-src 'self' 'unsafe-inline'; img-src 'self' data:");
    res.set_header("X-Content-Type-Options", "nosniff");
    return Handled::Unhandled;
}

} // namespace

void AddRoutes(httplib::Server& server, WatchHub& hub, const RouteSettings& settings) {
    using Handled = httplib::Server::HandlerResponse;
    server.set_pre_routing_handler(
        [&settings](const Request& req, Response& res) { return Admit(settings, req, res); });
    server.set_error_handler(
        httplib::Server::HandlerWithResponse([](const Request&, Response& res) {
            if (!res.body.empty()) {
                return Handled::Unhandled;
            }
            const char* why = res.status == 404   ? "no such route"
                              : res.status == 413 ? "the request is too large"
                                                  : "the request cannot be served";
            SendError(res, res.status, why, kExitBadArgument);
            return Handled::Handled;
        }));

    server.Get("/", [](const Request&, Response& res) {
        SendAsset(res, WebIndexHtml(), "text/html; charset=utf-8");
    });
    server.Get("/app.js", [](const Request&, Response& res) {
        SendAsset(res, WebAppJs(), "text/javascript; charset=utf-8");
    });
    server.Get("/style.css", [](const Request&, Response& res) {
        SendAsset(res, WebStyleCss(), "text/css; charset=utf-8");
    });
    server.Get("/lib/chart.js",
               [&settings](const Request&, Response& res) { SendChart(settings.chartPath, res); });

    server.Get("/api/symbols",
               [&hub](const Request& req, Response& res) { GetSymbols(hub, req, res); });
    server.Get("/api/read", [&hub, &settings](const Request& req, Response& res) {
        GetRead(hub, settings, req, res);
    });
    server.Get("/api/watch", [&hub, &settings](const Request& req, Response& res) {
        GetWatch(hub, settings, req, res);
    });
    server.Post("/api/write", [&hub, &settings](const Request& req, Response& res) {
        PostWrite(hub, settings, req, res);
    });
    server.Get("/api/station", [&hub, &settings](const Request&, Response& res) {
        json station = hub.Station();
        station["readOnly"] = settings.readOnly;
        SendJson(res, 200, station);
    });
}

} // namespace ksymtool
