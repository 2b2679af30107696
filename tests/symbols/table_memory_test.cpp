// How a symbol table holds its texts and index records: in arenas released with the table,
// one copy of each name, and the reader's room for entries grown past what the file's size
// suggests when its records overlap.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "extern/kutil.h"
#include "frame/channel_context.h"
#include "formats/sdb_writer.h"
#include "symbols/sdb_reader.h"
#include "symbols/symbol_index.h"
#include "symbols/symbol_ref.h"
#include "symbols/symbol_table.h"
#include "symbols/table_arena.h"

namespace {

using ksym::TableArena;

TEST(TableArenaTest, RecordsAreAlignedDistinctAndTheLastOneShrinks) {
    TableArena arena;
    // Shrinking the last record gives its end to the next one; an older one stays.
    char* text = arena.CopyText("abcdef", 6);
    ASSERT_STREQ(text, "abcdef");
    arena.ShrinkLast(text, 3);
    char* next = arena.CopyText("xy", 2);
    EXPECT_EQ(next, text + 3);
    arena.ShrinkLast(text, 0); // not the last record: nothing happens
    EXPECT_EQ(arena.CopyText("z", 1), next + 3);
    // Many records of odd sizes across several blocks: aligned, and none overlaps another.
    std::vector<std::pair<char*, size_t>> records;
    for (size_t i = 0; i < 5000; ++i) {
        const size_t size = 1 + (i * 37) % 300;
        const size_t alignment = size_t{1} << (i % 4);
        auto* record = static_cast<char*>(arena.Allocate(size, alignment));
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(record) % alignment, 0u);
        std::memset(record, static_cast<int>(i & 0xFF), size);
        records.emplace_back(record, size);
    }
    for (size_t i = 0; i < records.size(); ++i) {
        for (size_t b = 0; b < records[i].second; ++b) {
            ASSERT_EQ(static_cast<unsigned char>(records[i].first[b]), i & 0xFF) << i;
        }
    }
    // A record larger than any block gets one of its own (a region from the system).
    auto* large = static_cast<char*>(arena.Allocate(5u * 1024 * 1024, 8));
    ASSERT_NE(large, nullptr);
    large[0] = 1;
    large[5u * 1024 * 1024 - 1] = 2;
    // Sizes that cannot be held fail instead of wrapping.
    EXPECT_EQ(arena.Allocate(SIZE_MAX, 1), nullptr);
    EXPECT_EQ(arena.Allocate(SIZE_MAX - 7, 8), nullptr);
    EXPECT_EQ(arena.CopyText("", SIZE_MAX), nullptr);
}

// Reads `bytes` into `context`.
int Read(std::vector<uint8_t> bytes, ksym::ChannelContext& context) {
    bytes.push_back(0);
    KMemSerDev device(reinterpret_cast<char*>(bytes.data()), static_cast<long>(bytes.size() - 1),
                      SD_READ);
    return ksym::ReadSdbFile(device, context);
}

