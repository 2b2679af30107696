#include "symbols/sdb_reader.h"

#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "formats/sdb_layout.h"
#include "symbols/table_arena.h"

namespace ksym {

namespace {

// The format's layout, shared with its writer.
constexpr uint32_t kHeaderSection = formats::kSdbHeaderSection;
constexpr uint32_t kTypesSection = formats::kSdbTypesSection;
constexpr uint32_t kVariablesSection = formats::kSdbVariablesSection;
constexpr uint32_t kTypeRecord = formats::kSdbTypeRecord;
constexpr uint32_t kVariableRecord = formats::kSdbVariableRecord;
constexpr uint32_t kCodeArray = formats::kSdbCodeArray;
constexpr long kSectionHeaderSize = static_cast<long>(formats::kSdbSectionHeaderSize);
constexpr long kTypeFixedSize = static_cast<long>(formats::kSdbTypeFixedSize);
constexpr long kVariableFixedSize = static_cast<long>(formats::kSdbVariableFixedSize);
// Item data of an array is read in pieces of this size, so that what is held never
// exceeds what the file really contains, whatever the item count claims.
constexpr long kItemDataPiece = 4096;

uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

// Reads exactly n bytes; false when the file ends first.
bool ReadExact(KSerDev& device, void* buffer, long n) {
    return n == 0 || device.GetBlock(static_cast<char*>(buffer), n) == n;
}

// Moves the read position to base + distance; false when that lies beyond what a device
// position can hold.
bool SeekTo(KSerDev& device, long base, uint64_t distance) {
    if (base < 0) {
        return false;
    }
    const uint64_t target = static_cast<uint64_t>(base) + distance;
    if (target > static_cast<uint64_t>(INT32_MAX)) {
        return false;
    }
    return device.SeekRead(static_cast<long>(target)) == static_cast<long>(target);
}

// Moves past a record that ends at base + distance, making sure the file really holds its
// last byte: a file that ends inside a record is refused even where the reader skips it.
bool SkipTo(KSerDev& device, long base, uint64_t distance) {
    if (distance == 0) {
        return SeekTo(device, base, 0);
    }
    char last = 0;
    return SeekTo(device, base, distance - 1) && device.GetBlock(&last, 1) == 1;
}

struct SectionHeader {
    uint32_t kind;
    uint32_t length;
    uint32_t version;
    uint32_t value;
};

// Reads a section header; the number of bytes the read yielded goes to `got`.
SectionHeader ReadSectionHeader(KSerDev& device, long& got) {
    uint8_t raw[kSectionHeaderSize] = {};
    got = device.GetBlock(reinterpret_cast<char*>(raw), kSectionHeaderSize);
    return SectionHeader{Le32(raw), Le32(raw + 4), Le32(raw + 8), Le32(raw + 12)};
}

// Walks the sections from the read position to the first of `kind`, skipping the others
// by their length. Leaves the position after that section's header. False at the end of
// the file, at a header the file cuts short, or at a section of length 0.
bool FindSection(KSerDev& device, uint32_t kind, SectionHeader& header) {
    for (;;) {
        const long start = device.TellRead();
        long got = 0;
        header = ReadSectionHeader(device, got);
        if (got != kSectionHeaderSize) {
            return false;
        }
        if (header.kind == kind) {
            return true;
        }
        if (header.length == 0 || !SeekTo(device, start, header.length)) {
            return false;
        }
    }
}

// The length of a name of `length` counted bytes: the text up to its first zero byte, which
// must lie among them (a name without its terminator would be no text at all). Empty when
// none does. Bytes after the first zero are not part of the name.
std::optional<size_t> NameLength(const char* bytes, size_t length) {
    const void* zero = std::memchr(bytes, 0, length);
    if (zero == nullptr) {
        return std::nullopt;
    }
    return static_cast<size_t>(static_cast<const char*>(zero) - bytes);
}

// A name of `length` counted bytes into `name`. False when the count is 0, the file ends
// inside the name or no zero is counted.
bool ReadName(KSerDev& device, uint16_t length, std::string& name) {
    if (length == 0) {
        return false;
    }
    name.resize(length);
    if (!ReadExact(device, &name[0], length)) {
        return false;
    }
    const std::optional<size_t> text = NameLength(name.data(), length);
    if (!text) {
        return false;
    }
    name.resize(*text);
    return true;
}

// The same into `arena`, keeping only the text and its terminator; null when it fails or
// memory is short.
char* ReadName(KSerDev& device, uint16_t length, TableArena& arena) {
    if (length == 0) {
        return nullptr;
    }
    auto* name = static_cast<char*>(arena.Allocate(length, 1));
    if (name == nullptr || !ReadExact(device, name, length)) {
        return nullptr;
    }
    const std::optional<size_t> text = NameLength(name, length);
    if (!text) {
        return nullptr;
    }
    arena.ShrinkLast(name, *text + 1);
    return name;
}

bool ReadArrayPayload(KSerDev& device, SdbTypeSlot& slot) {
    uint8_t raw[8];
    if (!ReadExact(device, raw, sizeof raw)) {
        return false;
    }
    slot.baseIndex = Le32(raw);
    slot.itemCount = Le32(raw + 4);
    slot.payload.assign(raw, raw + sizeof raw);
    uint64_t remaining = static_cast<uint64_t>(slot.itemCount) * 8u;
    while (remaining != 0) {
        const long piece = remaining < static_cast<uint64_t>(kItemDataPiece)
                               ? static_cast<long>(remaining)
                               : kItemDataPiece;
        const size_t at = slot.payload.size();
        slot.payload.resize(at + static_cast<size_t>(piece));
        if (!ReadExact(device, slot.payload.data() + at, piece)) {
            return false;
        }
        remaining -= static_cast<uint64_t>(piece);
    }
    return true;
}

// One type record at the read position, into `slot`. A record of kind 4 must not claim to
// end before its own fields do, so that every record moves the reader forward.
bool ReadTypeRecord(KSerDev& device, SdbTypeSlot& slot) {
    const long start = device.TellRead();
    uint8_t fixed[kTypeFixedSize];
    if (!ReadExact(device, fixed, kTypeFixedSize)) {
        return false;
    }
    const uint32_t kind = Le32(fixed);
    const uint32_t length = Le32(fixed + 4);
    if (kind != kTypeRecord) {
        slot = SdbTypeSlot{};
        return SkipTo(device, start + kTypeFixedSize, length);
    }
    slot.skipped = false;
    slot.code = Le32(fixed + 8);
    slot.size = Le32(fixed + 12);
    if (!ReadName(device, Le16(fixed + 16), slot.name)) {
        return false;
    }
    bool read = true;
    if (slot.code == kCodeArray) {
        read = ReadArrayPayload(device, slot);
    } else if (formats::SdbCodeHasExtra(slot.code)) {
        slot.payload.resize(formats::kSdbExtraSize);
        read = ReadExact(device, slot.payload.data(), formats::kSdbExtraSize);
    }
    if (!read || device.TellRead() - start > static_cast<long>(length)) {
        return false;
    }
    return SkipTo(device, start, length);
}

// The entries read so far, with their element sizes and the memory of their texts;
// released unless handed over to the channel. Entries are stored in one array grown in
// steps, which becomes the channel's array when it is (nearly) full.
class PendingEntries {
public:
    explicit PendingEntries(const SdbTypeTable& types)
        : types_(types), typeNames_(types.size(), nullptr), arena_(new (std::nothrow) TableArena),
          names_(new (std::nothrow) TableArena) {}
    PendingEntries(const PendingEntries&) = delete;
    PendingEntries& operator=(const PendingEntries&) = delete;

