// The SDB writer: the exact bytes of a whole file and of each kind of record.
#include <gtest/gtest.h>

#include <stdexcept>

#include "formats/sdb_writer.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(SdbWriterTest, WholeFileIsByteExact) {
    formats::SdbProject project;
    project.projectId = 0x11223344;
    project.types.push_back(formats::SdbType{formats::kSdbCodeString, 21, "S", 0, 0, {}, 20});
    project.variables.push_back(formats::SdbVariable{"V", 0, 0x6E62, 3, 0x00010203});
    const Bytes expected = {
        // header section: kind 1, length 16, version 1, project id
        1, 0, 0, 0, 16, 0, 0, 0, 1, 0, 0, 0, 0x44, 0x33, 0x22, 0x11,
        // types section: kind 2, length 16 + 24, version 1, one record
        2, 0, 0, 0, 40, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0,
        // type record: kind 4, length 24, code 13, size 21, name length 2, "S", extra 20
        4, 0, 0, 0, 24, 0, 0, 0, 13, 0, 0, 0, 21, 0, 0, 0, 2, 0, 'S', 0, 20, 0, 0, 0,
        // variables section: kind 3, length 16 + 28 (to the end of the file), one record
        3, 0, 0, 0, 44, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0,
        // variable record: kind 5, length 28, type 0, reserved, tag, area 3, offset,
        // name length 2, "V"
        5, 0, 0, 0, 28, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x62, 0x6E, 3, 0, 3, 2, 1, 0, 2, 0, 'V',
        0};
    EXPECT_EQ(formats::WriteSdb(project), expected);
}

TEST(SdbWriterTest, RecordPayloadsAndLengthsFollowTheKindAndCode) {
    formats::SdbWriter writer;
    // An array: item data shorter than count × 8 is zero-filled; `extra` is not written.
    writer.AddType(formats::SdbType{formats::kSdbCodeArray, 4, "A", 1, 2, {1, 2, 3}, 99});
    writer.AddType(formats::SdbType{5, 2, "I", 0, 0, {}, 99}); // plain: no payload
    writer.AddSkippedType(7, {0xAA, 0xBB});
    writer.AddSkippedVariable(6, {0xCC});
    const Bytes expected = {
        // array: 18 fixed + 2 name + base + count + 2 × 8 item bytes = 44
        4, 0, 0, 0, 44, 0, 0, 0, 9, 0, 0, 0, 4, 0, 0, 0, 2, 0, 'A', 0, 1, 0, 0, 0, 2, 0, 0, 0, 1, 2,
        3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 20, 0, 0, 0, 5, 0, 0, 0, 2, 0, 0, 0,
        2, 0, 'I', 0,
        // a type record of another kind counts only the body after its 18 fixed bytes
        7, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xAA, 0xBB,
        // a variable record of another kind counts from its start: 26 + 1
        6, 0, 0, 0, 27, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xCC};
    EXPECT_EQ(writer.Take(), expected);
}

TEST(SdbWriterTest, SectionLengthsAreAutomaticUnlessSetAndMisuseThrows) {
    formats::SdbWriter writer;
    const size_t first = writer.BeginSection(formats::kSdbHeaderSection, 1, 5);
    writer.SetLength(first, 0); // a hostile length stays as set
    writer.AddRaw({9, 9, 9});
    writer.BeginSection(formats::kSdbTypesSection, 1, 0);
    writer.AddRaw({8});
    EXPECT_THROW(writer.Patch32(writer.Size() - 3, 0), std::out_of_range) << "one byte over";
    EXPECT_THROW(writer.Patch32(SIZE_MAX - 1, 0), std::out_of_range) << "no wrap-around";
    formats::SdbVariable tooLong{std::string(formats::kSdbMaxNameLength + 1, 'x'), 0, 0, 0, 0};
    EXPECT_THROW(writer.AddVariable(tooLong), std::length_error);
    EXPECT_THROW(writer.AddType(formats::SdbType{5, 2, tooLong.name, 0, 0, {}, 0}),
                 std::length_error);
    EXPECT_EQ(writer.Size(), 36u) << "a refused record left bytes behind";

    const Bytes image = writer.Take();
    EXPECT_EQ(Bytes(image.begin() + 4, image.begin() + 8), Bytes({0, 0, 0, 0}));
    EXPECT_EQ(Bytes(image.begin() + 23, image.begin() + 27), Bytes({17, 0, 0, 0}));
    EXPECT_EQ(writer.Size(), 0u) << "Take leaves an empty writer";

    // The longest name fits: its length field holds 0xFFFF, the name and its terminator.
    writer.AddVariable(
        formats::SdbVariable{std::string(formats::kSdbMaxNameLength, 'x'), 0, 0, 0, 0});
    const Bytes longest = writer.Take();
    ASSERT_EQ(longest.size(), 26u + 0xFFFFu);
    EXPECT_EQ(longest[24], 0xFF);
    EXPECT_EQ(longest[25], 0xFF);
}

} // namespace
