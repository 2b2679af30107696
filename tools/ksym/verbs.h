// The verbs of ksym; each returns the process's exit code (see options.h).
#ifndef KSYM_TOOLS_VERBS_H
#define KSYM_TOOLS_VERBS_H

#include <cstdint>
#include <string>
#include <vector>

#include "tools/ksym/options.h"

namespace ksymtool {

// Opens a channel, reports the library version and the channel, closes it.
int RunHello(const Options& options);
// Lists the symbols whose names begin with `prefix`.
int RunSymbols(const Options& options, const std::string& prefix);

// Reads the variables once and shows their values.
int RunRead(const Options& options, const std::vector<std::string>& names);

struct WatchOptions {
    uint32_t intervalMs = 1000;
    uint64_t count = 0;         // reads before it stops; 0: no limit
    double durationSeconds = 0; // how long it runs; 0: no limit
    bool changes = false;       // after the first read, only the values that changed
    std::string format;         // table, csv or jsonl; empty: jsonl with --json, else table
};
// Reads the variables every interval and prints one record per read, until Ctrl-C, its
// count or its duration. A broken connection is reported on stderr and mended: the channel
// is opened again, the symbols loaded again and the list defined again, retrying with a
// growing delay.
int RunWatch(const Options& options, const std::vector<std::string>& names,
             const WatchOptions& watch);

// Writes NAME=VALUE assignments; with `verify`, reads them back and shows them as read does.
int RunWrite(const Options& options, const std::vector<std::string>& assignments, bool verify);

struct ServeOptions {
    std::string listen = "127.0.0.1:8080";
    bool readOnly = false;    // every write is refused
    bool allowRemote = false; // a listen host beyond loopback is allowed, with a token
    std::string tokenFile;    // the token beyond loopback; empty: one made at start
};
// Serves the station's variables over HTTP (see http_routes.h) until SIGINT or SIGTERM,
// after printing "ksym serving http://HOST:PORT/" (beyond loopback with "?token=TOKEN" when
// the server made its token).
int RunServe(const Options& options, const ServeOptions& serve);

// The controller's project identification, and the loaded symbol table's project id.
int RunInfo(const Options& options);
int RunLogin(const Options& options);
int RunLogout(const Options& options);

} // namespace ksymtool

#endif
