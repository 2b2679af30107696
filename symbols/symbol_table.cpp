#include "symbols/symbol_table.h"

#include <cstring>
#include <memory>
#include <new>

#include "symbols/name_compare.h"
#include "symbols/symbol_entry.h"
#include "symbols/symbol_index.h"
#include "symbols/symbol_ref.h"

namespace ksym {

void ClearSymbolTable(ChannelContext& context) {
    for (int32_t i = 0; i < context.symbolCount; ++i) {
        ClearSymbolEntry(context.symbols[i]);
    }
    context.symbolCount = 0;
    delete[] context.symbols;
    context.symbols = nullptr;

    context.filteredCount = 0;
    delete[] context.filtered;
    context.filtered = nullptr;

    delete context.symbolIndex;
    context.symbolIndex = nullptr;

    context.projectId.store(0);
    context.loadStatus.store(LoadDone);

    context.uploadDevice.store(nullptr);
    context.uploadEvent.store(nullptr);

    delete[] context.elementSizes;
    context.elementSizes = nullptr;
}

bool BuildSymbolIndex(ChannelContext& context) {
    const auto count = static_cast<size_t>(context.symbolCount);
    context.filtered = new (std::nothrow) SymbolEntry*[count == 0 ? 1 : count];
    context.symbolIndex = new (std::nothrow) SymbolIndex(BucketCountFor(context.symbolCount));
    if (context.filtered == nullptr || context.symbolIndex == nullptr ||
        !context.symbolIndex->ok()) {
        ClearSymbolTable(context);
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        SymbolEntry& entry = context.symbols[i];
        auto ref = std::unique_ptr<SymbolRef>(new (std::nothrow)
                                                  SymbolRef(&entry, context.elementSizes[i]));
        if (ref == nullptr) {
            ClearSymbolTable(context);
            return false;
        }
        if (context.symbolIndex->Insert(entry.name, ref.get()) != nullptr) {
            ref.release(); // the index owns it now
        } else if (context.symbolIndex->Find(entry.name) == nullptr) {
            // Refused although the name is not there: memory ran short for the node.
            ClearSymbolTable(context);
            return false;
        }
        // Otherwise a name met before: the entry stays in the table, the first one is
        // the one found by name.
    }
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
