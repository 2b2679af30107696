// serve: the station's variables in a browser page and a JSON interface, over one channel.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "formats/host_port.h"
#include "tools/common/listen_address.h"
#include "tools/ksym/serve/station_server.h"
#include "tools/ksym/session.h"
#include "tools/ksym/verb.h"

namespace ksymtool {

namespace {

struct ServeOptions {
    std::string listen = "127.0.0.1:8080";
    bool readOnly = false;    // every write is refused
    bool allowRemote = false; // a listen host beyond loopback is allowed, with a token
    std::string tokenFile;    // the token beyond loopback; empty: one made at start
};

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

    RouteSettings settings;
    settings.readOnly = serve.readOnly;
    settings.loopbackListen = loopback;
    settings.token = token;
    settings.timeoutMs = options.timeoutMs;
    settings.chartPath = ChartPath();
    StationServer server(options, settings);
    uint16_t bound = 0;
    const int started = server.Start(host, port, bound);
    if (started != kExitOk) {
        return started;
    }
    const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    // A token from a file is the user's own, and not printed.
    const std::string query = token.empty() || !serve.tokenFile.empty() ? "" : "?token=" + token;
    std::printf("ksym serving http://%s:%d/%s\n", shown.c_str(), bound, query.c_str());
    std::fflush(stdout);

    while (PauseUnlessInterrupted(1000)) {
    }
    server.Stop();
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
