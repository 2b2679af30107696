#include "symbols/symbol_table.h"

#include <cstring>
#include <memory>
#include <new>

#include "symbols/name_compare.h"
#include "symbols/symbol_index.h"
#include "symbols/symbol_ref.h"
#include "symbols/table_arena.h"

namespace ksym {

void ClearSymbolTable(ChannelContext& context) {
    // The entries' texts are records of the arenas: nothing to release one by one.
    context.symbolCount = 0;
    delete[] context.symbols;
    context.symbols = nullptr;

    context.filteredCount = 0;
    delete[] context.filtered;
    context.filtered = nullptr;

    delete context.symbolIndex; // before the arena that holds its nodes
    context.symbolIndex = nullptr;
    delete context.symbolArena;
    context.symbolArena = nullptr;
    delete context.readNames;
    context.readNames = nullptr;

    context.projectId.store(0);
    context.loadStatus.store(LoadDone);

    context.uploadDevice.store(nullptr);
    context.uploadEvent.store(nullptr);

    delete[] context.elementSizes;
    context.elementSizes = nullptr;
}

bool BuildSymbolIndex(ChannelContext& context) {
    const auto count = static_cast<size_t>(context.symbolCount);
    if (context.symbolArena == nullptr) {
        context.symbolArena = new (std::nothrow) TableArena;
    }
    context.filtered = new (std::nothrow) SymbolEntry*[count == 0 ? 1 : count];
    context.symbolIndex = context.symbolArena == nullptr
                              ? nullptr
                              : new (std::nothrow)
                                    SymbolIndex(BucketCountFor(context.symbolCount),
                                                NameHash::Mixing, context.symbolArena);
    if (context.filtered == nullptr || context.symbolIndex == nullptr ||
        !context.symbolIndex->ok()) {
        ClearSymbolTable(context);
        return false;
    }
    TableArena& arena = *context.symbolArena;
    for (size_t i = 0; i < count; ++i) {
        SymbolEntry& entry = context.symbols[i];
        // The item lies just before its node and key in the arena.
        void* memory = arena.Allocate(sizeof(SymbolRef), alignof(SymbolRef));
        if (memory == nullptr) {
            ClearSymbolTable(context);
            return false;
        }
        auto* ref = new (memory) SymbolRef(&entry, context.elementSizes[i]);
        const char* key = context.symbolIndex->InsertInPlace(entry.name, ref);
        if (key == nullptr) {
            // Refused: a name met before (the entry stays in the table, the first one is the
            // one found by name; it keeps a copy of its own), or memory ran short. The item's
            // memory stays unused in the arena.
            arena.ShrinkLast(ref, 0);
            if (context.symbolIndex->Find(entry.name) == nullptr) {
                ClearSymbolTable(context);
                return false;
            }
            key = arena.CopyText(entry.name, std::strlen(entry.name));
            if (key == nullptr) {
                ClearSymbolTable(context);
                return false;
            }
        }
        // One copy of each name: the entry's text is now the one in the table's arena.
        entry.name = const_cast<char*>(key);
    }
    delete context.readNames;
    context.readNames = nullptr;
    delete[] context.elementSizes;
    context.elementSizes = nullptr;
    return true;
}

void FilterSymbols(ChannelContext& context, const char* prefix) {
    context.filteredCount = 0;
    if (prefix == nullptr) {
        prefix = "";
    }
    const size_t length = std::strlen(prefix);
    for (int32_t i = 0; i < context.symbolCount; ++i) {
        SymbolEntry& entry = context.symbols[i];
        if (NameHasPrefix(entry.name, prefix, length)) {
            context.filtered[context.filteredCount++] = &entry;
        }
    }
}

} // namespace ksym