    bool ok() const { return arena_ != nullptr && names_ != nullptr; }

    // Room for `count` entries at once; a failure only means growing later.
    void Reserve(size_t count) { Grow(count); }

    // A zeroed entry at the end, with element size 0; null when memory is short.
    SymbolEntry* Add() {
        if (count_ == capacity_ && !Grow(capacity_ < kFirstRoom ? kFirstRoom : capacity_ * 2)) {
            return nullptr;
        }
        elementSizes_[count_] = 0;
        SymbolEntry* entry = &entries_[count_++];
        *entry = SymbolEntry{};
        return entry;
    }
    uint8_t& ElementSizeOfLast() { return elementSizes_[count_ - 1]; }

    TableArena& Names() { return *names_; }
    // The texts of a placeholder entry, one copy for all of them.
    char* PlaceholderName() { return Shared(placeholderName_, ""); }
    char* PlaceholderTypeName() { return Shared(placeholderTypeName_, "NONE"); }
    // The type name of variables of a type, one copy per type. The caller has checked the
    // index.
    char* TypeName(uint32_t typeIndex) {
        char*& copy = typeNames_[typeIndex];
        if (copy == nullptr) {
            const char* name = VariableTypeName(types_, typeIndex);
            copy = arena_->CopyText(name, std::strlen(name));
        }
        return copy;
    }

