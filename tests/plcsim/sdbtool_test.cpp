// sdbtool as a user runs it: exit codes, messages and the file it writes.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>

#include "formats/file_bytes.h"
#include "plcsim/project.h"
#include "formats/sdb_writer.h"
#include "plcsim_test_support.h"

namespace {

using plcsimtest::ScratchFile;

struct ToolRun {
    int exitCode;
    std::string out;
    std::string err;
};

std::string ReadText(const std::string& path) {
    std::vector<uint8_t> bytes;
    formats::ReadFileBytes(path, bytes);
    return std::string(bytes.begin(), bytes.end());
}

ToolRun Sdbtool(const std::string& arguments) {
    ScratchFile out(".out");
    ScratchFile err(".err");
    const std::string command = std::string("'") + KSYM_SDBTOOL + "' " + arguments + " >'" +
                                out.path() + "' 2>'" + err.path() + "'";
    const int status = std::system(command.c_str());
    return ToolRun{WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadText(out.path()),
                   ReadText(err.path())};
}

TEST(SdbtoolTest, BuildWritesTheFileOrSaysWhichLineIsWrong) {
    ScratchFile sdb(".sdb");
    const std::string sample = std::string("'") + KSYM_SAMPLE_DESCRIPTION_PATH + "'";
    ToolRun built = Sdbtool("build " + sample + " -o '" + sdb.path() + "'");
    EXPECT_EQ(built.exitCode, 0) << built.err;
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(formats::ReadFileBytes(sdb.path(), bytes));
    EXPECT_EQ(bytes, *plcsim::SampleProject().sdb) << "the tool and the simulator disagree";

    ScratchFile bad(".sdbdesc");
    std::ofstream(bad.path(), std::ios::binary) << "project P\nid 1\n\ntypo INT code 5 size 2\n";
    ScratchFile unwritten(".sdb");
    ToolRun refused = Sdbtool("build '" + bad.path() + "' -o '" + unwritten.path() + "'");
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.err, "sdbtool: 4: unknown keyword 'typo'\n");
    EXPECT_FALSE(std::ifstream(unwritten.path()).good()) << "nothing is written for a bad text";

    ToolRun unwritable = Sdbtool("build " + sample + " -o '" + sdb.path() + ".none/x.sdb'");
    EXPECT_EQ(unwritable.exitCode, 2);
    EXPECT_NE(unwritable.err.find("cannot write"), std::string::npos) << unwritable.err;
}

TEST(SdbtoolTest, DumpListsTheSectionsAndStopsAtTheFirstBadLength) {
    formats::SdbProject project;
    project.projectId = 0x2026120B;
    project.types.push_back(formats::SdbType{5, 2, "INT", 0, 0, {}, 0}); // a 22-byte record
    project.types.push_back(formats::SdbType{9, 8, "INTARR4", 0, 4, {}, 0});
    project.variables.push_back(formats::SdbVariable{"Counts", 1, 0, 3, 12});
    const std::vector<uint8_t> bytes = formats::WriteSdb(project);
    ScratchFile sdb(".sdb");
    std::string error;
    ASSERT_TRUE(formats::WriteFileBytes(sdb.path(), bytes, error));
    ToolRun dump = Sdbtool("dump '" + sdb.path() + "'");
    EXPECT_EQ(dump.exitCode, 0) << dump.err;
    // The sections, then types and variables as the library's reader sees them.
    EXPECT_EQ(dump.out, "offset 0: kind 1 (header), length 16, version 1, value 0x2026120B\n"
                        "offset 16: kind 2 (types), length 104, version 1, value 2\n"
                        "offset 120: kind 3 (variables), length 49, version 1, value 1\n"
                        "project id 0x2026120b\n"
                        "types: 2\n"
                        "  [0] INT code 5 size 2 element 2 as \"INT\"\n"
                        "  [1] INTARR4 code 9 size 8 base 0 count 4 element 2 as \"INTARR4\"\n"
                        "variables: 1\n"
                        "  [0] Counts : INTARR4 area 3 offset 12 size 8 element 2\n");

    // The sections before a fault are listed; the fault is named with its offset. A zero
    // length must not loop.
    std::vector<uint8_t> zero = bytes;
    zero[16 + 4] = 0;
    for (const auto& image : {std::vector<uint8_t>(bytes.begin(), bytes.end() - 1), zero}) {
        ASSERT_TRUE(formats::WriteFileBytes(sdb.path(), image, error));
        ToolRun failed = Sdbtool("dump '" + sdb.path() + "'");
        EXPECT_EQ(failed.exitCode, 1);
        EXPECT_EQ(failed.err.substr(failed.err.find("offset")),
                  image == zero
                      ? "offset 16: length 0 is shorter than a section header\n"
                      : "offset 120: length 49 reaches past the end of the file (48 bytes left)\n");
        EXPECT_EQ(failed.out.find(image == zero ? "offset 16" : "offset 120"), std::string::npos);
    }
    EXPECT_EQ(Sdbtool("dump '" + sdb.path() + ".missing'").exitCode, 2);
}

} // namespace
