// serve: the station's variables in a browser page and a JSON interface, over one channel.
#include <httplib.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "formats/host_port.h"
#include "tools/common/listen_address.h"
#include "tools/ksym/serve/http_guard.h"
#include "tools/ksym/serve/http_routes.h"
#include "tools/ksym/session.h"
#include "tools/ksym/verb.h"
#include "tools/ksym/serve/watch_hub.h"

namespace ksymtool {

namespace {

struct ServeOptions {
    std::string listen = "127.0.0.1:8080";
    bool readOnly = false;    // every write is refused
    bool allowRemote = false; // a listen host beyond loopback is allowed, with a token
    std::string tokenFile;    // the token beyond loopback; empty: one made at start
};

// Watches hold a worker each for as long as they run, so the pool is larger than the
// library's default; the hub bounds the watches below it.
constexpr size_t kServerThreads = WatchHub::kMaxSubscriptions + 8;

// A token nobody can guess: 128 bits from the system's random source, in hex.
std::string NewToken() {
    std::random_device source;
    std::string token;
    static const char kHex[] = "0123456789abcdef";
    for (int i = 0; i < 8; ++i) {
        const unsigned value = source() & 0xFFFFu;
        for (int shift = 12; shift >= 0; shift -= 4) {
            token.push_back(kHex[(value >> shift) & 0xFu]);
        }
    }
    return token;
}

// The first line of `path` as a token: 16 to 256 printable characters, none of them space,
// ';' or ','. False with `why` otherwise.
bool ReadToken(const std::string& path, std::string& token, std::string& why) {
    std::ifstream file(path);
    if (!file || !std::getline(file, token)) {
        why = "cannot read the token file " + path;
        return false;
    }
    while (!token.empty() && (token.back() == '\r' || token.back() == ' ')) {
        token.pop_back();
    }
    bool printable = token.size() >= 16 && token.size() <= 256;
    for (char c : token) {
        printable = printable && c > ' ' && c < 127 && c != ';' && c != ',';
    }
    if (!printable) {
        why = "the token file must begin with a token of 16 to 256 printable characters "
              "(no space, ';' or ',')";
    }
    return printable;
}

// Where Debian installs the plotting library; KSYM_CHART_JS names another file.
std::string ChartPath() {
    const char* path = std::getenv("KSYM_CHART_JS");
    return path != nullptr ? path : "/usr/share/javascript/chart.js/chart.min.js";
}

// The token every request to a server beyond loopback must carry: the one of --token-file,
// or a new one; false (and said) when the file cannot give one.
bool TakeToken(const ServeOptions& serve, std::string& token) {
    std::string why;
    if (!serve.tokenFile.empty() && !ReadToken(serve.tokenFile, token, why)) {
        std::fprintf(stderr, "ksym: %s\n", why.c_str());
        return false;
    }
    if (token.empty()) {
        token = NewToken();
    }
    std::fprintf(stderr, "ksym: warning: every request needs the server's token, but plain HTTP "
                         "carries it in the clear: anyone who can watch the network can take it\n");
    return true;
}

// Serves the station's variables over HTTP (see http_routes.h) until SIGINT or SIGTERM,
// after printing "ksym serving http://HOST:PORT/" (beyond loopback with "?token=TOKEN" when
// the server made its token).
int RunServe(const Options& options, const ServeOptions& serve) {
    std::string host;
    uint16_t port = 0;
    if (!formats::SplitHostPort(serve.listen, host, port)) {
        std::fprintf(stderr, "ksym: --listen wants HOST:PORT, not '%s'\n", serve.listen.c_str());
        return kExitBadArgument;
    }
    std::string refusal;
    if (!MayListenOn("ksym", serve.listen, host, serve.allowRemote, !serve.readOnly, refusal)) {
        std::fprintf(stderr, "ksym: %s\n", refusal.c_str());
        return kExitBadArgument;
    }
    // The host check follows the address itself, not the option: on loopback a request must
    // name a loopback host; beyond it, it must carry the token.
    const bool loopback = IsLoopbackHost(host);
    std::string token;
    if (!loopback && !TakeToken(serve, token)) {
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
    settings.loopbackListen = loopback;
    settings.token = token;
    settings.timeoutMs = options.timeoutMs;
    settings.chartPath = ChartPath();

    HttpLimits limits;
    limits.workers = kServerThreads;
    GuardedServer server(limits);
    server.set_payload_max_length(kMaxBodyBytes);
    if (!server.StartGuard()) {
        std::fprintf(stderr, "ksym: cannot start the server's threads\n");
        return kExitListenFailed;
    }
    AddRoutes(server, hub, settings);
    const int bound =
        port == 0 ? server.bind_to_any_port(host) : (server.bind_to_port(host, port) ? port : -1);
    if (bound < 0) {
        std::fprintf(stderr, "ksym: cannot listen on %s\n", serve.listen.c_str());
        return kExitListenFailed;
    }
    const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    // A token from a file is the user's own, and not printed.
    const std::string query = token.empty() || !serve.tokenFile.empty() ? "" : "?token=" + token;
    std::printf("ksym serving http://%s:%d/%s\n", shown.c_str(), bound, query.c_str());
    std::fflush(stdout);

    std::thread listener([&server] { server.listen_after_bind(); });
    while (PauseUnlessInterrupted(1000)) {
    }
    // The hub first: it ends the watch streams; then every connection ends, whatever its
    // client does.
    hub.Stop();
    server.StopAll();
    listener.join();
    return kExitOk;
}

class ServeVerb final : public Verb {
public:
    void Arguments(VerbArguments& arguments) override {
        arguments.Text("--listen", serve_.listen,
                       "HOST:PORT to listen on (default 127.0.0.1:8080; port 0 picks a free "
                       "one); loopback only unless --allow-remote");
        arguments.Flag("--read-only", serve_.readOnly, "refuse every write (403)");
        arguments.Flag("--allow-remote", serve_.allowRemote,
                       "allow a --listen host beyond loopback; every request then needs the "
                       "server's token, which it makes at start and prints in its address");
        arguments.Text("--token-file", serve_.tokenFile,
                       "beyond loopback: the token is the first line of this file (16 to 256 "
                       "printable characters) instead of one made at start");
    }
    int Run(const Options& options) override { return RunServe(options, serve_); }

private:
    ServeOptions serve_;
};

const VerbRegistration<ServeVerb>
    kServe("serve",
           "serve the variables in a browser page and a JSON interface until Ctrl-C or SIGTERM; it "
           "prints 'ksym serving http://HOST:PORT/' when ready",
           50);

} // namespace

} // namespace ksymtool
