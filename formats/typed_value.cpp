#include "formats/typed_value.h"

#include <cctype>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace formats {

namespace {

struct KnownType {
    const char* name;
    ValueKind kind;
    uint32_t size;
};

constexpr KnownType kKnownTypes[] = {
    {"BOOL", ValueKind::kBool, 1},      {"BYTE", ValueKind::kUnsigned, 1},
    {"USINT", ValueKind::kUnsigned, 1}, {"SINT", ValueKind::kSigned, 1},
    {"WORD", ValueKind::kUnsigned, 2},  {"UINT", ValueKind::kUnsigned, 2},
    {"INT", ValueKind::kSigned, 2},     {"DWORD", ValueKind::kUnsigned, 4},
    {"UDINT", ValueKind::kUnsigned, 4}, {"TIME", ValueKind::kUnsigned, 4},
    {"DINT", ValueKind::kSigned, 4},    {"LWORD", ValueKind::kUnsigned, 8},
    {"ULINT", ValueKind::kUnsigned, 8}, {"LINT", ValueKind::kSigned, 8},
    {"REAL", ValueKind::kFloat, 4},     {"LREAL", ValueKind::kFloat, 8},
};

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - ('a' - 'A')) : c;
}

std::string UpperCase(const std::string& text) {
    std::string upper = text;
    for (char& c : upper) {
        c = Upper(c);
    }
    return upper;
}

bool EqualsIgnoringCase(const std::string& a, const char* b) {
    return UpperCase(a) == b;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    const char u = Upper(c);
    return u >= 'A' && u <= 'F' ? u - 'A' + 10 : -1;
}

bool HasHexPrefix(const std::string& text) {
    return text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

// An integer literal: decimal with an optional sign, or 0x hexadecimal. False when it is
// malformed or its magnitude exceeds 64 bits.
bool ParseInteger(const std::string& text, uint64_t& magnitude, bool& negative, bool& hex) {
    size_t i = 0;
    negative = false;
    hex = HasHexPrefix(text);
    const unsigned base = hex ? 16u : 10u;
    if (hex) {
        i = 2;
    } else if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        i = 1;
    }
    if (i == text.size()) {
        return false;
    }
    magnitude = 0;
    for (; i < text.size(); ++i) {
        const int digit = HexDigit(text[i]);
        if (digit < 0 || static_cast<unsigned>(digit) >= base) {
            return false;
        }
        if (magnitude > (UINT64_MAX - static_cast<uint64_t>(digit)) / base) {
            return false;
        }
        magnitude = magnitude * base + static_cast<uint64_t>(digit);
    }
    return true;
}

// The bytes of an integer of `size` bytes; false when the literal does not fit it.
bool ParseIntegerValue(const std::string& text, bool isSigned, uint32_t size, uint8_t* out) {
    uint64_t magnitude = 0;
    bool negative = false;
    bool hex = false;
    if (size == 0 || size > 8 || !ParseInteger(text, magnitude, negative, hex)) {
        return false;
    }
    const uint64_t unsignedMax = size == 8 ? UINT64_MAX : (uint64_t{1} << (8 * size)) - 1;
    uint64_t bits = magnitude;
    if (!isSigned || hex) {
        // Hexadecimal is the bit pattern, whatever the signedness.
        if (negative || magnitude > unsignedMax) {
            return false;
        }
    } else {
        const uint64_t positiveMax = unsignedMax >> 1;
        if (negative ? magnitude > positiveMax + 1 : magnitude > positiveMax) {
            return false;
        }
        bits = negative ? 0 - magnitude : magnitude; // two's complement, modulo 2^64
    }
    StoreUnsigned(bits, size, out);
    return true;
}

