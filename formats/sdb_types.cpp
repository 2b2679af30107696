#include "formats/sdb_types.h"

#include "formats/sdb_layout.h"

namespace formats {

std::optional<uint8_t> ComputeElementSize(const SdbTypeTable& types, uint32_t index) {
    // An array's element is its base type's; a chain longer than the table has a loop.
    for (size_t steps = 0; steps <= types.size(); ++steps) {
        if (index >= types.size()) {
            return std::nullopt;
        }
        const SdbTypeSlot& slot = types[index];
        switch (slot.code) {
        case kSdbCodeArray:
            index = slot.baseIndex;
            continue;
        case kSdbCodePlain8:
        case kSdbCodeDataBlock:
        case kSdbCodePlain21:
        case kSdbCodeNone:
            return static_cast<uint8_t>(0);
        default:
            return static_cast<uint8_t>(slot.size & 0xFFu);
        }
    }
    return std::nullopt;
}

const char* VariableTypeName(const SdbTypeTable& types, uint32_t index) {
    const SdbTypeSlot& slot = types[index];
    if (slot.skipped) {
        return "NONE";
    }
    if (slot.code == kSdbCodeDataBlock) {
        return "DATA";
    }
    if (slot.code == kSdbCodeArray && slot.baseIndex < types.size()) {
        const uint32_t baseCode = types[slot.baseIndex].code;
        if (baseCode == kSdbCodeArray || baseCode == kSdbCodeDataBlock) {
            return "DATA";
        }
    }
    return slot.name.c_str();
}

} // namespace formats
