#include "symbols/symbol_ref.h"

namespace ksym {

SymbolRef::SymbolRef(SymbolEntry* entry, uint8_t elementSize)
    : entry_(entry), elementSize_(elementSize) {}

SymbolRef::~SymbolRef() = default;

} // namespace ksym
