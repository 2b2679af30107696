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
    uint64_t count = 0; // ticks before it stops; 0: until Ctrl-C
};
// Reads the variables every interval and prints one line per read.
int RunWatch(const Options& options, const std::vector<std::string>& names,
             const WatchOptions& watch);

// Writes NAME=VALUE assignments; with `verify`, reads them back and shows them as read does.
int RunWrite(const Options& options, const std::vector<std::string>& assignments, bool verify);

// The controller's project identification, and the loaded symbol table's project id.
int RunInfo(const Options& options);
int RunLogin(const Options& options);
int RunLogout(const Options& options);

} // namespace ksymtool

#endif
