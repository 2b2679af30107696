// Typed display of variable values. The library hands out a variable's bytes in host order
// with its type name and size only, so the display is chosen from those two, as
// formats/typed_value.h sets out (its shapes and value texts are the tool's, too):
//   bools true / false, integers and floating point in decimal, texts quoted, arrays of
//   16-bit integers as [1, -2, 3], anything else as its bytes in hexadecimal (5b626970).
#ifndef KSYM_TOOLS_VALUE_FORMAT_H
#define KSYM_TOOLS_VALUE_FORMAT_H

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "formats/typed_value.h"

namespace ksymtool {

using formats::ParseValue;
using formats::ShapeOf;
using formats::ValueKind;
using formats::ValueShape;

// The kind's name in JSON interfaces: bool, unsigned, signed, float, text, intarray, bytes.
const char* ValueKindName(ValueKind kind);

// The value in words, for tables and watch lines. `data` holds shape.size bytes. Texts are
// quoted, with ", \ and bytes outside printable ASCII escaped.
std::string FormatValue(const ValueShape& shape, const uint8_t* data);
// The value as JSON: a bool, a number, a string (texts, and the hexadecimal bytes), or an
// array of numbers. A floating-point value that JSON cannot hold is the string "nan", "inf"
// or "-inf".
nlohmann::json ValueJson(const ValueShape& shape, const uint8_t* data);

} // namespace ksymtool

#endif
