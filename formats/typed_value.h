// Values of a controller's variables as their types make them: what a type name and size
// say a value is (a bool, an integer, a floating-point number, a text, an array of 16-bit
// integers, or plain bytes), the bytes a value text stands for, and numbers read from and
// stored into those bytes. The simulated controller takes its initial values and behaviours
// through it, and ksym its values, so that both agree on every type.
//   BOOL (and bit addresses)             true / false
//   BYTE USINT WORD UINT DWORD UDINT
//   LWORD ULINT TIME                     unsigned integer of the type's size
//   SINT INT DINT LINT                   signed integer of the type's size
//   REAL, LREAL                          4- and 8-byte floating point
//   a name starting with STR             text up to the first NUL
//   a name holding ARR or MATRIX, of an
//   even size                            16-bit signed elements
//   anything else (data blocks, pointers, NONE, or a known name whose size is not the
//   type's)                              bytes
// Type names compare without regard to case. Every value here is in the host's byte order.
#ifndef KSYM_FORMATS_TYPED_VALUE_H
#define KSYM_FORMATS_TYPED_VALUE_H

#include <cstdint>
#include <string>
#include <vector>

namespace formats {

enum class ValueKind { kBool, kUnsigned, kSigned, kFloat, kText, kIntArray, kBytes };

// How a variable's value is shown and parsed, and how many bytes it occupies.
struct ValueShape {
    ValueKind kind = ValueKind::kBytes;
    uint32_t size = 0; // bytes of the value (1 for a bit)
};

// The shape for a variable of the given type name and size.
ValueShape ShapeOf(const std::string& typeName, uint32_t size);

// Whether values of the shape are numbers (bools, integers, floating point).
bool IsNumeric(const ValueShape& shape);

// The size of the units the value's bytes are ordered in: the whole value for a number, 2
// for an array of 16-bit integers, 0 (never reordered) for texts and bytes.
uint32_t ByteOrderUnit(const ValueShape& shape);

// Parses `text` into shape.size bytes; false when it is malformed or does not fit. Integers
// are decimal or 0x hexadecimal (for a signed type, hexadecimal gives the bit pattern: 0xFFFF
// is -1 in an INT). Bools are true/false/1/0. Texts must leave room for the terminating NUL;
// the rest of the variable is filled with zeros. Arrays take as many comma-separated
// elements as they hold, brackets optional. Bytes are hexadecimal, an optional 0x, exactly
// as many as the variable holds.
bool ParseValue(const ValueShape& shape, const std::string& text, std::vector<uint8_t>& out);

// A numeric value as a number: a bool is 0 or 1. `data` holds shape.size bytes.
double NumberOf(const ValueShape& shape, const uint8_t* data);
// Stores a number into a numeric value: rounded to the nearest integer and held to the
// type's range for integers, nonzero as true for a bool. `out` holds shape.size bytes.
void StoreNumber(const ValueShape& shape, double number, uint8_t* out);

// Integers of 1, 2, 4 or 8 bytes.
uint64_t LoadUnsigned(const uint8_t* data, uint32_t size);
int64_t LoadSigned(const uint8_t* data, uint32_t size);
void StoreUnsigned(uint64_t value, uint32_t size, uint8_t* out);
// A float (4 bytes) or double (8 bytes) as a double.
double LoadFloat(const uint8_t* data, uint32_t size);

} // namespace formats

#endif
