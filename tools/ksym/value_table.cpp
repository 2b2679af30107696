#include "tools/ksym/value_table.h"

#include <algorithm>
#include <cstdio>

namespace ksymtool {

std::string ValueText(const Variable& variable, const ReadValue& value) {
    return value.valid ? FormatValue(variable.shape, value.bytes.data()) : kNoValue;
}

void PrintValueTable(const std::vector<Variable>& variables, const std::vector<ReadValue>& values) {
    size_t nameWidth = 4;
    size_t typeWidth = 4;
    for (const Variable& variable : variables) {
        nameWidth = std::max(nameWidth, variable.name.size());
        typeWidth = std::max(typeWidth, variable.typeName.size());
    }
    const int nw = static_cast<int>(nameWidth);
    const int tw = static_cast<int>(typeWidth);
    std::printf("%-*s  %-*s  %s\n", nw, "NAME", tw, "TYPE", "VALUE");
    for (size_t i = 0; i < variables.size(); ++i) {
        std::printf("%-*s  %-*s  %s\n", nw, variables[i].name.c_str(), tw,
                    variables[i].typeName.c_str(), ValueText(variables[i], values[i]).c_str());
    }
}

nlohmann::json ValuesJson(const std::vector<Variable>& variables,
                          const std::vector<ReadValue>& values) {
    nlohmann::json list = nlohmann::json::array();
    for (size_t i = 0; i < variables.size(); ++i) {
        const Variable& variable = variables[i];
        const ReadValue& value = values[i];
        list.push_back({{"name", variable.name},
                        {"type", variable.typeName},
                        {"valid", value.valid},
                        {"value", value.valid ? ValueJson(variable.shape, value.bytes.data())
                                              : nlohmann::json()}});
    }
    return list;
}

nlohmann::json SymbolJson(const SymbolEntry& entry) {
    return {{"name", entry.name},
            {"type", entry.typeName},
            {"area", entry.area},
            {"offset", entry.offset},
            {"size", entry.size}};
}

std::string DumpJson(const nlohmann::json& value, int indent) {
    return value.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace ksymtool
