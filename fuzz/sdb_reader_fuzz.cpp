// Feeds arbitrary bytes to the SDB reader as a symbol file, the way the loader does after an
// upload, then indexes what it accepted. The file comes from the station and is untrusted:
// no input may over-read, leak, crash or leave a table that breaks the index's promises.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "extern/kutil.h"
#include "frame/channel_context.h"
#include "fuzz/fuzz_check.h"
#include "formats/name_compare.h"
#include "formats/sdb_symbols.h"
#include "symbols/sdb_reader.h"
#include "symbols/symbol_index.h"
#include "symbols/symbol_ref.h"
#include "symbols/symbol_table.h"

namespace {

// A reading device over exactly the input's bytes. The copy carries one spare byte because
// a memory device needs memory even for an empty file; the device never sees that byte.
struct InputDevice {
    InputDevice(const uint8_t* data, size_t size)
        : bytes(data, data + size), device(Memory(bytes), static_cast<long>(size), SD_READ) {}

    static char* Memory(std::vector<uint8_t>& bytes) {
        bytes.push_back(0);
        return reinterpret_cast<char*>(bytes.data());
    }

    std::vector<uint8_t> bytes;
    KMemSerDev device;
};

// A table the reader accepted: well-formed entries, an index that finds every name, and
// the first of equal names (after case folding) as the one found.
void CheckAcceptedTable(ksym::ChannelContext& context) {
    FUZZ_CHECK(context.symbolCount >= 0);
    FUZZ_CHECK(context.symbols != nullptr);
    FUZZ_CHECK(context.elementSizes != nullptr);
    for (int32_t i = 0; i < context.symbolCount; ++i) {
        FUZZ_CHECK(context.symbols[i].name != nullptr);
        FUZZ_CHECK(context.symbols[i].typeName != nullptr);
    }
    FUZZ_CHECK(ksym::BuildSymbolIndex(context));
    FUZZ_CHECK(context.symbolIndex != nullptr);
    FUZZ_CHECK(context.elementSizes == nullptr); // released once indexed
    for (int32_t i = 0; i < context.symbolCount; ++i) {
        SymbolEntry& entry = context.symbols[i];
        auto* ref = dynamic_cast<ksym::SymbolRef*>(context.symbolIndex->Find(entry.name));
        FUZZ_CHECK(ref != nullptr);
        SymbolEntry* found = ref->GetEntry();
        FUZZ_CHECK(found >= context.symbols && found <= &entry);
        FUZZ_CHECK(formats::NamesEqual(found->name, entry.name));
    }
    ksym::FilterSymbols(context, "");
    FUZZ_CHECK(context.filteredCount == context.symbolCount);
}

// The formats library's walk of the same bytes must agree with the reader: the same
// verdict, and for an accepted file the same entries with the same element sizes.
void CheckWalkAgrees(const uint8_t* data, size_t size, bool accepted,
                     const ksym::ChannelContext& context) {
    uint32_t projectId = 0;
    std::vector<formats::SdbSymbol> symbols;
    const bool walked =
        formats::ReadSdbSymbols(std::vector<uint8_t>(data, data + size), projectId, symbols);
    FUZZ_CHECK(walked == accepted);
    if (!accepted) {
        return;
    }
    FUZZ_CHECK(static_cast<int32_t>(projectId) == context.projectId.load());
    FUZZ_CHECK(symbols.size() == static_cast<size_t>(context.symbolCount));
    for (size_t i = 0; i < symbols.size(); ++i) {
        const SymbolEntry& entry = context.symbols[i];
        FUZZ_CHECK(symbols[i].name == entry.name);
        FUZZ_CHECK(symbols[i].typeName == entry.typeName);
        FUZZ_CHECK(symbols[i].area == entry.area);
        FUZZ_CHECK(symbols[i].offset == entry.offset);
        FUZZ_CHECK(symbols[i].size == entry.size);
        FUZZ_CHECK(symbols[i].elementSize == context.elementSizes[i]);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > static_cast<size_t>(INT32_MAX)) {
        return 0;
    }
    InputDevice idInput(data, size);
    const int32_t headerId = ksym::ReadSdbProjectId(idInput.device);

    InputDevice fileInput(data, size);
    ksym::ChannelContext context;
    const int read = ksym::ReadSdbFile(fileInput.device, context);
    FUZZ_CHECK(read == 0 || read == 1);
    CheckWalkAgrees(data, size, read == 1, context);
    if (read == 1) {
        // A file is only accepted with a header the project-id read accepts too.
        FUZZ_CHECK(context.projectId.load() == headerId);
        CheckAcceptedTable(context);
    } else {
        FUZZ_CHECK(context.symbolCount == 0);
        FUZZ_CHECK(context.symbols == nullptr);
        FUZZ_CHECK(context.elementSizes == nullptr);
    }
    ksym::ClearSymbolTable(context);
    return 0;
}
