// How a verb that reads again and again (watch, record) paces its reads: one every
// interval, the next beginning one interval after the last one began (at once when a read
// took longer), until a count of reads, a duration or Ctrl-C.
#ifndef KSYM_TOOLS_READ_PACING_H
#define KSYM_TOOLS_READ_PACING_H

#include <cstdint>

#include "tools/ksym/deadline.h"
#include "tools/ksym/verb.h"

namespace ksymtool {

struct ReadPacing {
    uint32_t intervalMs = 1000;
    uint64_t count = 0;         // reads before it stops; 0: no limit
    double durationSeconds = 0; // how long it runs; 0: no limit

    // --interval, --count and --duration.
    void Bind(VerbArguments& arguments);
    // Whether another read may begin after `reads` reads.
    bool More(uint64_t reads, const Deadline& deadline) const;
    // Waits until the read after the one begun at `readStart` is due; false when the user
    // interrupted or the time ran out meanwhile.
    bool AwaitNext(DWORD readStart, const Deadline& deadline) const;
};

} // namespace ksymtool

#endif
