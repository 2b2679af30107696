// What ksym watch prints: one record per read, in a table, as CSV or as JSON lines, each
// with the time of the read (ISO 8601, UTC, milliseconds). With `changes`, a record after
// the first holds only the values that changed since the last one printed, and a read that
// changed nothing prints nothing.
#ifndef KSYM_TOOLS_WATCH_OUTPUT_H
#define KSYM_TOOLS_WATCH_OUTPUT_H

#include <cstdint>
#include <string>
#include <vector>

#include "tools/ksym/list_read.h"
#include "tools/ksym/variables.h"

namespace ksymtool {

enum class WatchFormat { kTable, kCsv, kJsonLines };

// Parses table, csv or jsonl; false for anything else.
bool ParseWatchFormat(const std::string& text, WatchFormat& format);

// The time now as 2026-12-08T15:04:05.123Z.
std::string IsoTimeNow();

class WatchOutput {
public:
    WatchOutput(WatchFormat format, bool changes) : format_(format), changes_(changes) {}

    // The lines of one read (a header before the first record of a table or CSV), each with
    // its line end; empty when nothing is to be printed. The variables stay the same from
    // one read to the next.
    std::string Record(const std::string& time, uint64_t tick,
                       const std::vector<Variable>& variables,
                       const std::vector<ReadValue>& values);

private:
    std::string Header(const std::vector<Variable>& variables);

    WatchFormat format_;
    bool changes_;
    bool headed_ = false;
    std::vector<ReadValue> last_; // the values as last printed
    std::vector<size_t> widths_;  // table columns
};

} // namespace ksymtool

#endif