    // Hands the entries and their memory to the channel.
    bool HandOver(ChannelContext& context) {
        // Much room left (the count of a file whose records overlap, or the last step of
        // growth): an array of the right size.
        if ((entries_ == nullptr || capacity_ - count_ > count_ / 8 + 1) && !Grow(count_)) {
            return false;
        }
        context.symbols = entries_.release();
        context.elementSizes = elementSizes_.release();
        context.symbolCount = static_cast<int32_t>(count_);
        context.symbolArena = arena_.release();
        context.readNames = names_.release();
        return true;
    }

private:
    static constexpr size_t kFirstRoom = 1024;

    // Moves the entries to arrays of `room` items (at least the count); false when memory
    // is short or the size cannot be held.
    bool Grow(size_t room) {
        if (room < count_ || room > SIZE_MAX / sizeof(SymbolEntry)) {
            return false;
        }
        std::unique_ptr<SymbolEntry[]> entries(new (std::nothrow)
                                                   SymbolEntry[room == 0 ? 1 : room]);
        std::unique_ptr<uint8_t[]> sizes(new (std::nothrow) uint8_t[room == 0 ? 1 : room]);
        if (entries == nullptr || sizes == nullptr) {
            return false;
        }
        if (count_ != 0) {
            std::memcpy(entries.get(), entries_.get(), count_ * sizeof(SymbolEntry));
            std::memcpy(sizes.get(), elementSizes_.get(), count_);
        }
        entries_ = std::move(entries);
        elementSizes_ = std::move(sizes);
        capacity_ = room == 0 ? 1 : room;
        return true;
    }

    char* Shared(char*& copy, const char* text) {
        if (copy == nullptr) {
            copy = arena_->CopyText(text, std::strlen(text));
        }
        return copy;
    }

