#include "tools/ksym/variables.h"

#include "formats/name_compare.h"
#include "formats/direct_address.h"

namespace ksymtool {

std::optional<Variable> DirectAddress(const std::string& name) {
    formats::VarAddress address;
    if (formats::ParseDirectAddress(name.c_str(), address) == 0) {
        return std::nullopt;
    }
    Variable variable;
    variable.name = name;
    switch (address.size) {
    case 1:
        variable.typeName = "BYTE";
        break;
    case 2:
        variable.typeName = "WORD";
        break;
    case 4:
        variable.typeName = "DWORD";
        break;
    default:
        variable.typeName = "BOOL";
        break;
    }
    variable.shape = ShapeOf(variable.typeName, formats::EffectiveSize(address.size));
    return variable;
}

std::optional<Variable> ResolveVariable(const std::string& name, SymbolEntry* const* symbols,
                                        int32_t count) {
    if (std::optional<Variable> direct = DirectAddress(name)) {
        return direct;
    }
    for (int32_t i = 0; i < count; ++i) {
        const SymbolEntry* entry = symbols[i];
        if (entry != nullptr && entry->name != nullptr &&
            formats::NamesEqual(entry->name, name.c_str())) {
            const uint32_t size = entry->size;
            Variable variable;
            variable.name = name;
            variable.typeName = entry->typeName != nullptr ? entry->typeName : "";
            // A symbol of no bytes still travels as one (the library reads it as a bit); it
            // is shown as the empty value it is.
            variable.shape = ShapeOf(variable.typeName, size);
            return variable;
        }
    }
    return std::nullopt;
}

} // namespace ksymtool
