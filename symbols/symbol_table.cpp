#include "symbols/symbol_table.h"

#include <cstring>
#include <memory>
#include <new>

#include "formats/name_compare.h"
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

namespace {

// The entries of a table as the index takes them: one SymbolRef each, made in one piece of
// the arena; an entry whose name the index holds takes the index's copy as its text, a
// repeated name a copy of its own in the arena (the reader's copies go with the table's
// reading).
class EntrySource final : public IndexSource {
public:
    EntrySource(ChannelContext& context, SymbolRef* refs) : context_(context), refs_(refs) {}

    size_t Count() const override { return static_cast<size_t>(context_.symbolCount); }
    const char* Name(size_t i) const override { return context_.symbols[i].name; }
    SymbolIndexItem* Item(size_t i) override {
        return new (&refs_[i]) SymbolRef(&context_.symbols[i], context_.elementSizes[i]);
    }
    void Stored(size_t i, const char* key) override {
        SymbolEntry& entry = context_.symbols[i];
        if (key == nullptr) {
            key = context_.symbolArena->CopyText(entry.name, std::strlen(entry.name));
            copiesFailed_ = copiesFailed_ || key == nullptr;
        }
        entry.name = const_cast<char*>(key);
    }
    bool copiesFailed() const { return copiesFailed_; }

private:
    ChannelContext& context_;
    SymbolRef* refs_;
    bool copiesFailed_ = false;
};

} // namespace

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
    void* refs = count > SIZE_MAX / sizeof(SymbolRef) || context.symbolIndex == nullptr
                     ? nullptr
                     : context.symbolArena->Allocate((count == 0 ? 1 : count) * sizeof(SymbolRef),
                                                     alignof(SymbolRef));
    if (context.filtered == nullptr || refs == nullptr || !context.symbolIndex->ok()) {
        ClearSymbolTable(context);
        return false;
    }
    EntrySource source(context, static_cast<SymbolRef*>(refs));
    if (!context.symbolIndex->InsertAll(source) || source.copiesFailed()) {
        ClearSymbolTable(context);
        return false;
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
        if (formats::NameHasPrefix(entry.name, prefix, length)) {
            context.filtered[context.filteredCount++] = &entry;
        }
    }
}

} // namespace ksym
