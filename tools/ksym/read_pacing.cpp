#include "tools/ksym/read_pacing.h"

#include "tools/ksym/interrupt.h"

namespace ksymtool {

void ReadPacing::Bind(VerbArguments& arguments) {
    arguments.Number("--interval", intervalMs, "milliseconds between reads (min 10)", 10u,
                     86400000u);
    arguments.Number("--count", count, "stop after this many reads (0: never)");
    arguments.Number("--duration", durationSeconds, "stop after this many seconds (0: never)", 0.0,
                     31536000.0);
}

bool ReadPacing::More(uint64_t reads, const Deadline& deadline) const {
    return (count == 0 || reads < count) && !deadline.Over() && !Interrupted();
}

bool ReadPacing::AwaitNext(DWORD readStart, const Deadline& deadline) const {
    const DWORD took = GetTickCount() - readStart;
    return took >= intervalMs || PauseUnlessInterrupted(deadline.Left(intervalMs - took));
}

} // namespace ksymtool
