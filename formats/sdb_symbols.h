// The variables of an SDB symbol file, walked from its bytes the way the library's reader
// reads them (same sections, same records, same refusals), for the programs that hold the
// file but not the library's table: the recorder, which needs each symbol's element size to
// give values in the controller's byte order, and the replaying simulator, which checks a
// recording's variables against the file it serves. A test holds the walk to the library's
// reader on the same files.
#ifndef KSYM_FORMATS_SDB_SYMBOLS_H
#define KSYM_FORMATS_SDB_SYMBOLS_H

#include <cstdint>
#include <string>
#include <vector>

namespace formats {

// One entry of the table, in file order. A record of another kind than a variable keeps
// its place as a placeholder: no name, type "NONE", everything else 0.
struct SdbSymbol {
    std::string name;
    std::string typeName;
    uint16_t area = 0;
    uint32_t offset = 0;
    uint32_t size = 0;
    uint8_t elementSize = 0; // the unit of the byte-order conversion (0: none)
};

// The project identifier and the entries of the file; false when the library's reader
// would refuse it.
bool ReadSdbSymbols(const std::vector<uint8_t>& bytes, uint32_t& projectId,
                    std::vector<SdbSymbol>& symbols);

} // namespace formats

#endif
