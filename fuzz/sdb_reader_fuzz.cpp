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
