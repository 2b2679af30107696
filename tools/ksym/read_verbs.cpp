// read and watch: the values of variables, once or every interval.
#include <cstdio>
#include <memory>
#include <utility>

#include "tools/ksym/list_read.h"
#include "tools/ksym/session.h"
#include "tools/ksym/value_table.h"
#include "tools/ksym/verbs.h"

namespace ksymtool {

namespace {

// Opens the session and defines the list of `names` on it; null with the exit code. The
// list must go before the session closes its channel.
std::unique_ptr<ListReader> Prepare(Session& session, const std::vector<std::string>& names,
                                    int& exitCode) {
    if (!session.Open()) {
        exitCode = kExitOpenFailed;
        return nullptr;
    }
    // Lists need the symbol table, even when they name direct addresses only.
    if (!session.LoadSymbols()) {
        exitCode = kExitNoSymbols;
        return nullptr;
    }
    std::vector<Variable> variables;
    if (!ResolveNames(session, names, variables, exitCode)) {
        return nullptr;
    }
    auto reader = std::make_unique<ListReader>(session, std::move(variables));
    if (!reader->Define(exitCode)) {
        return nullptr;
    }
    return reader;
}

} // namespace

int RunRead(const Options& options, const std::vector<std::string>& names) {
    Session session(options);
    int exitCode = kExitOk;
    const std::unique_ptr<ListReader> reader = Prepare(session, names, exitCode);
    if (!reader) {
        return exitCode;
    }
    if (reader->Read(exitCode) != ReadEnd::kDone) {
        return exitCode;
    }
    if (options.json) {
        std::printf("%s\n", DumpJson(ValuesJson(reader->variables(), reader->values()), 2).c_str());
    } else {
        PrintValueTable(reader->variables(), reader->values());
    }
    return reader->AllValid() ? kExitOk : kExitNoValue;
}

int RunWatch(const Options& options, const std::vector<std::string>& names,
             const WatchOptions& watch) {
    InstallInterruptHandler();
    Session session(options);
    int exitCode = kExitOk;
    const std::unique_ptr<ListReader> reader = Prepare(session, names, exitCode);
    if (!reader) {
        return exitCode;
    }
    DWORD start = 0; // when the first read began: its line says +0ms
    bool allValid = true;
    for (uint64_t tick = 1; watch.count == 0 || tick <= watch.count; ++tick) {
        const DWORD tickStart = GetTickCount();
        if (tick == 1) {
            start = tickStart;
        }
        const ReadEnd end = reader->Read(exitCode);
        if (end == ReadEnd::kInterrupted) {
            break; // the read in progress is abandoned with the list
        }
        if (end == ReadEnd::kFailed) {
            return exitCode;
        }
        allValid = allValid && reader->AllValid();
        const std::string line = WatchLine(tick, static_cast<uint32_t>(tickStart - start),
                                           options.json, reader->variables(), reader->values());
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
        if (tick == watch.count) {
            break;
        }
        // The next read begins one interval after this one began, or at once when the read
        // took longer.
        const DWORD took = GetTickCount() - tickStart;
        if (took < watch.intervalMs && !PauseUnlessInterrupted(watch.intervalMs - took)) {
            break;
        }
        if (Interrupted()) {
            break;
        }
    }
    return allValid ? kExitOk : kExitNoValue;
}

} // namespace ksymtool
