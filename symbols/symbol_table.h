// The symbol table of a channel: clearing it.
#ifndef KSYM_SYMBOLS_SYMBOL_TABLE_H
#define KSYM_SYMBOLS_SYMBOL_TABLE_H

#include "frame/channel_context.h"

namespace ksym {

// Releases entries, index, filtered array and element sizes; forgets the loader's device
// and event (they belong to a running loader); projectId and loadStatus become 0. Running it
// on a cleared table does nothing.
void ClearSymbolTable(ChannelContext& context);

} // namespace ksym

#endif
