// watch: the values of variables every interval, until Ctrl-C, a count or a duration, through
// breaks of the connection.
#include <cstdio>
#include <memory>

#include "tools/ksym/list_read.h"
#include "tools/ksym/deadline.h"
#include "tools/ksym/read_pacing.h"
#include "tools/ksym/mended_list.h"
#include "tools/ksym/session.h"
#include "tools/ksym/verb.h"
#include "tools/ksym/watch_output.h"

namespace ksymtool {

namespace {

struct WatchOptions {
    ReadPacing pacing;
    bool changes = false; // after the first read, only the values that changed
    std::string format;   // table, csv or jsonl; empty: jsonl with --json, else table
};

// Reads the variables every interval and prints one record per read, until Ctrl-C, its
// count or its duration. A broken connection is reported on stderr and mended: the channel
// is opened again, the symbols loaded again and the list defined again, retrying with a
// growing delay.
int RunWatch(const Options& options, const std::vector<std::string>& names,
             const WatchOptions& watch) {
    InstallInterruptHandler();
    WatchFormat format = options.json ? WatchFormat::kJsonLines : WatchFormat::kTable;
    if (!watch.format.empty() && !ParseWatchFormat(watch.format, format)) {
        std::fprintf(stderr, "ksym: --format takes table, csv or jsonl, not '%s'\n",
                     watch.format.c_str());
        return kExitBadArgument;
    }
    Session session(options);
    int exitCode = kExitOk;
    std::unique_ptr<ListReader> reader = PrepareReader(session, names, exitCode);
    if (!reader) {
        return exitCode;
    }
    const Deadline deadline(watch.pacing.durationSeconds);
    WatchOutput output(format, watch.changes);
    bool allValid = true;
    bool connected = true;
    uint64_t tick = 0;
    while (watch.pacing.More(tick, deadline)) {
        const DWORD readStart = GetTickCount();
        const ReadEnd end = reader->Read(exitCode);
        if (end == ReadEnd::kInterrupted) {
            break; // the read in progress is abandoned with the list
        }
        if (end == ReadEnd::kFailed) {
            connected = MendList(session, names, reader, deadline, exitCode);
            if (!connected) {
                break;
            }
            exitCode = kExitOk;
            continue;
        }
        ++tick;
        allValid = allValid && reader->AllValid();
        const std::string record =
            output.Record(IsoTimeNow(), tick, reader->variables(), reader->values());
        std::fputs(record.c_str(), stdout);
        std::fflush(stdout);
        if (tick == watch.pacing.count) {
            break;
        }
        if (!watch.pacing.AwaitNext(readStart, deadline)) {
            break;
        }
    }
    if (!connected) {
        // Ended while the station was out of reach: the reason of the break stands.
        return exitCode != kExitOk ? exitCode : kExitExchangeFailed;
    }
    return allValid ? kExitOk : kExitNoValue;
}

class WatchVerb final : public Verb {
public:
    void Arguments(VerbArguments& arguments) override {
        arguments.Positionals("NAME", names_, "symbol names or direct addresses");
        watch_.pacing.Bind(arguments);
        arguments.Flag("--changes", watch_.changes,
                       "after the first read, print only the values that changed");
        arguments.Text("--format", watch_.format,
                       "table (default), csv or jsonl (--json: jsonl); every record has the time "
                       "of its read, ISO 8601 UTC with milliseconds");
    }
    int Run(const Options& options) override { return RunWatch(options, names_, watch_); }

private:
    std::vector<std::string> names_;
    WatchOptions watch_;
};

const VerbRegistration<WatchVerb> kWatch(
    "watch",
    "read variables every interval until Ctrl-C, a count or a duration; a broken connection is "
    "reported on stderr and mended",
    40);

} // namespace

} // namespace ksymtool
