// Comparing symbol names the way the index does: only the ASCII letters a to z fold to upper
// case; every other byte, 0x80 to 0xFF included, must match exactly. Locale-independent.
#ifndef KSYM_SYMBOLS_NAME_COMPARE_H
#define KSYM_SYMBOLS_NAME_COMPARE_H

#include <cstddef>

namespace ksym {

inline unsigned char FoldNameByte(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 'a' && byte <= 'z' ? static_cast<unsigned char>(byte - ('a' - 'A')) : byte;
}

// True when both zero-terminated names are equal after folding.
inline bool NamesEqual(const char* a, const char* b) {
    for (;; ++a, ++b) {
        if (FoldNameByte(*a) != FoldNameByte(*b)) {
            return false;
        }
        if (*a == '\0') {
            return true;
        }
    }
}

// True when the first `length` bytes of `name` equal `prefix` after folding; a name shorter
// than the prefix never matches.
inline bool NameHasPrefix(const char* name, const char* prefix, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (name[i] == '\0' || FoldNameByte(name[i]) != FoldNameByte(prefix[i])) {
            return false;
        }
    }
    return true;
}

} // namespace ksym

#endif
