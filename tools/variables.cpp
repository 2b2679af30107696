#include "tools/variables.h"

namespace ksymtool {

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A number as the library reads it in an address (strtoul in the "C" locale, 32 bits): white
// space, one sign, digits; a negative number wraps, an overflow stays at the maximum. False
// when no digit follows.
bool ReadNumber(const char*& p, uint32_t& value) {
    while (IsSpace(*p)) {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (*p < '0' || *p > '9') {
        return false;
    }
    uint64_t number = 0;
    bool saturated = false;
    for (; *p >= '0' && *p <= '9'; ++p) {
        number = number * 10u + static_cast<uint64_t>(*p - '0');
        if (number > 0xFFFFFFFFu) {
            saturated = true;
            number = 0xFFFFFFFFu;
        }
    }
    value = static_cast<uint32_t>(number);
    if (negative && !saturated) {
        value = 0u - value;
    }
    return true;
}

char FoldName(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - ('a' - 'A')) : c;
}

bool NamesEqual(const char* a, const std::string& b) {
    size_t i = 0;
    for (; a[i] != '\0' && i < b.size(); ++i) {
        if (FoldName(a[i]) != FoldName(b[i])) {
            return false;
        }
    }
    return a[i] == '\0' && i == b.size();
}

} // namespace

std::optional<Variable> DirectAddress(const std::string& name) {
    const char* text = name.c_str();
    if (name.size() < 2 || text[0] != '%' || (text[1] != 'M' && text[1] != 'I' && text[1] != 'Q')) {
        return std::nullopt;
    }
    Variable variable;
    variable.name = name;
    const char* p = text + 3;
    switch (text[2]) {
    case 'B':
        variable.typeName = "BYTE";
        break;
    case 'W':
        variable.typeName = "WORD";
        break;
    case 'D':
        variable.typeName = "DWORD";
        break;
    case 'X':
        variable.typeName = "BOOL";
        break;
    default:
        variable.typeName = "BOOL";
        p = text + 2;
        break;
    }
    uint32_t number = 0;
    if (!ReadNumber(p, number)) {
        return std::nullopt;
    }
    if (variable.typeName != "BOOL") {
        if (*p != '\0') {
            return std::nullopt;
        }
    } else {
        uint32_t bit = 0;
        if (*p != '.' || !ReadNumber(++p, bit) || *p != '\0' || bit > 15) {
            return std::nullopt;
        }
    }
    const uint32_t size = variable.typeName == "WORD" ? 2 : variable.typeName == "DWORD" ? 4 : 1;
    variable.shape = ShapeOf(variable.typeName, size);
    return variable;
}

std::optional<Variable> ResolveVariable(const std::string& name, SymbolEntry* const* symbols,
                                        int32_t count) {
    if (std::optional<Variable> direct = DirectAddress(name)) {
        return direct;
    }
    for (int32_t i = 0; i < count; ++i) {
        const SymbolEntry* entry = symbols[i];
        if (entry != nullptr && entry->name != nullptr && NamesEqual(entry->name, name)) {
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
