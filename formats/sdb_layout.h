// The layout of the SDB symbol file, for the side that writes it (formats' writer, the
// project description language) and the side that reads it (the library's reader): section
// and record kinds, the type codes the reader tells apart, the fixed parts' sizes, and which
// codes carry extra payload. Everything little-endian. Header-only.
#ifndef KSYM_FORMATS_SDB_LAYOUT_H
#define KSYM_FORMATS_SDB_LAYOUT_H

#include <cstddef>
#include <cstdint>

namespace formats {

// Section kinds and record kinds of the format.
inline constexpr uint32_t kSdbHeaderSection = 1;
inline constexpr uint32_t kSdbTypesSection = 2;
inline constexpr uint32_t kSdbVariablesSection = 3;
inline constexpr uint32_t kSdbTypeRecord = 4;
inline constexpr uint32_t kSdbVariableRecord = 5;

// Type codes the reader distinguishes.
inline constexpr uint32_t kSdbCodePlain8 = 8;
inline constexpr uint32_t kSdbCodeArray = 9;
inline constexpr uint32_t kSdbCodeDataBlock = 11;
inline constexpr uint32_t kSdbCodeString = 13;
inline constexpr uint32_t kSdbCodePlain21 = 21;
inline constexpr uint32_t kSdbCodeExtra23 = 23;
inline constexpr uint32_t kSdbCodeNone = 24;

// Sizes of the fixed parts: section header, type record up to the name, variable record up
// to the name.
inline constexpr size_t kSdbSectionHeaderSize = 16;
inline constexpr size_t kSdbTypeFixedSize = 18;
inline constexpr size_t kSdbVariableFixedSize = 26;
// The longest name a record can hold: its 16-bit length field counts the terminator too.
inline constexpr size_t kSdbMaxNameLength = 0xFFFE;

// An array's payload: base index and item count, then 8 bytes per item.
inline constexpr size_t kSdbArrayHeaderSize = 8;
inline constexpr size_t kSdbArrayItemSize = 8;
// The payload a code other than the array's carries after the name.
inline constexpr size_t kSdbExtraSize = 4;

// Whether a type record of `code` carries kSdbExtraSize bytes of payload after its name.
constexpr bool SdbCodeHasExtra(uint32_t code) {
    return code == kSdbCodeDataBlock || code == kSdbCodeString || code == kSdbCodeExtra23;
}

} // namespace formats

#endif
