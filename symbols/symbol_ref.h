// What the name index stores for each symbol: where its entry lies and its element size.
#ifndef KSYM_SYMBOLS_SYMBOL_REF_H
#define KSYM_SYMBOLS_SYMBOL_REF_H

#include <cstdint>

#include "include/ksymbol.h"
#include "symbols/symbol_index.h"

namespace ksym {

class SymbolRef : public SymbolIndexItem {
public:
    SymbolRef(SymbolEntry* entry, uint8_t elementSize);
    ~SymbolRef() override;

    // The entry in the channel's symbols array; not owned.
    SymbolEntry* GetEntry() const { return entry_; }
    // The unit in which values of the symbol change byte order; 0: never.
    uint8_t GetElementSize() const { return elementSize_; }

private:
    SymbolEntry* entry_;
    uint8_t elementSize_;
};

} // namespace ksym

#endif
