// The symbol table of a channel as a whole: clearing it, indexing it, filtering it.
#ifndef KSYM_SYMBOLS_SYMBOL_TABLE_H
#define KSYM_SYMBOLS_SYMBOL_TABLE_H

#include "frame/channel_context.h"

namespace ksym {

// Releases entries, filtered array, index and element sizes; projectId and loadStatus
// become 0; forgets the loader's device and event (they belong to a running loader, which
// closes them). Running it on a cleared table does nothing.
void ClearSymbolTable(ChannelContext& context);

// Builds the name index over a table the reader has filled: room for the filtered
// pointers, one index entry per symbol in array order (the first of two equal names wins),
// then the element sizes are released. False when memory is short; the table is then
// cleared.
bool BuildSymbolIndex(ChannelContext& context);

// Selects into `filtered`, in array order, the symbols whose names begin with `prefix`
// (case-insensitively; null counts as the empty prefix, which selects every symbol).
void FilterSymbols(ChannelContext& context, const char* prefix);

} // namespace ksym

#endif
