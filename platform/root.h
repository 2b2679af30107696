// The folder that stands in for the Windows machine, and creating folders below it.
#ifndef KPLATFORM_ROOT_H
#define KPLATFORM_ROOT_H

#include <string>

#include "platform/win32.h"

namespace kplatform {

// $KSYM_ROOT, else $XDG_DATA_HOME/ksymbol, else $HOME/.local/share/ksymbol; read anew at
// every call because the environment may change between calls.
std::string root_folder();

// Creates `path` and its missing parents (mkdir -p). ERROR_SUCCESS, or the Win32 error of
// the level that could not be made.
DWORD make_folders(const std::string& path);

} // namespace kplatform

#endif