TEST(SymbolTableMemoryTest, EachNameIsHeldOnceAndRepeatedNamesKeepTheirOwnText) {
    formats::SdbWriter w;
    w.BeginSection(formats::kSdbHeaderSection, 1, 1);
    w.BeginSection(formats::kSdbTypesSection, 1, 2);
    w.AddType({4, 4, "DINT", 0, 0, {}, 0});
    w.AddType({2, 2, "INT", 0, 0, {}, 0});
    w.BeginSection(formats::kSdbVariablesSection, 1, 6);
    w.AddVariable({"Line1.Station2.Motor3.Speed", 0, 0, 1, 0});
    w.AddVariable({"LINE1.STATION2.MOTOR3.SPEED", 1, 0, 1, 4}); // the same name
    w.AddSkippedVariable(9, {});
    w.AddVariable({"Line1.Station2.Motor3.Speeds", 1, 0, 1, 8});
    w.AddSkippedVariable(9, {});
    w.AddVariable({"Short", 0, 0, 1, 12});
    ksym::ChannelContext context;
    ASSERT_EQ(Read(w.Take(), context), 1);
    ASSERT_EQ(context.symbolCount, 6);
    ASSERT_TRUE(ksym::BuildSymbolIndex(context));
    EXPECT_EQ(context.readNames, nullptr); // the reader's copies are gone
    const SymbolEntry* e = context.symbols;
    EXPECT_STREQ(e[0].name, "Line1.Station2.Motor3.Speed");
    EXPECT_STREQ(e[1].name, "LINE1.STATION2.MOTOR3.SPEED");
    EXPECT_STREQ(e[3].name, "Line1.Station2.Motor3.Speeds");
    EXPECT_STREQ(e[5].name, "Short");
    EXPECT_STREQ(e[2].name, "");
    EXPECT_STREQ(e[4].typeName, "NONE");
    // One text per type and one per placeholder kind, shared by the entries.
    EXPECT_EQ(e[0].typeName, e[5].typeName);
    EXPECT_EQ(e[1].typeName, e[3].typeName);
    EXPECT_STREQ(e[1].typeName, "INT");
    EXPECT_STREQ(e[4].name, "");
    // The name found is the first entry's, and its text is the index's own key: the
    // entry's name and the key are one copy.
    for (int i : {0, 3, 5}) {
        const auto* ref = static_cast<const ksym::SymbolRef*>(context.symbolIndex->Find(e[i].name));
        ASSERT_NE(ref, nullptr) << i;
        EXPECT_EQ(ref->GetEntry(), &e[i]);
    }
    const auto* first = static_cast<const ksym::SymbolRef*>(
        context.symbolIndex->Find("line1.station2.motor3.speed"));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->GetEntry(), &e[0]);
    EXPECT_EQ(first->GetElementSize(), 4);
    // The repeated name is a text of its own, still readable once the reader's are gone.
    EXPECT_NE(e[1].name, e[0].name);
    ksym::ClearSymbolTable(context);
    EXPECT_EQ(context.symbolArena, nullptr);
    EXPECT_EQ(context.symbols, nullptr);
}

TEST(SymbolTableMemoryTest, OverlappingRecordsBeyondTheFilesRoomStillLoad) {
    // Placeholders 4 bytes apart: the bytes 4,0,0,0 repeated make every record's kind and
    // length word 4, so each record's fixed part of 26 bytes overlaps the next ones. The
    // file holds six times the records its size suggests at 26 bytes each, so the room
    // made from that size is outgrown.
    constexpr uint32_t kCount = 3000;
    formats::SdbWriter w;
    w.BeginSection(formats::kSdbHeaderSection, 1, 1);
    w.BeginSection(formats::kSdbTypesSection, 1, 0);
    w.BeginSection(formats::kSdbVariablesSection, 1, kCount);
    std::vector<uint8_t> bytes = w.Take();
    for (uint32_t i = 0; i < kCount * 4 + 22; ++i) { // the last record ends at the end
        bytes.push_back(i % 4 == 0 ? 4 : 0);
    }
    ksym::ChannelContext context;
    ASSERT_EQ(Read(bytes, context), 1);
    ASSERT_EQ(context.symbolCount, static_cast<int32_t>(kCount));
    EXPECT_STREQ(context.symbols[kCount - 1].typeName, "NONE");
    EXPECT_EQ(context.symbols[0].name, context.symbols[kCount - 1].name);
    ASSERT_TRUE(ksym::BuildSymbolIndex(context));
    ksym::ClearSymbolTable(context);

    // One byte fewer: the last record's fixed part is cut short and the file is refused.
    bytes.pop_back();
    EXPECT_EQ(Read(bytes, context), 0);
    EXPECT_EQ(context.symbols, nullptr);
    ksym::ClearSymbolTable(context);
}

} // namespace
