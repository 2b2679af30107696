// Comparing symbol names the way the index does: only the ASCII letters a to z fold to upper
// case; every other byte, 0x80 to 0xFF included, must match exactly. Locale-independent.
#ifndef KSYM_FORMATS_NAME_COMPARE_H
#define KSYM_FORMATS_NAME_COMPARE_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace formats {

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

// The eight bytes of `word` with a to z folded to upper case and every other byte as it is:
// the folding of FoldNameByte on eight bytes at once.
inline uint64_t FoldNameWord(uint64_t word) {
    constexpr uint64_t kOnes = 0x0101010101010101u;
    const uint64_t low7 = word & (0x7Fu * kOnes);
    // The high bit of each byte of the sums tells whether its low seven bits reach 'a' and
    // pass 'z'; neither sum carries into the next byte.
    const uint64_t fromA = low7 + (0x80u - 'a') * kOnes;
    const uint64_t pastZ = low7 + (0x80u - 'z' - 1u) * kOnes;
    const uint64_t lower = fromA & ~pastZ & ~word & (0x80u * kOnes);
    return word - (lower >> 2); // 0x20 off each lower-case letter, never borrowing
}

// The bytes [at, at + count) of `text` (count at most 8) as a word, the rest zero.
inline uint64_t LoadNameWord(const char* text, size_t count) {
    uint64_t word = 0;
    std::memcpy(&word, text, count);
    return word;
}

// True when the first `length` bytes of `a` and `b` are equal after folding. Both must hold
// at least `length` bytes; neither is read beyond them. Names of eight bytes or more end with
// the word that ends at their last byte (overlapping the word before), so that every load is
// of one fixed size.
inline bool NameBytesEqual(const char* a, const char* b, size_t length) {
    if (length < 8) {
        return FoldNameWord(LoadNameWord(a, length)) == FoldNameWord(LoadNameWord(b, length));
    }
    uint64_t difference = 0;
    size_t at = 0;
    for (; length - at >= 8; at += 8) {
        difference |= FoldNameWord(LoadNameWord(a + at, 8)) ^ FoldNameWord(LoadNameWord(b + at, 8));
    }
    if (at < length) {
        const size_t last = length - 8;
        difference |=
            FoldNameWord(LoadNameWord(a + last, 8)) ^ FoldNameWord(LoadNameWord(b + last, 8));
    }
    return difference == 0;
}

} // namespace formats

#endif
