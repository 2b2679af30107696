// The type table of an SDB symbol file as its readers hold it, and the two rules that turn a
// type into what a variable of it gets: the element size that drives its byte-order
// conversion, and its type name. Shared by the library's reader and the symbol walk of
// formats/sdb_symbols.h, so that both give every variable the same size and name.
#ifndef KSYM_FORMATS_SDB_TYPES_H
#define KSYM_FORMATS_SDB_TYPES_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace formats {

// One slot of a reader's type table: one per type record, skipped records included (they
// get code 24, size 0 and no name).
struct SdbTypeSlot {
    bool skipped = true; // a record of another kind than 4: no type behind the slot
    uint32_t code = 24;
    uint32_t size = 0;
    std::string name;
    uint32_t baseIndex = 0;       // arrays
    uint32_t itemCount = 0;       // arrays
    std::vector<uint8_t> payload; // the bytes after the name, kept and not interpreted
};
using SdbTypeTable = std::vector<SdbTypeSlot>;

// The element size of a type: 0 for codes 8, 11, 21 and 24, the base type's for arrays,
// the low byte of the size otherwise. Empty when the index or a base index along an array
// chain lies outside the table, or the chain does not end.
std::optional<uint8_t> ComputeElementSize(const SdbTypeTable& types, uint32_t index);

// The type name a variable of the type gets: "DATA" for data blocks and arrays of arrays
// or data blocks, the type's own name otherwise. The caller has checked the index.
const char* VariableTypeName(const SdbTypeTable& types, uint32_t index);

} // namespace formats

#endif
