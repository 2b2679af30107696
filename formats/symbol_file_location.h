// Where the library keeps a project's local symbol file, for the library and for the
// programs that read the file it keeps (ksym record takes the bytes the library loaded): the
// registry key of the library's configuration, its value "Files" with the folder (by default
// the Windows directory and "\Korvan Files"), the subfolder "\Upload", and a file named
// after the project with the extension ".sdb".
#ifndef KSYM_FORMATS_SYMBOL_FILE_LOCATION_H
#define KSYM_FORMATS_SYMBOL_FILE_LOCATION_H

#include <string>

namespace formats {

// The registry key under HKEY_LOCAL_MACHINE that holds the library's configuration.
inline constexpr const char kConfigKey[] = "Software\\Quorvane\\Korvan Server\\Config";
// Its value naming the folder of the symbol files.
inline constexpr const char kFilesValue[] = "Files";
// The folder's name after the Windows directory when "Files" gives none.
inline constexpr const char kDefaultFilesFolderName[] = "\\Korvan Files";
// The subfolder of the uploaded files.
inline constexpr const char kUploadFolderName[] = "\\Upload";

// The local file name for a project name: its last "." onward replaced by ".sdb" (".sdb"
// appended when there is none). The name comes from the station, so only its last path
// component counts: a name holding "\", "/" or ":" cannot lead out of the upload folder.
std::string SymbolFileName(const char* projectName);

} // namespace formats

#endif
