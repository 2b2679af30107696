// The symbol file the library loaded for a channel, read from where the library keeps it,
// so that a recording carries exactly the table the values were read with.
#ifndef KSYM_TOOLS_SYMBOL_FILE_H
#define KSYM_TOOLS_SYMBOL_FILE_H

#include <cstdint>
#include <string>
#include <vector>

#include "formats/sdb_symbols.h"
#include "tools/ksym/session.h"

namespace ksymtool {

// The project name the client reports for the session's channel ("" when none).
std::string ProjectName(const Session& session);

// The bytes of the local symbol file of the session's project, whose symbols are loaded:
// the folder of the registry value "Files" (else the Windows directory's "\Korvan Files"),
// "\Upload", the file named after the project. False with the reason in `why` when it
// cannot be read, or is not the file of the table the library loaded (another project id).
// `symbols` gets the file's entries, as the symbol walk gives them.
bool ReadLoadedSymbolFile(const Session& session, std::vector<uint8_t>& bytes,
                          std::vector<formats::SdbSymbol>& symbols, std::string& why);

} // namespace ksymtool

#endif
