// Typed display and parsing of variable values. The library hands out a variable's bytes in
// host order with its type name and size only, so the display is chosen from those two:
//   BOOL (and bit addresses)             true / false
//   BYTE USINT WORD UINT DWORD UDINT
//   LWORD ULINT TIME                     unsigned integer of the type's size
//   SINT INT DINT LINT                   signed integer of the type's size
//   REAL, LREAL                          4- and 8-byte floating point
//   a name starting with STR             text up to the first NUL
//   a name holding ARR or MATRIX, of an
//   even size                            16-bit signed elements: [1, -2, 3]
//   anything else (data blocks, pointers, NONE, or a known name whose size is not the
//   type's)                              the bytes in hexadecimal, e.g. 5b626970
// Type names compare without regard to case.
#ifndef KSYM_TOOLS_VALUE_FORMAT_H
#define KSYM_TOOLS_VALUE_FORMAT_H

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace ksymtool {

enum class ValueKind { kBool, kUnsigned, kSigned, kFloat, kText, kIntArray, kBytes };

// How a variable's value is shown and parsed, and how many bytes it occupies.
struct ValueShape {
    ValueKind kind = ValueKind::kBytes;
    uint32_t size = 0; // bytes of the value (1 for a bit)
};

// The shape for a variable of the given type name and size.
ValueShape ShapeOf(const std::string& typeName, uint32_t size);

// The value in words, for tables and watch lines. `data` holds shape.size bytes. Texts are
// quoted, with ", \ and bytes outside printable ASCII escaped.
std::string FormatValue(const ValueShape& shape, const uint8_t* data);
// The value as JSON: a bool, a number, a string (texts, and the hexadecimal bytes), or an
// array of numbers. A floating-point value that JSON cannot hold is the string "nan", "inf"
// or "-inf".
nlohmann::json ValueJson(const ValueShape& shape, const uint8_t* data);

// Parses `text` into shape.size bytes in host order; false when it is malformed or does not
// fit. Integers are decimal or 0x hexadecimal (for a signed type, hexadecimal gives the bit
// pattern: 0xFFFF is -1 in an INT). Bools are true/false/1/0. Texts must leave room for the
// terminating NUL; the rest of the variable is filled with zeros. Arrays take as many
// comma-separated elements as they hold, brackets optional. Bytes are hexadecimal, an
// optional 0x, exactly as many as the variable holds.
bool ParseValue(const ValueShape& shape, const std::string& text, std::vector<uint8_t>& out);

} // namespace ksymtool

#endif
