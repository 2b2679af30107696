// Where the symbol loader keeps a project's symbol file: the folder configured in the
// registry value "Files" (by default the Windows directory and "\Korvan Files"), its
// subfolder "\Upload", and a file named after the project with the extension ".sdb".
#ifndef KSYM_SYMBOLS_SYMBOL_FILE_PATH_H
#define KSYM_SYMBOLS_SYMBOL_FILE_PATH_H

#include <string>

#include "formats/symbol_file_location.h"

namespace ksym {

// The file name for a project name is the format's (formats/symbol_file_location.h).
using formats::SymbolFileName;

// The folder of the local symbol files, "...\Upload", created when missing (only its last
// level). Reads the registry value "Files", and stores the default there when the value is
// absent or unreadable.
std::string SymbolFolder();

} // namespace ksym

#endif
