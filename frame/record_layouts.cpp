// The records callers read in place have fixed layouts; these checks keep them so.
#include <cstddef>

#include "include/ksymbol.h"

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(SymbolEntry) == 20, "SymbolEntry is 20 bytes");
static_assert(offsetof(SymbolEntry, typeName) == 4, "typeName at byte 4");
static_assert(offsetof(SymbolEntry, area) == 8, "area at byte 8");
static_assert(offsetof(SymbolEntry, offset) == 10, "offset at byte 10");
static_assert(offsetof(SymbolEntry, size) == 14, "size at byte 14");
static_assert(offsetof(SymbolEntry, tag) == 18, "tag at byte 18");
static_assert(sizeof(ProjectInfo) == 28, "ProjectInfo is 28 bytes");
static_assert(offsetof(ProjectInfo, infoText1) == 8, "infoText1 at byte 8");
static_assert(offsetof(ProjectInfo, infoText5) == 24, "infoText5 at byte 24");
#else
// Pointers at their natural width, everything else as on 32 bits.
static_assert(sizeof(SymbolEntry) == 2 * sizeof(void*) + 12, "SymbolEntry packed");
static_assert(offsetof(SymbolEntry, area) == 2 * sizeof(void*), "area after the pointers");
static_assert(offsetof(SymbolEntry, offset) == 2 * sizeof(void*) + 2, "offset unaligned");
static_assert(offsetof(SymbolEntry, tag) == 2 * sizeof(void*) + 10, "tag last");
static_assert(offsetof(ProjectInfo, infoText1) == 8, "texts after the two numbers");
static_assert(sizeof(ProjectInfo) == 8 + 5 * sizeof(void*), "ProjectInfo");
#endif
static_assert(offsetof(VarValue, replyWord) == 0, "replyWord at byte 0");
static_assert(offsetof(VarValue, valid) == 4, "valid at byte 4");
static_assert(offsetof(VarValue, data) == 5, "data at byte 5");
