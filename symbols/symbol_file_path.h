// Where the symbol loader keeps a project's symbol file: the folder configured in the
// registry value "Files" (by default the Windows directory and "\Korvan Files"), its
// subfolder "\Upload", and a file named after the project with the extension ".sdb".
#ifndef KSYM_SYMBOLS_SYMBOL_FILE_PATH_H
#define KSYM_SYMBOLS_SYMBOL_FILE_PATH_H

#include <string>

namespace ksym {

// The local file name for a project name: its last "." onward replaced by ".sdb" (".sdb"
// appended when there is none). The name comes from the station, so only its last path
// component counts: a name holding "\", "/" or ":" cannot lead out of the upload folder.
std::string SymbolFileName(const char* projectName);

// The folder of the local symbol files, "...\Upload", created when missing (only its last
// level). Reads the registry value "Files", and stores the default there when the value is
// absent or unreadable.
std::string SymbolFolder();

} // namespace ksym

#endif
