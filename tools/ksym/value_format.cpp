#include "tools/ksym/value_format.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ksymtool {

using formats::LoadFloat;
using formats::LoadSigned;
using formats::LoadUnsigned;

namespace {

// The shortest decimal text that reads back as the same float or double.
std::string FloatText(double value, bool single) {
    if (std::isnan(value)) {
        return "nan";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-inf" : "inf";
    }
    char text[40];
    for (int precision = 1; precision <= 17; ++precision) {
        std::snprintf(text, sizeof text, "%.*g", precision, value);
        const bool same = single ? std::strtof(text, nullptr) == static_cast<float>(value)
                                 : std::strtod(text, nullptr) == value;
        if (same) {
            break;
        }
    }
    return text;
}

std::string TextOf(const uint8_t* data, uint32_t size) {
    const void* end = std::memchr(data, 0, size);
    const size_t length =
        end == nullptr ? size : static_cast<size_t>(static_cast<const uint8_t*>(end) - data);
    return std::string(reinterpret_cast<const char*>(data), length);
}

std::string HexOf(const uint8_t* data, uint32_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(static_cast<size_t>(size) * 2);
    for (uint32_t i = 0; i < size; ++i) {
        hex.push_back(kDigits[data[i] >> 4]);
        hex.push_back(kDigits[data[i] & 0x0F]);
    }
    return hex;
}

} // namespace

const char* ValueKindName(ValueKind kind) {
    switch (kind) {
    case ValueKind::kBool:
        return "bool";
    case ValueKind::kUnsigned:
        return "unsigned";
    case ValueKind::kSigned:
        return "signed";
    case ValueKind::kFloat:
        return "float";
    case ValueKind::kText:
        return "text";
    case ValueKind::kIntArray:
        return "intarray";
    case ValueKind::kBytes:
        break;
    }
    return "bytes";
}

std::string FormatValue(const ValueShape& shape, const uint8_t* data) {
    switch (shape.kind) {
    case ValueKind::kBool:
        return data[0] != 0 ? "true" : "false";
    case ValueKind::kUnsigned:
        return std::to_string(LoadUnsigned(data, shape.size));
    case ValueKind::kSigned:
        return std::to_string(LoadSigned(data, shape.size));
    case ValueKind::kFloat:
        return FloatText(LoadFloat(data, shape.size), shape.size == 4);
    case ValueKind::kText: {
        std::string quoted = "\"";
        for (const char c : TextOf(data, shape.size)) {
            const auto byte = static_cast<unsigned char>(c);
            if (c == '"' || c == '\\') {
                quoted.push_back('\\');
                quoted.push_back(c);
            } else if (byte < 0x20 || byte >= 0x7F) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned>(byte));
                quoted += escape;
            } else {
                quoted.push_back(c);
            }
        }
        return quoted + "\"";
    }
    case ValueKind::kIntArray: {
        std::string list = "[";
        for (uint32_t i = 0; i + 1 < shape.size; i += 2) {
            list += (i == 0 ? "" : ", ") + std::to_string(LoadSigned(data + i, 2));
        }
        return list + "]";
    }
    case ValueKind::kBytes:
        break;
    }
    return shape.size == 0 ? "(empty)" : HexOf(data, shape.size);
}

nlohmann::json ValueJson(const ValueShape& shape, const uint8_t* data) {
    switch (shape.kind) {
    case ValueKind::kBool:
        return data[0] != 0;
    case ValueKind::kUnsigned:
        return LoadUnsigned(data, shape.size);
    case ValueKind::kSigned:
        return LoadSigned(data, shape.size);
    case ValueKind::kFloat: {
        const double value = LoadFloat(data, shape.size);
        const std::string text = FloatText(value, shape.size == 4);
        if (!std::isfinite(value)) {
            return text;
        }
        // The shortest text as a double, so that a REAL prints as its own digits.
        return std::strtod(text.c_str(), nullptr);
    }
    case ValueKind::kText:
        return TextOf(data, shape.size);
    case ValueKind::kIntArray: {
        nlohmann::json list = nlohmann::json::array();
        for (uint32_t i = 0; i + 1 < shape.size; i += 2) {
            list.push_back(LoadSigned(data + i, 2));
        }
        return list;
    }
    case ValueKind::kBytes:
        break;
    }
    return HexOf(data, shape.size);
}

} // namespace ksymtool
