#include "formats/sdb_symbols.h"

#include <cstring>

#include "formats/byte_order.h"
#include "formats/sdb_layout.h"
#include "formats/sdb_types.h"

namespace formats {

namespace {

// A read position over the file's bytes that behaves as the library's memory device: it
// may stand past the end (reads there give nothing) but never beyond a 32-bit position.
class Cursor {
public:
    explicit Cursor(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}

    uint64_t position() const { return position_; }
    uint64_t size() const { return bytes_.size(); }

    // Up to n bytes into `out`; how many there were.
    size_t Take(uint8_t* out, size_t n) {
        const uint64_t available = position_ < bytes_.size() ? bytes_.size() - position_ : 0;
        const size_t count = n < available ? n : static_cast<size_t>(available);
        if (count != 0) {
            std::memcpy(out, bytes_.data() + position_, count);
        }
        position_ += count;
        return count;
    }
    bool TakeExact(uint8_t* out, size_t n) { return Take(out, n) == n; }
    // Skips n bytes, all of which the file must hold.
    bool SkipExact(uint64_t n) {
        if (n > bytes_.size() || position_ > bytes_.size() - n) {
            return false;
        }
        position_ += n;
        return true;
    }
    bool SeekTo(uint64_t base, uint64_t distance) {
        if (distance > kMaxPosition || base > kMaxPosition - distance) {
            return false;
        }
        position_ = base + distance;
        return true;
    }
    // Past a record that ends at base + distance, whose last byte the file must hold.
    bool SkipTo(uint64_t base, uint64_t distance) {
        if (distance == 0) {
            return SeekTo(base, 0);
        }
        uint8_t last = 0;
        return SeekTo(base, distance - 1) && Take(&last, 1) == 1;
    }

private:
    static constexpr uint64_t kMaxPosition = 0x7FFFFFFF;
    const std::vector<uint8_t>& bytes_;
    uint64_t position_ = 0;
};

uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(Get(p, 4, ByteOrder::Little));
}

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(Get(p, 2, ByteOrder::Little));
}

struct Section {
    uint32_t kind = 0;
    uint32_t length = 0;
    uint32_t version = 0;
    uint32_t value = 0;
};

bool ReadSection(Cursor& cursor, Section& section) {
    uint8_t raw[kSdbSectionHeaderSize] = {};
    if (!cursor.TakeExact(raw, sizeof raw)) {
        return false;
    }
    section = Section{Le32(raw), Le32(raw + 4), Le32(raw + 8), Le32(raw + 12)};
    return true;
}

// The first section of `kind` from the position on, skipping others by their length.
bool FindSection(Cursor& cursor, uint32_t kind, Section& section) {
    for (;;) {
        const uint64_t start = cursor.position();
        if (!ReadSection(cursor, section)) {
            return false;
        }
        if (section.kind == kind) {
            return true;
        }
        if (section.length == 0 || !cursor.SeekTo(start, section.length)) {
            return false;
        }
    }
}

// A name of `length` counted bytes, which must hold its terminating zero.
bool ReadName(Cursor& cursor, uint16_t length, std::string& name) {
    if (length == 0) {
        return false;
    }
    std::vector<uint8_t> raw(length);
    if (!cursor.TakeExact(raw.data(), length)) {
        return false;
    }
    const void* zero = std::memchr(raw.data(), 0, length);
    if (zero == nullptr) {
        return false;
    }
    name.assign(reinterpret_cast<const char*>(raw.data()),
                static_cast<const uint8_t*>(zero) - raw.data());
    return true;
}

bool ReadTypeRecord(Cursor& cursor, SdbTypeSlot& slot) {
    const uint64_t start = cursor.position();
    uint8_t fixed[kSdbTypeFixedSize];
    if (!cursor.TakeExact(fixed, sizeof fixed)) {
        return false;
    }
    const uint32_t length = Le32(fixed + 4);
    if (Le32(fixed) != kSdbTypeRecord) {
        slot = SdbTypeSlot{};
        return cursor.SkipTo(start + kSdbTypeFixedSize, length);
    }
    slot.skipped = false;
    slot.code = Le32(fixed + 8);
    slot.size = Le32(fixed + 12);
    if (!ReadName(cursor, Le16(fixed + 16), slot.name)) {
        return false;
    }
    bool read = true;
    if (slot.code == kSdbCodeArray) {
        uint8_t raw[kSdbArrayHeaderSize];
        read = cursor.TakeExact(raw, sizeof raw);
        if (read) {
            slot.baseIndex = Le32(raw);
            slot.itemCount = Le32(raw + 4);
            // The items are not needed, only that the file holds them.
            read = cursor.SkipExact(static_cast<uint64_t>(slot.itemCount) * kSdbArrayItemSize);
        }
    } else if (SdbCodeHasExtra(slot.code)) {
        read = cursor.SkipExact(kSdbExtraSize);
    }
    if (!read || cursor.position() - start > length) {
        return false;
    }
    return cursor.SkipTo(start, length);
}

bool ReadVariableRecord(Cursor& cursor, const SdbTypeTable& types, SdbSymbol& symbol) {
    const uint64_t start = cursor.position();
    uint8_t fixed[kSdbVariableFixedSize];
    if (!cursor.TakeExact(fixed, sizeof fixed)) {
        return false;
    }
    symbol = SdbSymbol{};
    if (Le32(fixed) != kSdbVariableRecord) {
        const uint32_t length = Le32(fixed + 4);
        symbol.typeName = "NONE";
        return length != 0 && cursor.SkipTo(start, length);
    }
    const uint32_t typeIndex = Le32(fixed + 8);
    const std::optional<uint8_t> elementSize = ComputeElementSize(types, typeIndex);
    if (!elementSize) {
        return false;
    }
    symbol.area = Le16(fixed + 18);
    symbol.offset = Le32(fixed + 20);
    symbol.size = types[typeIndex].size;
    symbol.elementSize = *elementSize;
    symbol.typeName = VariableTypeName(types, typeIndex);
    return ReadName(cursor, Le16(fixed + 24), symbol.name);
}

} // namespace

bool ReadSdbSymbols(const std::vector<uint8_t>& bytes, uint32_t& projectId,
                    std::vector<SdbSymbol>& symbols) {
    symbols.clear();
    Cursor cursor(bytes);
    Section section;
    if (!ReadSection(cursor, section) || section.kind != kSdbHeaderSection || section.version > 1 ||
        !cursor.SeekTo(0, section.length)) {
        return false;
    }
    projectId = section.value;
    SdbTypeTable types;
    if (!FindSection(cursor, kSdbTypesSection, section)) {
        return false;
    }
    for (uint32_t i = 0; i < section.value; ++i) {
        // Every record takes its fixed part: a count the rest of the file cannot hold
        // fails at the end of the file, before the table outgrows it.
        types.emplace_back();
        if (!ReadTypeRecord(cursor, types.back())) {
            return false;
        }
    }
    if (!FindSection(cursor, kSdbVariablesSection, section) || section.value > 0x7FFFFFFF) {
        return false;
    }
    for (uint32_t i = 0; i < section.value; ++i) {
        SdbSymbol symbol;
        if (!ReadVariableRecord(cursor, types, symbol)) {
            symbols.clear();
            return false;
        }
        symbols.push_back(std::move(symbol));
    }
    return true;
}

} // namespace formats
