// Reading SDB symbol files into a channel's symbol table. The file is untrusted: every
// length is checked before use, and a file that breaks the format is refused whole.
#ifndef KSYM_SYMBOLS_SDB_READER_H
#define KSYM_SYMBOLS_SDB_READER_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "extern/kutil.h"
#include "frame/channel_context.h"

namespace ksym {

// One slot of the reader's temporary type table: one per type record, skipped records
// included (they get code 24, size 0 and no name).
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

// The project identifier of the file header at the device's read position; 0 when the file
// does not begin with a header section of version 0 or 1.
int32_t ReadSdbProjectId(KSerDev& device);

// Reads the header and the types section: the project identifier and the type table. The
// device is left just after the last type record. False when the file is refused.
bool ReadSdbTypes(KSerDev& device, uint32_t& projectId, SdbTypeTable& types);

// Fills symbols, symbolCount, elementSizes and projectId of an empty table. 1 on success;
// 0 when the file is refused, with no entry stored (projectId may hold the header's value).
int ReadSdbFile(KSerDev& device, ChannelContext& context);

// The element size of a type: 0 for codes 8, 11, 21 and 24, the base type's for arrays,
// the low byte of the size otherwise. Empty when the index or a base index along an array
// chain lies outside the table, or the chain does not end.
std::optional<uint8_t> ComputeElementSize(const SdbTypeTable& types, uint32_t index);

// The type name a variable of the type gets: "DATA" for data blocks and arrays of arrays
// or data blocks, the type's own name otherwise. The caller has checked the index.
const char* VariableTypeName(const SdbTypeTable& types, uint32_t index);

} // namespace ksym

#endif
