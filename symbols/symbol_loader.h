// The symbol loader: obtains a channel's symbol file (local, or uploaded from the station
// when the project identifiers differ), reads it and indexes it.
#ifndef KSYM_SYMBOLS_SYMBOL_LOADER_H
#define KSYM_SYMBOLS_SYMBOL_LOADER_H

#include <cstdint>

#include "frame/channel_context.h"

namespace ksym {

// Runs on the caller's thread and blocks while it waits for the station. 1 when a symbol
// table was read and indexed; 0 otherwise, and the channel then has no table.
int LoadSymbolTable(int32_t channel, ChannelContext& context);

// How long the loader waits for the station: 5000 ms for the project-id check and
// 60000 ms for the whole upload. Tests shorten them to reach the time-outs quickly.
void SetLoaderWaits(uint32_t projectIdMs, uint32_t uploadMs);

} // namespace ksym

#endif
