#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "extern/kutil.h"
#include "frame/channel_context.h"
#include "formats/sdb_writer.h"
#include "symbols/sdb_reader.h"
#include "symbols/symbol_table.h"

namespace {

using formats::SdbType;
using formats::SdbVariable;
using formats::SdbWriter;

// Reads `bytes` into a fresh table; the table is released at the end of the test.
class SdbReaderTest : public ::testing::Test {
protected:
    void TearDown() override { ksym::ClearSymbolTable(context_); }

    int Read(std::vector<uint8_t> bytes) {
        ksym::ClearSymbolTable(context_);
        bytes.push_back(0); // a KMemSerDev needs memory even for an empty file
        KMemSerDev device(reinterpret_cast<char*>(bytes.data()),
                          static_cast<long>(bytes.size() - 1), SD_READ);
        return ksym::ReadSdbFile(device, context_);
    }
    void ExpectRefused(const std::vector<uint8_t>& bytes) {
        EXPECT_EQ(Read(bytes), 0);
        EXPECT_EQ(context_.symbolCount, 0);
        EXPECT_EQ(context_.symbols, nullptr);
        EXPECT_EQ(context_.elementSizes, nullptr);
    }
    const SymbolEntry& Entry(int i) const { return context_.symbols[i]; }

    ksym::ChannelContext context_;
};

// Types 0..7: every code the reader tells apart, arrays of each kind and a skipped record.
std::vector<uint8_t> EveryKind(uint32_t version = 1) {
    SdbWriter w;
    w.BeginSection(formats::kSdbHeaderSection, version, 0xCAFE0001);
    w.BeginSection(77, 0, 0); // an unknown section, skipped by its length
    w.AddRaw({1, 2, 3});
    w.BeginSection(formats::kSdbTypesSection, version, 9);
    w.AddType({4, 4, "DINT", 0, 0, {}, 0});                               // 0
    w.AddType({formats::kSdbCodeDataBlock, 40, "DB40", 0, 0, {}, 9});     // 1
    w.AddType({formats::kSdbCodeArray, 16, "DINTARR4", 0, 4, {}, 0});     // 2
    w.AddType({formats::kSdbCodeArray, 80, "DBARR2", 1, 2, {}, 0});       // 3
    w.AddType({formats::kSdbCodeArray, 32, "ARRARR2", 2, 2, {}, 0});      // 4
    w.AddType({formats::kSdbCodeString, 260, "STR259", 0, 0, {}, 0});     // 5
    w.AddSkippedType(6, {9, 9, 9, 9});                                    // 6
    w.AddType({formats::kSdbCodePlain8, 8, "EIGHT", 0, 0, {}, 0});        // 7
    w.AddType({formats::kSdbCodeExtra23, 6, "TWENTYTHREE", 0, 0, {}, 5}); // 8
    w.BeginSection(88, 0, 0);
    w.BeginSection(formats::kSdbVariablesSection, version, 10);
    const char* names[] = {"V.Dint", "V.Db",      "V.DintArr", "V.DbArr",      "V.ArrArr",
                           "V.Str",  "V.Skipped", "V.Eight",   "V.TwentyThree"};
    for (uint32_t i = 0; i < 9; ++i) {
        w.AddVariable({names[i], i, static_cast<uint16_t>(0x6100 + i), 2, 100 * i});
    }
    w.AddSkippedVariable(6, {1, 2, 3, 4});
    return w.Take();
}

TEST_F(SdbReaderTest, EveryTypeCodeGetsItsSizeTypeNameAndElementSize) {
    ASSERT_EQ(Read(EveryKind()), 1);
    EXPECT_EQ(context_.projectId.load(), static_cast<int32_t>(0xCAFE0001));
    ASSERT_EQ(context_.symbolCount, 10);
    struct Expected {
        const char* typeName;
        uint32_t size;
        uint8_t elementSize;
    };
    const Expected expected[] = {{"DINT", 4, 4},  {"DATA", 40, 0}, {"DINTARR4", 16, 4},
                                 {"DATA", 80, 0}, {"DATA", 32, 4}, {"STR259", 260, 4},
                                 {"NONE", 0, 0},  {"EIGHT", 8, 0}, {"TWENTYTHREE", 6, 6}};
    for (int i = 0; i < 9; ++i) {
        SCOPED_TRACE(i);
        EXPECT_STREQ(Entry(i).typeName, expected[i].typeName);
        EXPECT_EQ(Entry(i).size, expected[i].size);
        EXPECT_EQ(context_.elementSizes[i], expected[i].elementSize);
        EXPECT_EQ(Entry(i).area, 2);
        EXPECT_EQ(Entry(i).offset, 100u * static_cast<uint32_t>(i));
        EXPECT_EQ(Entry(i).tag[0], 0x00 + i);
        EXPECT_EQ(Entry(i).tag[1], 0x61);
    }
    EXPECT_STREQ(Entry(0).name, "V.Dint");
    // The record of another kind is a placeholder and the reader goes on after it.
    EXPECT_STREQ(Entry(9).name, "");
    EXPECT_STREQ(Entry(9).typeName, "NONE");
    EXPECT_EQ(Entry(9).tag[0], 'n');
    EXPECT_EQ(Entry(9).tag[1], 0);
    EXPECT_EQ(Entry(9).size, 0u);

    // Version 0 is read too; the project-id read agrees with the full read.
    EXPECT_EQ(Read(EveryKind(0)), 1);
    std::vector<uint8_t> bytes = EveryKind();
    KMemSerDev device(reinterpret_cast<char*>(bytes.data()), static_cast<long>(bytes.size()),
                      SD_READ);
    EXPECT_EQ(ksym::ReadSdbProjectId(device), static_cast<int32_t>(0xCAFE0001));
}

TEST_F(SdbReaderTest, SectionOrderHeaderVersionAndZeroLengthsDecide) {
    std::vector<uint8_t> bad = EveryKind(2);
    ExpectRefused(bad);
    KMemSerDev v2(reinterpret_cast<char*>(bad.data()), static_cast<long>(bad.size()), SD_READ);
    EXPECT_EQ(ksym::ReadSdbProjectId(v2), 0);
    std::vector<uint8_t> tiny(15, 0);
    tiny[0] = 1;
    KMemSerDev shortFile(reinterpret_cast<char*>(tiny.data()), 15, SD_READ);
    EXPECT_EQ(ksym::ReadSdbProjectId(shortFile), 0);

    { // The first section is not the header.
        SdbWriter w;
        w.BeginSection(formats::kSdbTypesSection, 1, 0);
        w.BeginSection(formats::kSdbVariablesSection, 1, 0);
        ExpectRefused(w.Take());
    }
    { // Variables before types: skipped while types are searched, then not found.
        SdbWriter w;
        w.BeginSection(formats::kSdbHeaderSection, 1, 5);
        w.BeginSection(formats::kSdbVariablesSection, 1, 0);
        w.BeginSection(formats::kSdbTypesSection, 1, 0);
        ExpectRefused(w.Take());
        EXPECT_EQ(context_.projectId.load(), 5); // the header was read before the refusal
    }
    { // An unknown section of length 0 on the way.
        SdbWriter w;
        w.BeginSection(formats::kSdbHeaderSection, 1, 5);
        const size_t odd = w.BeginSection(99, 0, 0);
        w.SetLength(odd, 0);
        w.BeginSection(formats::kSdbTypesSection, 1, 0);
        w.BeginSection(formats::kSdbVariablesSection, 1, 0);
        ExpectRefused(w.Take());
    }
    { // A section whose length points beyond what a file position can hold.
        SdbWriter w;
        w.BeginSection(formats::kSdbHeaderSection, 1, 5);
        const size_t huge = w.BeginSection(99, 0, 0);
        w.SetLength(huge, 0x80000000u);
        w.BeginSection(formats::kSdbTypesSection, 1, 0);
        w.BeginSection(formats::kSdbVariablesSection, 1, 0);
        ExpectRefused(w.Take());
    }
    { // No types and no variables: an empty table, read successfully.
        SdbWriter w;
        w.BeginSection(formats::kSdbHeaderSection, 1, 5);
        w.BeginSection(formats::kSdbTypesSection, 1, 0);
        w.BeginSection(formats::kSdbVariablesSection, 1, 0);
        EXPECT_EQ(Read(w.Take()), 1);
        EXPECT_EQ(context_.symbolCount, 0);
        EXPECT_NE(context_.symbols, nullptr);
    }
}

// A file with one type (possibly hostile) and one variable of type `typeIndex`.
std::vector<uint8_t> OneVariable(const std::vector<SdbType>& types, uint32_t typeIndex,
                                 uint32_t variableCount = 1) {
    SdbWriter w;
    w.BeginSection(formats::kSdbHeaderSection, 1, 1);
    w.BeginSection(formats::kSdbTypesSection, 1, static_cast<uint32_t>(types.size()));
    for (const SdbType& type : types) {
        w.AddType(type);
    }
    w.BeginSection(formats::kSdbVariablesSection, 1, variableCount);
    w.AddVariable({"X", typeIndex, 0, 1, 0});
    return w.Take();
}

TEST_F(SdbReaderTest, TypeIndexesOutsideTheTableAndEndlessArrayChainsAreRefused) {
    const SdbType dint{4, 4, "DINT", 0, 0, {}, 0};
    ASSERT_EQ(Read(OneVariable({dint}, 0)), 1);
    ExpectRefused(OneVariable({dint}, 1));
    ExpectRefused(OneVariable({dint}, 0xFFFFFFFF));
    // An array whose base lies outside the table.
    ExpectRefused(OneVariable({{formats::kSdbCodeArray, 4, "A", 7, 1, {}, 0}}, 0));
    // An array of itself, and two arrays of each other.
    ExpectRefused(OneVariable({{formats::kSdbCodeArray, 4, "A", 0, 1, {}, 0}}, 0));
    ExpectRefused(OneVariable({{formats::kSdbCodeArray, 4, "A", 1, 1, {}, 0},
                               {formats::kSdbCodeArray, 4, "B", 0, 1, {}, 0}},
                              0));
    // A long chain that does end is fine.
    std::vector<SdbType> chain;
    for (uint32_t i = 0; i < 50; ++i) {
        chain.push_back({formats::kSdbCodeArray, 4, "A" + std::to_string(i), i + 1, 0, {}, 0});
    }
    chain.push_back(dint);
    ASSERT_EQ(Read(OneVariable(chain, 0)), 1);
    EXPECT_EQ(context_.elementSizes[0], 4);
}

TEST_F(SdbReaderTest, EveryTruncationAndEveryLyingCountIsRefusedWithoutOverRead) {
    // Every proper prefix of a good file ends inside a header, a record or a name.
    const std::vector<uint8_t> whole = EveryKind();
    for (size_t length = 0; length < whole.size(); ++length) {
        SCOPED_TRACE(length);
        ExpectRefused(
            std::vector<uint8_t>(whole.begin(), whole.begin() + static_cast<long>(length)));
    }
    const SdbType dint{4, 4, "DINT", 0, 0, {}, 0};
    // Counts far beyond what the file holds: refused quickly, nothing huge allocated.
    ExpectRefused(OneVariable({dint}, 0, 0xFFFFFFFF));
    ExpectRefused(OneVariable({dint}, 0, 0x7FFFFFFF));
    std::vector<uint8_t> types = OneVariable({dint}, 0);
    types[16 + 12] = 0xFF; // the types section's record count becomes 0xFFFFFFFF
    types[16 + 13] = 0xFF;
    types[16 + 14] = 0xFF;
    types[16 + 15] = 0xFF;
    ExpectRefused(types);
    // An array that claims 0xFFFFFFFF items of per-item data.
    SdbWriter w;
    w.BeginSection(formats::kSdbHeaderSection, 1, 1);
    w.BeginSection(formats::kSdbTypesSection, 1, 1);
    const size_t array = w.Size();
    w.AddType({formats::kSdbCodeArray, 4, "A", 0, 0, {}, 0});
    w.Patch32(array + 18 + 2 + 4, 0xFFFFFFFF);
    w.BeginSection(formats::kSdbVariablesSection, 1, 0);
    ExpectRefused(w.Take());
}

TEST_F(SdbReaderTest, NamesMustEndInsideTheirLengthAndRecordsMustMoveForward) {
    const SdbType dint{4, 4, "DINT", 0, 0, {}, 0};
    std::vector<uint8_t> good = OneVariable({dint}, 0);
    ASSERT_EQ(Read(good), 1);
    // The variable's name "X\0" is the last two bytes; drop its terminator from the count.
    std::vector<uint8_t> unterminated = good;
    unterminated.pop_back();
    unterminated[unterminated.size() - 1 - 2] = 1; // name length 1: just "X"
    unterminated[unterminated.size() - 1 - 1] = 0;
    ExpectRefused(unterminated);
    // A name length of 0.
    std::vector<uint8_t> empty = good;
    empty.resize(empty.size() - 2);
    empty[empty.size() - 2] = 0;
    ExpectRefused(empty);
    // The terminator overwritten: "XY" of length 2, no zero among the counted bytes.
    std::vector<uint8_t> overwritten = OneVariable({dint}, 0);
    overwritten.back() = 'Y';
    ExpectRefused(overwritten);
    // Bytes 0x80 and up, and control bytes, are taken as stored.
    ASSERT_EQ(Read(OneVariable({{4, 4, "D\xE4\x01", 0, 0, {}, 0}}, 0)), 1);
    EXPECT_STREQ(Entry(0).typeName, "D\xE4\x01");

    // A type record of kind 4 whose length ends before its fields, and a skipped
    // variable record shorter than its fixed part: both would stall the reader.
    SdbWriter w;
    w.BeginSection(formats::kSdbHeaderSection, 1, 1);
    w.BeginSection(formats::kSdbTypesSection, 1, 1000000);
    const size_t type = w.Size();
    w.AddType(dint);
    w.Patch32(type + 4, 0);
    w.BeginSection(formats::kSdbVariablesSection, 1, 0);
    ExpectRefused(w.Take());

    SdbWriter v;
    v.BeginSection(formats::kSdbHeaderSection, 1, 1);
    v.BeginSection(formats::kSdbTypesSection, 1, 0);
    v.BeginSection(formats::kSdbVariablesSection, 1, 1000000);
    const size_t variable = v.Size();
    v.AddSkippedVariable(6, {});
    v.Patch32(variable + 4, 0);
    ExpectRefused(v.Take());
}

// What the format's own reader reads into a sound table loads, also where the records
// are unusual: names with bytes after their zero, placeholders shorter than their fixed
// part, records the reader skips that end exactly at the end of the file.
TEST_F(SdbReaderTest, UnusualButReadableFilesLoad) {
    const SdbType dint{4, 4, "DINT", 0, 0, {}, 0};
    { // Counted name bytes after the zero: the name is the text up to the zero.
        SdbWriter w;
        w.BeginSection(formats::kSdbHeaderSection, 1, 1);
        w.BeginSection(formats::kSdbTypesSection, 1, 1);
        w.AddType({4, 4, "DINQ", 0, 0, {}, 0});
        std::vector<uint8_t> bytes = w.Take();
        bytes[bytes.size() - 2] = 0; // "DIN\0Q": the type name is "DIN"
        bytes[bytes.size() - 1] = 'Q';
        SdbWriter v;
        v.BeginSection(formats::kSdbVariablesSection, 1, 1);
        v.AddVariable({"ABC", 0, 0x7A7A, 1, 8});
        std::vector<uint8_t> variables = v.Take();
        variables[variables.size() - 2] = 0; // "AB\0C"
        variables[variables.size() - 1] = 'C';
        bytes.insert(bytes.end(), variables.begin(), variables.end());
        ASSERT_EQ(Read(bytes), 1);
        ASSERT_EQ(context_.symbolCount, 1);
        EXPECT_STREQ(Entry(0).name, "AB");
        EXPECT_STREQ(Entry(0).typeName, "DIN");
        EXPECT_EQ(Entry(0).offset, 8u);
    }
    { // A placeholder of 10 bytes: the next record begins inside its fixed part. Then a
      // placeholder that ends exactly at the end of the file.
        SdbWriter w;
        w.BeginSection(formats::kSdbHeaderSection, 1, 1);
        w.BeginSection(formats::kSdbTypesSection, 1, 2);
        w.AddType(dint);
        w.AddSkippedType(7, {1, 2, 3}); // skipped, and ends where the variables begin
        w.BeginSection(formats::kSdbVariablesSection, 1, 3);
        w.AddRaw({6, 0, 0, 0, 10, 0, 0, 0, 0xEE, 0xEE});
        w.AddVariable({"Inside", 0, 0, 2, 12});
        w.AddSkippedVariable(9, {});
        ASSERT_EQ(Read(w.Take()), 1);
        ASSERT_EQ(context_.symbolCount, 3);
        EXPECT_STREQ(Entry(0).name, "");
        EXPECT_STREQ(Entry(0).typeName, "NONE");
        EXPECT_STREQ(Entry(1).name, "Inside");
        EXPECT_EQ(Entry(1).size, 4u);
        EXPECT_STREQ(Entry(2).typeName, "NONE");
    }
    { // But a placeholder whose length points beyond the file: the file was cut short.
        std::vector<uint8_t> cut = OneVariable({dint}, 0);
        SdbWriter w;
        w.AddSkippedVariable(9, {1, 2, 3, 4});
        std::vector<uint8_t> placeholder = w.Take();
        placeholder.resize(placeholder.size() - 1);
        cut.insert(cut.end(), placeholder.begin(), placeholder.end());
        const size_t count = 16 + 16 + 18 + 5 + 12; // the variables section's count field
        ASSERT_EQ(cut[count], 1);
        cut[count] = 2;
        ExpectRefused(cut);
    }
}

// Counts, lengths and sizes near 2^31 and 2^32: positions are summed in 64 bits, counts
// are checked against what the file holds, and nothing is allocated for what is not there
// (the i386 build runs this with a 32-bit size_t).
TEST_F(SdbReaderTest, CountsLengthsAndSizesNearTwoToThe31And32) {
    const SdbType dint{4, 4, "DINT", 0, 0, {}, 0};
    for (const uint32_t count : {0x80000000u, 0x80000001u, 0xFFFFFFFEu}) {
        SCOPED_TRACE(count);
        ExpectRefused(OneVariable({dint}, 0, count)); // more variables than records
        std::vector<uint8_t> types = OneVariable({dint}, 0);
        for (int k = 0; k < 4; ++k) {
            types[16 + 12 + k] = static_cast<uint8_t>(count >> (8 * k)); // the types' count
        }
        ExpectRefused(types);
    }
    // Array item data of 0x20000000 and 0x20000001 items: 8 bytes each would wrap a 32-bit
    // product to 0 and 8.
    for (const uint32_t items : {0x20000000u, 0x20000001u, 0x3FFFFFFFu}) {
        SdbWriter w;
        w.BeginSection(formats::kSdbHeaderSection, 1, 1);
        w.BeginSection(formats::kSdbTypesSection, 1, 1);
        const size_t array = w.Size();
        w.AddType({formats::kSdbCodeArray, 4, "A", 0, 0, {}, 0});
        w.Patch32(array + 18 + 2 + 4, items);
        w.BeginSection(formats::kSdbVariablesSection, 1, 0);
        ExpectRefused(w.Take());
    }
    // Record lengths that point 2 GiB or 4 GiB on, from a type record, a skipped type record
    // and a placeholder.
    for (const uint32_t length : {0x7FFFFFFFu, 0x80000000u, 0xFFFFFFF0u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(length);
        SdbWriter type;
        type.BeginSection(formats::kSdbHeaderSection, 1, 1);
        type.BeginSection(formats::kSdbTypesSection, 1, 1);
        const size_t record = type.Size();
        type.AddType(dint);
        type.Patch32(record + 4, length);
        type.BeginSection(formats::kSdbVariablesSection, 1, 0);
        ExpectRefused(type.Take());

        SdbWriter skipped;
        skipped.BeginSection(formats::kSdbHeaderSection, 1, 1);
        skipped.BeginSection(formats::kSdbTypesSection, 1, 1);
        const size_t other = skipped.Size();
        skipped.AddSkippedType(7, {});
        skipped.Patch32(other + 4, length);
        skipped.BeginSection(formats::kSdbVariablesSection, 1, 0);
        ExpectRefused(skipped.Take());

        SdbWriter placeholder;
        placeholder.BeginSection(formats::kSdbHeaderSection, 1, 1);
        placeholder.BeginSection(formats::kSdbTypesSection, 1, 0);
        placeholder.BeginSection(formats::kSdbVariablesSection, 1, 1);
        const size_t variable = placeholder.Size();
        placeholder.AddSkippedVariable(6, {});
        placeholder.Patch32(variable + 4, length);
        ExpectRefused(placeholder.Take());
    }
    // Type sizes are only copied: the largest ones load, with the low byte as element size.
    for (const uint32_t size : {0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
        ASSERT_EQ(Read(OneVariable({{4, size, "BIG", 0, 0, {}, 0}}, 0)), 1);
        EXPECT_EQ(Entry(0).size, size);
        EXPECT_EQ(context_.elementSizes[0], static_cast<uint8_t>(size & 0xFF));
    }
}

} // namespace