    const SdbTypeTable& types_;
    std::vector<char*> typeNames_; // by type index, made on first use
    char* placeholderName_ = nullptr;
    char* placeholderTypeName_ = nullptr;
    std::unique_ptr<SymbolEntry[]> entries_;
    std::unique_ptr<uint8_t[]> elementSizes_;
    size_t count_ = 0;
    size_t capacity_ = 0;
    std::unique_ptr<TableArena> arena_; // type names and placeholder names
    std::unique_ptr<TableArena> names_; // the variables' names as read
};

// One variable record at the read position, appended to `pending`.
bool ReadVariableRecord(KSerDev& device, const SdbTypeTable& types, PendingEntries& pending) {
    const long start = device.TellRead();
    uint8_t fixed[kVariableFixedSize];
    if (!ReadExact(device, fixed, kVariableFixedSize)) {
        return false;
    }
    SymbolEntry* entry = pending.Add();
    if (entry == nullptr) {
        return false;
    }
    if (Le32(fixed) != kVariableRecord) {
        // A record of another kind keeps its place as a placeholder. Its length must move
        // the reader forward (the next record may begin inside this one's fixed part): a
        // length of 0 would make every remaining count a placeholder of the same bytes.
        const uint32_t length = Le32(fixed + 4);
        entry->tag[0] = 'n';
        entry->tag[1] = '\0';
        return length != 0 && SkipTo(device, start, length) &&
               (entry->name = pending.PlaceholderName()) != nullptr &&
               (entry->typeName = pending.PlaceholderTypeName()) != nullptr;
    }
    const uint32_t typeIndex = Le32(fixed + 8);
    const std::optional<uint8_t> elementSize = ComputeElementSize(types, typeIndex);
    if (!elementSize) {
        return false;
    }
    std::memcpy(entry->tag, fixed + 16, 2);
    entry->area = Le16(fixed + 18);
    entry->offset = Le32(fixed + 20);
    entry->size = types[typeIndex].size;
    pending.ElementSizeOfLast() = *elementSize;
    entry->name = ReadName(device, Le16(fixed + 24), pending.Names());
    entry->typeName = pending.TypeName(typeIndex);
    return entry->name != nullptr && entry->typeName != nullptr;
}

bool ReadVariables(KSerDev& device, const SdbTypeTable& types, ChannelContext& context) {
    SectionHeader header{};
    if (!FindSection(device, kVariablesSection, header) || header.value > INT32_MAX) {
        return false;
    }
    PendingEntries pending(types);
    if (!pending.ok()) {
        return false;
    }
    // Every record takes at least its fixed part, but records may overlap: the room is
    // made for what the rest of the file can hold at that size, and grows beyond it.
    const long defined = device.GetMaxDefinedSerDev();
    const long position = device.TellRead();
    if (defined > position && position >= 0) {
        const auto fitting = static_cast<uint32_t>((defined - position) / kVariableFixedSize);
        pending.Reserve(fitting < header.value ? fitting : header.value);
    }
    for (uint32_t i = 0; i < header.value; ++i) {
        if (!ReadVariableRecord(device, types, pending)) {
            return false;
        }
    }
    return pending.HandOver(context);
}

} // namespace

int32_t ReadSdbProjectId(KSerDev& device) {
    long got = 0;
    const SectionHeader header = ReadSectionHeader(device, got);
    if (got != kSectionHeaderSize || header.kind != kHeaderSection || header.version > 1) {
        return 0;
    }
    return static_cast<int32_t>(header.value);
}

bool ReadSdbTypes(KSerDev& device, uint32_t& projectId, SdbTypeTable& types) {
    types.clear();
    const long start = device.TellRead();
    long got = 0;
    const SectionHeader fileHeader = ReadSectionHeader(device, got);
    if (got != kSectionHeaderSize || fileHeader.kind != kHeaderSection || fileHeader.version > 1 ||
        !SeekTo(device, start, fileHeader.length)) {
        return false;
    }
    projectId = fileHeader.value;
    SectionHeader header{};
    if (!FindSection(device, kTypesSection, header)) {
        return false;
    }
    // The table grows with the records really read, never ahead of them.
    for (uint32_t i = 0; i < header.value; ++i) {
        types.emplace_back();
        if (!ReadTypeRecord(device, types.back())) {
            types.clear();
            return false;
        }
    }
    return true;
}

int ReadSdbFile(KSerDev& device, ChannelContext& context) {
    uint32_t projectId = 0;
    SdbTypeTable types;
    const bool typesRead = ReadSdbTypes(device, projectId, types);
    context.projectId.store(static_cast<int32_t>(projectId));
    return typesRead && ReadVariables(device, types, context) ? 1 : 0;
}

} // namespace ksym
