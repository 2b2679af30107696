// Names on the command line resolved the way the library resolves them when it defines a
// list: a direct address (%MW4, %IX1.2) first, else the first symbol of the loaded table
// whose name matches with ASCII letters folded to upper case. What the tool shows and parses
// for a variable then agrees with the bytes the library hands out for it.
#ifndef KSYM_TOOLS_VARIABLES_H
#define KSYM_TOOLS_VARIABLES_H

#include <cstdint>
#include <optional>
#include <string>

#include "include/ksymbol.h"
#include "tools/ksym/value_format.h"

namespace ksymtool {

struct Variable {
    std::string name;     // as the user gave it, passed to the library unchanged
    std::string typeName; // the symbol's, or BOOL/BYTE/WORD/DWORD for a direct address
    ValueShape shape;
};

// The shape of a direct address: a bit (%IX1.2, %M3.0) is a BOOL of one byte, %?B a BYTE,
// %?W a WORD, %?D a DWORD. Nothing for a text the library does not take as a direct address.
std::optional<Variable> DirectAddress(const std::string& name);

// The variable `name` stands for, among `count` loaded symbols; nothing for an unknown name.
std::optional<Variable> ResolveVariable(const std::string& name, SymbolEntry* const* symbols,
                                        int32_t count);

} // namespace ksymtool

#endif