bool ParseFloatValue(const std::string& text, uint32_t size, uint8_t* out) {
    // The numbers' own parsers skip any leading white space; a value text has none.
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])) != 0) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    if (size == 4) {
        // Read as a float at once: a double rounded to a float again may miss the nearest
        // float, and the shortest text of the largest float lies just above FLT_MAX.
        const float single = std::strtof(text.c_str(), &end);
        if (end != text.c_str() + text.size() || (errno == ERANGE && std::isinf(single))) {
            return false; // malformed, or beyond a float
        }
        std::memcpy(out, &single, 4);
        return true;
    }
    const double value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || (errno == ERANGE && std::isinf(value))) {
        return false; // malformed, or beyond even a double
    }
    std::memcpy(out, &value, 8);
    return true;
}

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return "";
    }
    const size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

bool ParseIntArray(const std::string& text, uint32_t size, uint8_t* out) {
    std::string body = Trim(text);
    if (body.size() >= 2 && body.front() == '[' && body.back() == ']') {
        body = body.substr(1, body.size() - 2);
    }
    const uint32_t count = size / 2;
    uint32_t element = 0;
    size_t start = 0;
    for (;;) {
        const size_t comma = body.find(',', start);
        const std::string item = Trim(
            body.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (element == count || !ParseIntegerValue(item, true, 2, out + 2 * element)) {
            return false;
        }
        ++element;
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    return element == count;
}

bool ParseBytes(const std::string& text, uint32_t size, uint8_t* out) {
    const size_t first = HasHexPrefix(text) ? 2 : 0;
    if (text.size() - first != static_cast<size_t>(size) * 2) {
        return false;
    }
    for (uint32_t i = 0; i < size; ++i) {
        const int high = HexDigit(text[first + 2 * i]);
        const int low = HexDigit(text[first + 2 * i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        out[i] = static_cast<uint8_t>(high * 16 + low);
    }
    return true;
}

} // namespace

// Reads an unsigned value of 1, 2, 4 or 8 bytes in host order.
uint64_t LoadUnsigned(const uint8_t* data, uint32_t size) {
    switch (size) {
    case 1:
        return data[0];
    case 2: {
        uint16_t v = 0;
        std::memcpy(&v, data, 2);
        return v;
    }
    case 4: {
        uint32_t v = 0;
        std::memcpy(&v, data, 4);
        return v;
    }
    default: {
        uint64_t v = 0;
        std::memcpy(&v, data, 8);
        return v;
    }
    }
}

int64_t LoadSigned(const uint8_t* data, uint32_t size) {
    switch (size) {
    case 1:
        return static_cast<int8_t>(data[0]);
    case 2: {
        int16_t v = 0;
        std::memcpy(&v, data, 2);
        return v;
    }
    case 4: {
        int32_t v = 0;
        std::memcpy(&v, data, 4);
        return v;
    }
    default: {
        int64_t v = 0;
        std::memcpy(&v, data, 8);
        return v;
    }
    }
}

// Stores the low `size` bytes of `value` in host order.
void StoreUnsigned(uint64_t value, uint32_t size, uint8_t* out) {
    switch (size) {
    case 1:
        out[0] = static_cast<uint8_t>(value);
        break;
    case 2: {
        const auto v = static_cast<uint16_t>(value);
        std::memcpy(out, &v, 2);
        break;
    }
    case 4: {
        const auto v = static_cast<uint32_t>(value);
        std::memcpy(out, &v, 4);
        break;
    }
    default:
        std::memcpy(out, &value, 8);
        break;
    }
}

double LoadFloat(const uint8_t* data, uint32_t size) {
    if (size == 4) {
        float v = 0;
        std::memcpy(&v, data, 4);
        return v;
    }
    double v = 0;
    std::memcpy(&v, data, 8);
    return v;
}

ValueShape ShapeOf(const std::string& typeName, uint32_t size) {
    ValueShape shape;
    shape.size = size;
    if (size == 0) {
        return shape;
    }
    for (const KnownType& known : kKnownTypes) {
        if (EqualsIgnoringCase(typeName, known.name)) {
            // A known name with another size is not what its name says: shown as bytes.
            if (known.size == size) {
                shape.kind = known.kind;
            }
            return shape;
        }
    }
    const std::string upper = UpperCase(typeName);
    if (upper.compare(0, 3, "STR") == 0) {
        shape.kind = ValueKind::kText;
    } else if (size % 2 == 0 && (upper.find("ARR") != std::string::npos ||
                                 upper.find("MATRIX") != std::string::npos)) {
        shape.kind = ValueKind::kIntArray;
    }
    return shape;
}

bool IsNumeric(const ValueShape& shape) {
    return shape.kind == ValueKind::kBool || shape.kind == ValueKind::kUnsigned ||
           shape.kind == ValueKind::kSigned || shape.kind == ValueKind::kFloat;
}

uint32_t ByteOrderUnit(const ValueShape& shape) {
    switch (shape.kind) {
    case ValueKind::kUnsigned:
    case ValueKind::kSigned:
    case ValueKind::kFloat:
        return shape.size;
    case ValueKind::kIntArray:
        return 2;
    default:
        return 0; // a bool is one byte; texts and bytes are never reordered
    }
}

double NumberOf(const ValueShape& shape, const uint8_t* data) {
    switch (shape.kind) {
    case ValueKind::kBool:
        return data[0] != 0 ? 1.0 : 0.0;
    case ValueKind::kUnsigned:
        return static_cast<double>(LoadUnsigned(data, shape.size));
    case ValueKind::kSigned:
        return static_cast<double>(LoadSigned(data, shape.size));
    case ValueKind::kFloat:
        return LoadFloat(data, shape.size);
    default:
        return 0.0;
    }
}

void StoreNumber(const ValueShape& shape, double number, uint8_t* out) {
    if (std::isnan(number)) {
        number = 0.0;
    }
    switch (shape.kind) {
    case ValueKind::kBool:
        out[0] = number != 0.0 ? 1 : 0;
        break;
    case ValueKind::kUnsigned: {
        const double max = shape.size == 8 ? 18446744073709549568.0
                                           : std::ldexp(1.0, static_cast<int>(8 * shape.size)) - 1;
        const double held = std::fmin(std::fmax(std::nearbyint(number), 0.0), max);
        StoreUnsigned(static_cast<uint64_t>(held), shape.size, out);
        break;
    }
    case ValueKind::kSigned: {
        const int bits = static_cast<int>(8 * shape.size) - 1;
        const double max = shape.size == 8 ? 9223372036854774784.0 : std::ldexp(1.0, bits) - 1;
        const double min = -std::ldexp(1.0, bits);
        const double held = std::fmin(std::fmax(std::nearbyint(number), min), max);
        StoreUnsigned(static_cast<uint64_t>(static_cast<int64_t>(held)), shape.size, out);
        break;
    }
    case ValueKind::kFloat:
        if (shape.size == 4) {
            const auto single = static_cast<float>(std::fmin(std::fmax(number, -FLT_MAX), FLT_MAX));
            std::memcpy(out, &single, 4);
        } else {
            std::memcpy(out, &number, 8);
        }
        break;
    default:
        break;
    }
}

bool ParseValue(const ValueShape& shape, const std::string& text, std::vector<uint8_t>& out) {
    // Nothing fits a variable without bytes.
    if (shape.size == 0) {
        return false;
    }
    out.assign(shape.size, 0);
    switch (shape.kind) {
    case ValueKind::kBool: {
        const std::string upper = UpperCase(text);
        if (upper == "TRUE" || upper == "1") {
            out[0] = 1;
            return true;
        }
        return upper == "FALSE" || upper == "0";
    }
    case ValueKind::kUnsigned:
    case ValueKind::kSigned:
        return ParseIntegerValue(text, shape.kind == ValueKind::kSigned, shape.size, out.data());
    case ValueKind::kFloat:
        return ParseFloatValue(text, shape.size, out.data());
    case ValueKind::kText:
        if (text.size() + 1 > shape.size || text.find('\0') != std::string::npos) {
            return false;
        }
        std::memcpy(out.data(), text.data(), text.size());
        return true;
    case ValueKind::kIntArray:
        return ParseIntArray(text, shape.size, out.data());
    case ValueKind::kBytes:
        break;
    }
    return ParseBytes(text, shape.size, out.data());
}

} // namespace formats
