// Feeds value texts to ksym's parsing (formats::ParseValue, the parser `ksym write` and the
// project descriptions' init lines use) and value bytes to its display (FormatValue,
// ValueJson), for every shape a type name and size can give.
//
// Input: byte 0 picks a type name (bit 7: take the name's own size if it has one), bytes 1
// and 2 the size (16 bits, little-endian, of which the low 12 count); the rest is the text to
// parse, and its first bytes (zero-filled to the size) the value to display.
//
// Checked: a parse fills exactly the shape's size; a parsed value, displayed and the display
// read back as a user would type it (a text without its quotes and escapes), gives the same
// bytes (floating point: the same bits, or NaN both times); so does any displayed value that
// can be written back at all (bools as 0 or 1, texts up to their NUL); the JSON of a value
// serialises, and a finite floating-point number in it is the value itself.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "tools/ksym/value_format.h"

namespace {

using formats::ValueKind;
using formats::ValueShape;

struct TypeName {
    const char* name;
    uint32_t size; // 0: none of its own
};

// Every name ShapeOf knows, a spelling in other case, and names of each other kind.
constexpr TypeName kNames[] = {
    {"BOOL", 1},      {"BYTE", 1},          {"USINT", 1}, {"SINT", 1},     {"WORD", 2},
    {"UINT", 2},      {"INT", 2},           {"DWORD", 4}, {"UDINT", 4},    {"TIME", 4},
    {"DINT", 4},      {"LWORD", 8},         {"ULINT", 8}, {"LINT", 8},     {"REAL", 4},
    {"LREAL", 8},     {"lreal", 8},         {"Int", 2},   {"STR20", 21},   {"string", 0},
    {"INTARR10", 20}, {"INTMATRIX3X4", 24}, {"DATA", 0},  {"ANY_PTR", 10}, {"NONE", 0},
};

// The text a user types for a displayed text: without its quotes, \" \\ and \xNN read.
bool Unquote(const std::string& shown, std::string& text) {
    if (shown.size() < 2 || shown.front() != '"' || shown.back() != '"') {
        return false;
    }
    text.clear();
    for (size_t i = 1; i + 1 < shown.size(); ++i) {
        if (shown[i] != '\\') {
            text.push_back(shown[i]);
            continue;
        }
        if (i + 2 < shown.size() && (shown[i + 1] == '"' || shown[i + 1] == '\\')) {
            text.push_back(shown[++i]);
            continue;
        }
        if (i + 4 >= shown.size() || shown[i + 1] != 'x') {
            return false;
        }
        text.push_back(static_cast<char>(std::stoi(shown.substr(i + 2, 2), nullptr, 16)));
        i += 3;
    }
    return true;
}

bool SameValue(const ValueShape& shape, const std::vector<uint8_t>& a,
               const std::vector<uint8_t>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    if (shape.kind == ValueKind::kFloat) {
        const double x = formats::LoadFloat(a.data(), shape.size);
        const double y = formats::LoadFloat(b.data(), shape.size);
        if (std::isnan(x) || std::isnan(y)) {
            return std::isnan(x) && std::isnan(y);
        }
    }
    return a == b;
}

// Displays the value and reads the display back; false when the read fails.
bool ReadBack(const ValueShape& shape, const std::vector<uint8_t>& value,
              std::vector<uint8_t>& again) {
    std::string text = ksymtool::FormatValue(shape, value.data());
    if (shape.kind == ValueKind::kText) {
        const std::string shown = text;
        FUZZ_CHECK(Unquote(shown, text));
    }
    const bool parsed = ksymtool::ParseValue(shape, text, again);
    FUZZ_CHECK(!parsed || again.size() == shape.size);
    return parsed;
}

void CheckJson(const ValueShape& shape, const std::vector<uint8_t>& value) {
    const nlohmann::json json = ksymtool::ValueJson(shape, value.data());
    const std::string dumped = json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    FUZZ_CHECK(!dumped.empty());
    if (shape.kind == ValueKind::kFloat) {
        const double number = formats::LoadFloat(value.data(), shape.size);
        FUZZ_CHECK(json.is_number() == std::isfinite(number));
        if (json.is_number()) {
            const double shown = json.get<double>();
            FUZZ_CHECK(shape.size == 4 ? static_cast<float>(shown) == static_cast<float>(number)
                                       : shown == number);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) {
        return 0;
    }
    const TypeName& type = kNames[(data[0] & 0x7F) % (sizeof kNames / sizeof kNames[0])];
    // Sizes up to 4095 bytes: larger ones take the same paths, only slower.
    uint32_t valueSize = static_cast<uint32_t>(data[1] | data[2] << 8) & 0x0FFFu;
    if ((data[0] & 0x80) != 0 && type.size != 0) {
        valueSize = type.size;
    }
    const ValueShape shape = ksymtool::ShapeOf(type.name, valueSize);
    FUZZ_CHECK(shape.size == valueSize);
    const std::string text(reinterpret_cast<const char*>(data + 3), size - 3);

    // Text to bytes and back.
    std::vector<uint8_t> parsed;
    if (ksymtool::ParseValue(shape, text, parsed)) {
        FUZZ_CHECK(parsed.size() == shape.size);
        std::vector<uint8_t> again;
        FUZZ_CHECK(ReadBack(shape, parsed, again));
        FUZZ_CHECK(SameValue(shape, parsed, again));
    }

    // Bytes to text and back, for a value as a controller may hold it.
    if (shape.size == 0) {
        FUZZ_CHECK(ksymtool::FormatValue(shape, nullptr) == "(empty)");
        return 0;
    }
    std::vector<uint8_t> value(shape.size, 0);
    std::memcpy(value.data(), data + 3, std::min<size_t>(size - 3, shape.size));
    CheckJson(shape, value);
    std::vector<uint8_t> expected = value;
    bool writable = true;
    if (shape.kind == ValueKind::kBool) {
        expected[0] = value[0] != 0 ? 1 : 0;
    } else if (shape.kind == ValueKind::kText) {
        // A text is what comes before its NUL; one that fills the variable has none.
        const void* end = std::memchr(value.data(), 0, value.size());
        writable = end != nullptr;
        if (writable) {
            const auto length =
                static_cast<size_t>(static_cast<const uint8_t*>(end) - value.data());
            std::fill(expected.begin() + static_cast<std::ptrdiff_t>(length), expected.end(), 0);
        }
    }
    std::vector<uint8_t> again;
    const bool readBack = ReadBack(shape, value, again);
    FUZZ_CHECK(readBack == writable);
    FUZZ_CHECK(!readBack || SameValue(shape, expected, again));
    return 0;
}
