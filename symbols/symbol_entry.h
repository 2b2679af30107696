// One symbol record of a channel's table (the record itself is part of the public
// interface, include/ksymbol.h).
#ifndef KSYM_SYMBOLS_SYMBOL_ENTRY_H
#define KSYM_SYMBOLS_SYMBOL_ENTRY_H

#include "include/ksymbol.h"

namespace ksym {

// Releases the entry's texts and zeroes it: name and typeName null, area, offset and size
// 0, the first tag byte 0.
void ClearSymbolEntry(SymbolEntry& entry);

} // namespace ksym

#endif
