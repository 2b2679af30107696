// The project description parser, and the sample project's description it builds from.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

#include "plcsim/project.h"
#include "plcsim/sample_description.h"
#include "formats/sdb_description.h"

namespace {

using formats::SdbDescription;

TEST(SdbDescriptionTest, ParsesEveryFieldAndResolvesTypeNames) {
    const std::string text = "# a comment line\r\n"
                             "\n"
                             "project  LINE.PRO   # trailing comment\r\n"
                             "id 0xDEADbeef\n"
                             "version 0\n"
                             "type INT code 5 size 2\n"
                             "type STR8 size 9 code 13 extra 0x8\n"
                             "type ROW code 9 size 8 base INT count 4\n"
                             "type GRID code 9 size 24 count 3 base ROW\n"
                             "var a.b type GRID area 65535 offset 4294967295 tag 0x6E62\n"
                             "\tvar\tA.B type STR8 offset 010 area 0"; // no final newline
    SdbDescription parsed;
    std::string error;
    ASSERT_TRUE(formats::ParseSdbDescription(text, parsed, error)) << error;
    EXPECT_EQ(parsed.projectName, "LINE.PRO");
    EXPECT_EQ(parsed.project.projectId, 0xDEADBEEFu);
    EXPECT_EQ(parsed.project.version, 0u);
    const auto& types = parsed.project.types;
    ASSERT_EQ(types.size(), 4u);
    EXPECT_EQ(types[1].extra, 8u);
    EXPECT_EQ(types[2].baseIndex, 0u);
    EXPECT_EQ(types[2].itemCount, 4u);
    EXPECT_EQ(types[3].baseIndex, 2u);
    const auto& variables = parsed.project.variables;
    ASSERT_EQ(variables.size(), 2u);
    EXPECT_EQ(variables[0].typeIndex, 3u);
    EXPECT_EQ(variables[0].area, 0xFFFF);
    EXPECT_EQ(variables[0].offset, 0xFFFFFFFFu);
    EXPECT_EQ(variables[0].tag, 0x6E62);
    EXPECT_EQ(variables[1].name, "A.B") << "names that differ by case are two variables";
    EXPECT_EQ(variables[1].offset, 10u) << "a leading zero is still decimal";
    EXPECT_EQ(variables[1].tag, 0u);

    ASSERT_TRUE(formats::ParseSdbDescription("project P\nid 1\n", parsed, error)) << error;
    EXPECT_EQ(parsed.project.version, 1u) << "the default version";
    EXPECT_TRUE(parsed.project.types.empty()) << "a second parse starts afresh";
}

TEST(SdbDescriptionTest, ErrorsNameTheLineAndTheFault) {
    const std::string head = "# header\nproject P\nid 1\ntype INT code 5 size 2\n"; // lines 1-4
    const std::pair<std::string, std::string> cases[] = {
        {head + "\nfoo bar\n", "6: unknown keyword 'foo'"},
        {"project P\nid 0x1G\n", "2: 'id' needs a number from 0 to 4294967295, not '0x1G'"},
        {"project P\nid 4294967296\n", "2: 'id' needs a number"},
        {"project P\nid -1\n", "2: 'id' needs a number"},
        {"project P\nid 1\nid 2\n", "3: a second 'id' line"},
        {"project P\nid 1\nversion 2\n", "3: 'version' needs a number from 0 to 1"},
        {head + "var X type INT area 65536 offset 0\n",
         "5: 'area' needs a number from 0 to 65535, not '65536'"},
        {head + "var X type INT area 1 offset 0 tag 0x10000\n", "5: 'tag' needs a number"},
        {head + "var X type REAL area 1 offset 0\n",
         "5: type 'REAL' is not declared before this line"},
        {head + "var X type INT offset 0\n", "5: 'area' is missing"},
        {head + "var X type INT area 1 offset\n", "5: 'offset' needs a value"},
        {head + "var X type INT area 1 area 2 offset 0\n", "5: 'area' given twice"},
        {head + "var X type INT area 1 offset 0\nvar X type INT area 1 offset 2\n",
         "6: variable 'X' is declared twice"},
        {head + "type A code 9 size 4 base REAL count 2\ntype REAL code 7 size 4\n",
         "5: type 'REAL' is not declared before this line"},
        {head + "type INT code 5 size 2\n", "5: type 'INT' is declared twice"},
        {head + "type B code 1 size 1 base INT\n", "5: 'base' and 'count' are only for arrays"},
        {head + "type B code 5 size 2 extra 3\n", "5: 'extra' is only for codes 11, 13 and 23"},
        {head + "type A code 9 size 2 base INT count 1048577\n",
         "5: 'count' needs a number from 0 to 1048576"},
        {head + "type A code 9 size 2 base INT count 1048576\n" +
             "type B code 9 size 2 base INT count 1048576\n" +
             "type C code 9 size 2 base INT count 1048576\n" +
             "type D code 9 size 2 base INT count 1048575\n" +
             "type E code 9 size 2 base INT count 2\n",
         "9: the arrays hold more than 4194304 items in all"},
        {"id 1\n\n# no project\n", "3: the description has no 'project' line"},
        {head + std::string("var \"A\0B\" type INT area 1 offset 0\n", 35),
         "5: a name holds a NUL byte"},
        {head + std::string("type I\0NT2 code 5 size 2\n", 25), "5: a name holds a NUL byte"},
        {std::string("project \"P\0Q\"\nid 1\n", 19), "1: a name holds a NUL byte"},
        {"", "1: the description has no 'project' line"},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        SdbDescription parsed;
        parsed.projectName = "untouched";
        std::string error;
        EXPECT_FALSE(formats::ParseSdbDescription(text, parsed, error));
        EXPECT_EQ(error.substr(0, expected.size()), expected) << error;
        EXPECT_EQ(parsed.projectName, "untouched") << "a failed parse changes nothing";
    }
}

TEST(SdbDescriptionTest, SampleProjectIsCompleteAndServedWhole) {
    std::ifstream file(KSYM_SAMPLE_DESCRIPTION_PATH, std::ios::binary);
    std::ostringstream onDisk;
    onDisk << file.rdbuf();
    const std::string text = plcsim::SampleDescriptionText();
    EXPECT_EQ(text, onDisk.str()) << "the embedded text is stale";
    SdbDescription sample;
    std::string error;
    ASSERT_TRUE(formats::ParseSdbDescription(text, sample, error)) << error;

    // Every code the reader tells apart, and arrays of arrays, data blocks and integers.
    std::set<uint32_t> codes;
    std::set<uint32_t> arrayBases;
    for (const formats::SdbType& type : sample.project.types) {
        codes.insert(type.code);
        if (type.code == formats::kSdbCodeArray) {
            arrayBases.insert(sample.project.types.at(type.baseIndex).code);
        }
    }
    for (uint32_t code : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 11u, 13u, 21u, 23u, 24u}) {
        EXPECT_EQ(codes.count(code), 1u) << "no type of code " << code;
    }
    EXPECT_EQ(arrayBases, (std::set<uint32_t>{5, 9, 11}));
    std::set<std::string> names;
    for (const formats::SdbVariable& variable : sample.project.variables) {
        names.insert(variable.name);
    }
    EXPECT_GE(names.size(), 30u);
    EXPECT_EQ(names.count("Line1.Mode") + names.count("LINE1.MODE"), 2u);
    EXPECT_EQ(names.count("Line1.Station2.Motor3.Speed"), 1u);

    // The simulator serves exactly this description's file.
    const plcsim::Project project = plcsim::SampleProject();
    EXPECT_EQ(project.fileName, "SAMPLE.PRO");
    EXPECT_EQ(project.id, 0x2026120B);
    ASSERT_NE(project.sdb, nullptr);
    EXPECT_EQ(*project.sdb, formats::WriteSdb(sample.project));
}

} // namespace
