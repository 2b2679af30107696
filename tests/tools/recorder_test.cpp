// The recorder's lines without a station: a snapshot first and after a gap, then only what
// changed, counts that agree with the records, times that never go back, and the lines read
// back as the same recording. Also the byte-order and variable rules it applies.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "formats/recording.h"
#include "tools/ksym/recorder.h"

namespace {

using formats::Record;
using ksymtool::RecordedBytes;
using ksymtool::Recorder;

formats::RecordingHeader TwoVariables() {
    formats::RecordingHeader header;
    header.started = "2026-12-09T10:00:00.000Z";
    header.station = "sim";
    header.projectName = "P.PRO";
    header.sdb = {1, 2, 3};
    header.variables = {{"A", "INT", 1, 0, 2}, {"%IX0.1", "BOOL", 1, 1, 0}};
    return header;
}

TEST(Recorder, WritesASnapshotThenChangesAndAGapStartsOverWithASnapshot) {
    std::string text;
    Recorder recorder(TwoVariables(), [&](const std::string& line) {
        text += line;
        return true;
    });
    ASSERT_TRUE(recorder.Begin());
    const RecordedBytes a1 = std::vector<uint8_t>{0, 1};
    const RecordedBytes a2 = std::vector<uint8_t>{0, 2};
    const RecordedBytes on = std::vector<uint8_t>{1};
    EXPECT_TRUE(recorder.Read(0, "2026-12-09T10:00:00.000Z", {a1, on}));
    EXPECT_TRUE(recorder.Read(100, "2026-12-09T10:00:00.100Z", {a1, on}));           // nothing
    EXPECT_TRUE(recorder.Read(200, "2026-12-09T10:00:00.200Z", {a2, on}));           // A
    EXPECT_TRUE(recorder.Read(300, "2026-12-09T10:00:00.300Z", {std::nullopt, on})); // A lost
    EXPECT_TRUE(recorder.Gap(400, "2026-12-09T10:00:00.400Z", "no answer"));
    EXPECT_TRUE(recorder.Read(350, "2026-12-09T10:00:00.350Z", {a2, on})); // clock stepped back
    EXPECT_TRUE(recorder.End(600, "2026-12-09T10:00:00.600Z"));
    EXPECT_EQ(recorder.records(), 6u);
    EXPECT_EQ(recorder.changes(), 2u);
    EXPECT_EQ(recorder.gaps(), 1u);
    EXPECT_EQ(recorder.bytes(), text.size());

    formats::Recording read;
    std::string error;
    ASSERT_TRUE(formats::ParseRecording(text, read, error)) << error << "\n" << text;
    EXPECT_EQ(read.header, recorder.header());
    ASSERT_EQ(read.records.size(), 7u);
    const auto kinds = [&] {
        std::vector<Record::Kind> all;
        for (const Record& record : read.records) {
            all.push_back(record.kind);
        }
        return all;
    }();
    EXPECT_EQ(kinds, (std::vector<Record::Kind>{Record::Kind::Snapshot, Record::Kind::Changes,
                                                Record::Kind::Changes, Record::Kind::Changes,
                                                Record::Kind::Gap, Record::Kind::Snapshot,
                                                Record::Kind::End}));
    EXPECT_EQ(read.records[0].values.size(), 2u);
    EXPECT_TRUE(read.records[1].values.empty());
    ASSERT_EQ(read.records[2].values.size(), 1u);
    EXPECT_EQ(read.records[2].values[0].bytes, (std::vector<uint8_t>{0, 2}));
    ASSERT_EQ(read.records[3].values.size(), 1u);
    EXPECT_FALSE(read.records[3].values[0].present);
    EXPECT_EQ(read.records[4].reason, "no answer");
    EXPECT_EQ(read.records[5].t, 400u) << "a record's time never goes back";
    EXPECT_EQ(read.records[5].values.size(), 2u);
    EXPECT_EQ(read.records[6].records, 6u);
    EXPECT_EQ(read.records[6].changes, 2u);
    EXPECT_EQ(read.records[6].gaps, 1u);

    // A sink that fails stops the recorder's success.
    Recorder failing(TwoVariables(), [](const std::string&) { return false; });
    EXPECT_FALSE(failing.Begin());
}

TEST(Recorder, VariablesAndTheirConversionFollowTheLibrarysRules) {
    std::vector<formats::SdbSymbol> symbols(4);
    symbols[0] = {"", "NONE", 0, 0, 0, 0}; // a placeholder never matches
    symbols[1] = {"Line.Speeds", "INTARR4", 1, 8, 8, 2};
    symbols[2] = {"LINE.SPEEDS", "DINT", 2, 0, 4, 4};
    symbols[3] = {"%MW2", "DWORD", 3, 0, 4, 4};
    formats::RecordedVariable variable;
    uint8_t element = 9;
    ASSERT_TRUE(ksymtool::RecordedVariableOf("line.speeds", "INTARR4", symbols, variable, element));
    EXPECT_EQ(variable, (formats::RecordedVariable{"line.speeds", "INTARR4", 1, 8, 8}))
        << "the first name equal in any case";
    EXPECT_EQ(element, 2);
    // A direct address is its own place; a symbol of its name gives the conversion unit.
    ASSERT_TRUE(ksymtool::RecordedVariableOf("%MW2", "WORD", symbols, variable, element));
    EXPECT_EQ(variable, (formats::RecordedVariable{"%MW2", "WORD", 0, 4, 2}));
    EXPECT_EQ(element, 4);
    ASSERT_TRUE(ksymtool::RecordedVariableOf("%IX1.2", "BOOL", symbols, variable, element));
    EXPECT_EQ(variable, (formats::RecordedVariable{"%IX1.2", "BOOL", 1, 18, 0}));
    EXPECT_EQ(element, 0);
    EXPECT_FALSE(ksymtool::RecordedVariableOf("Nothing", "INT", symbols, variable, element));
    EXPECT_FALSE(ksymtool::RecordedVariableOf("", "INT", symbols, variable, element));

    std::vector<uint8_t> value = {1, 2, 3, 4, 5, 6};
    ksymtool::ReverseElements(value, 2);
    EXPECT_EQ(value, (std::vector<uint8_t>{2, 1, 4, 3, 6, 5}));
    ksymtool::ReverseElements(value, 4); // does not divide the size: left alone
    EXPECT_EQ(value, (std::vector<uint8_t>{2, 1, 4, 3, 6, 5}));
    ksymtool::ReverseElements(value, 1);
    ksymtool::ReverseElements(value, 0);
    EXPECT_EQ(value, (std::vector<uint8_t>{2, 1, 4, 3, 6, 5}));
    ksymtool::ReverseElements(value, 6);
    EXPECT_EQ(value, (std::vector<uint8_t>{5, 6, 3, 4, 1, 2}));
}

} // namespace
