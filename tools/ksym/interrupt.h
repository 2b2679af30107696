// Ctrl-C for ksym: once installed, SIGINT (and SIGTERM with `terminateToo`) sets a flag that
// the waits and pauses of the verbs look at, so that a verb ends its work in order.
#ifndef KSYM_TOOLS_INTERRUPT_H
#define KSYM_TOOLS_INTERRUPT_H

#include <cstdint>

namespace ksymtool {

void InstallInterruptHandler(bool terminateToo = false);
bool Interrupted();

// Waits `ms` milliseconds unless the user interrupts; false when interrupted.
bool PauseUnlessInterrupted(uint32_t ms);

} // namespace ksymtool

#endif
