#include "formats/symbol_file_location.h"

namespace formats {

std::string SymbolFileName(const char* projectName) {
    std::string name = projectName;
    const size_t separator = name.find_last_of("\\/:");
    if (separator != std::string::npos) {
        name.erase(0, separator + 1);
    }
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos) {
        name.erase(dot);
    }
    return name + ".sdb";
}

} // namespace formats
