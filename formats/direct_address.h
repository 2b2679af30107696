// IEC direct addresses (%IX1.2, %MW4, ...) and the resolved address of a list variable.
#ifndef KSYM_FORMATS_DIRECT_ADDRESS_H
#define KSYM_FORMATS_DIRECT_ADDRESS_H

#include <cstdint>

namespace formats {

// Where a variable lives: a memory area, an offset in it (bytes, or a bit number for a bit),
// and its size in bytes (0 for a single bit).
struct VarAddress {
    uint16_t area = 0;
    uint32_t offset = 0;
    uint32_t size = 0;
};

// Memory areas of direct addresses.
enum DirectArea : uint16_t { kAreaMemory = 0, kAreaInput = 1, kAreaOutput = 2 };

// The bytes a variable occupies in telegrams: its size, or 1 for a bit.
inline uint32_t EffectiveSize(uint32_t size) {
    return size == 0 ? 1u : size;
}

// 1 and `address` filled when `text` is a direct address: "%", an area letter (M, I, Q),
// an optional size letter (B, W, D; X or none for a bit), and a number read as strtoul reads
// it (white space, one sign, saturating at 2^32 - 1). A sized address ends after the number,
// which counts elements of that size. A bit address goes on with "." and a bit number 0..15
// and gives the bit first * 16 + second. Letters are upper case only. Else 0, address as is.
int ParseDirectAddress(const char* text, VarAddress& address);

} // namespace formats

#endif
