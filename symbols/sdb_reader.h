// Reading SDB symbol files into a channel's symbol table. The file is untrusted: every
// length is checked before use, and a file that breaks the format is refused whole.
#ifndef KSYM_SYMBOLS_SDB_READER_H
#define KSYM_SYMBOLS_SDB_READER_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "extern/kutil.h"
#include "formats/sdb_types.h"
#include "frame/channel_context.h"

namespace ksym {

// The type table and its rules are the format's (formats/sdb_types.h).
using formats::ComputeElementSize;
using formats::SdbTypeSlot;
using formats::SdbTypeTable;
using formats::VariableTypeName;

// The project identifier of the file header at the device's read position; 0 when the file
// does not begin with a header section of version 0 or 1.
int32_t ReadSdbProjectId(KSerDev& device);

// Reads the header and the types section: the project identifier and the type table. The
// device is left just after the last type record. False when the file is refused.
bool ReadSdbTypes(KSerDev& device, uint32_t& projectId, SdbTypeTable& types);

// Fills symbols, symbolCount, elementSizes and projectId of an empty table. 1 on success;
// 0 when the file is refused, with no entry stored (projectId may hold the header's value).
int ReadSdbFile(KSerDev& device, ChannelContext& context);

} // namespace ksym

#endif
