// The values of a read as ksym prints them: a table, a JSON array, or one watch line.
#ifndef KSYM_TOOLS_VALUE_TABLE_H
#define KSYM_TOOLS_VALUE_TABLE_H

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "include/ksymbol.h"
#include "tools/ksym/list_read.h"
#include "tools/ksym/variables.h"

namespace ksymtool {

// What a variable without a value shows instead.
inline constexpr const char* kNoValue = "(no value)";

// The value column of one variable.
std::string ValueText(const Variable& variable, const ReadValue& value);

// NAME, TYPE and VALUE columns, one line per variable, on stdout.
void PrintValueTable(const std::vector<Variable>& variables, const std::vector<ReadValue>& values);

// [{name, type, valid, value}], value null when there is none.
nlohmann::json ValuesJson(const std::vector<Variable>& variables,
                          const std::vector<ReadValue>& values);

// {name, type, area, offset, size}: a symbol as ksym --json symbols lists it.
nlohmann::json SymbolJson(const SymbolEntry& entry);

// JSON text as ksym prints it: bytes that are not UTF-8 become U+FFFD.
std::string DumpJson(const nlohmann::json& value, int indent);

} // namespace ksymtool

#endif
