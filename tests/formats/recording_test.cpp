#include <gtest/gtest.h>

#include <string>

#include "formats/recording.h"

namespace {

using formats::ParseRecording;
using formats::Record;
using formats::RecordedValue;
using formats::Recording;

RecordedValue Value(uint32_t variable, std::vector<uint8_t> bytes) {
    return RecordedValue{variable, true, std::move(bytes)};
}

// A recording with every kind of record, texts with bytes beyond ASCII, a bit, a missing
// value, and an SDB file whose length is not a multiple of three.
Recording Sample() {
    Recording r;
    r.header.started = "2026-12-09T10:00:00.000Z";
    r.header.station = "tcp:127.0.0.1:1200";
    r.header.projectName = "SAMPLE.PRO";
    r.header.projectId = 0xFEDCBA98u;
    r.header.projectNumber = 7;
    r.header.texts = {"SAMPLE", "1.0", std::string("K\xE4se\xFF", 5), "", "2026-01-01"};
    r.header.bigEndian = true;
    r.header.blockSize = 1024;
    r.header.sdb = {0x00, 0xFF, 0x10, 0x80, 0x7F};
    r.header.variables = {{"Line1.Speed", "INT", 0, 4, 2},
                          {std::string("Ofen\xB0", 5), "BOOL", 1, 18, 0},
                          {"Text", "STRING", 0, 100, 4}};
    Record snapshot;
    snapshot.kind = Record::Kind::Snapshot;
    snapshot.time = "2026-12-09T10:00:00.000Z";
    snapshot.values = {Value(0, {0x00, 0xC8}), Value(1, {1}), RecordedValue{2, false, {}}};
    Record changes;
    changes.kind = Record::Kind::Changes;
    changes.t = 100;
    changes.time = "2026-12-09T10:00:00.100Z";
    changes.values = {Value(0, {0x00, 0xC9}), Value(2, {'a', 'b', 0, 0})};
    Record quiet = changes;
    quiet.t = 200;
    quiet.values.clear();
    Record gap;
    gap.kind = Record::Kind::Gap;
    gap.t = 300;
    gap.reason = "the station did not answer";
    Record again = snapshot;
    again.t = 2300;
    Record end;
    end.kind = Record::Kind::End;
    end.t = 2400;
    end.records = 5;
    end.changes = 2;
    end.gaps = 1;
    r.records = {snapshot, changes, quiet, gap, again, end};
    return r;
}

std::string Text(const Recording& r) {
    std::string text = formats::HeaderLine(r.header);
    for (const Record& record : r.records) {
        text += formats::RecordLine(r.header, record);
    }
    return text;
}

TEST(Recording, WrittenAndReadAgainGivesTheSameRecordsAndTheSameText) {
    const Recording sample = Sample();
    const std::string text = Text(sample);
    Recording read;
    std::string error;
    ASSERT_TRUE(ParseRecording(text, read, error)) << error;
    EXPECT_TRUE(read == sample);
    EXPECT_EQ(Text(read), text);
    // Bytes beyond ASCII are characters U+0080..U+00FF; values are upper-case hexadecimal.
    EXPECT_NE(text.find("K\xC3\xA4se\xC3\xBF"), std::string::npos);
    EXPECT_NE(text.find("\"Line1.Speed\":\"00C8\""), std::string::npos);
    EXPECT_NE(text.find("\"Text\":null"), std::string::npos);
    EXPECT_NE(text.find("\"sdb\":\"AP8QgH8=\""), std::string::npos);
    // Lower-case hexadecimal and keys in another order read the same.
    std::string lower = text;
    const size_t at = lower.find("00C9");
    lower.replace(at, 4, "00c9");
    ASSERT_TRUE(ParseRecording(lower, read, error)) << error;
    EXPECT_TRUE(read == sample);
}

// `text` with the first `from` replaced by `to`.
std::string With(std::string text, const std::string& from, const std::string& to) {
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

TEST(Recording, BadRecordingsAreRefusedWithTheLineAndTheReason) {
    const std::string good = Text(Sample());
    const std::string header = good.substr(0, good.find('\n') + 1);
    const std::string end = "{\"t\":9000,\"time\":\"x\",\"end\":{\"records\":1,\"changes\":0,"
                            "\"gaps\":0}}\n";
    const std::string snap = "{\"t\":0,\"time\":\"x\",\"snapshot\":{\"Line1.Speed\":\"0001\","
                             "\"Ofen\xC2\xB0\":\"00\",\"Text\":null}}\n";
    struct Case {
        std::string text;
        std::string error;
    };
    const Case cases[] = {
        {good.substr(0, good.size() - 1), "line 7: the last line has no line feed"},
        {good.substr(0, good.rfind("\n{") + 1), "line 7: the end record is missing"},
        {"", "line 1: the end record is missing"},
        {With(good, "\"version\":1", "\"version\":2"),
         "line 1: a recording of version 2; this program reads version 1"},
        {With(good, "\"recording\":\"ksym\"", "\"recording\":\"other\""),
         "line 1: not a ksym recording"},
        {With(good, "\"blockSize\":1024,", ""), "line 1: \"blockSize\" is missing"},
        {With(good, "\"blockSize\":1024", "\"blockSize\":-1"),
         "line 1: \"blockSize\" is not an unsigned number"},
        {With(good, "\"area\":1,", "\"area\":65536,"), "line 1: \"area\" is larger than 65535"},
        {With(good, "\"sdb\":\"AP8QgH8=\"", "\"sdb\":\"AP8Q=H8=\""),
         "line 1: \"sdb\" is not base64"},
        {With(good, "\"byteOrder\":\"big\"", "\"byteOrder\":\"middle\""),
         "line 1: \"byteOrder\" is neither"},
        {With(good, "\"SAMPLE\"", "\"\\u0100\""),
         "line 1: a text of the project identification is no text of bytes"},
        {With(good, "\"name\":\"Text\"", "\"name\":\"Line1.Speed\""),
         "line 1: the variable 'Line1.Speed' is recorded twice"},
        {header + "[1,2]\n" + end, "line 2: not a JSON object"},
        {header + "{\"t\":0,\"time\":\"x\",\"changes\":{}}\n" + end,
         "line 2: changes without a snapshot before them"},
        {header + "{\"t\":0,\"time\":\"x\",\"snapshot\":{\"Line1.Speed\":\"0001\"}}\n" + end,
         "line 2: the snapshot lacks 2 of the recorded variables"},
        {header + snap + "{\"t\":5,\"time\":\"x\",\"changes\":{\"Nope\":\"00\"}}\n" + end,
         "line 3: 'Nope' is not a recorded variable"},
        {header + snap + "{\"t\":5,\"time\":\"x\",\"changes\":{\"Line1.Speed\":\"000102\"}}\n" +
             end,
         "line 3: the value of 'Line1.Speed' has 3 bytes, its variable 2"},
        {header + snap + "{\"t\":5,\"time\":\"x\",\"changes\":{\"Line1.Speed\":\"00G1\"}}\n" + end,
         "line 3: the value of 'Line1.Speed' is not hexadecimal"},
        {header + With(snap, "\"t\":0", "\"t\":50") + "{\"t\":40,\"time\":\"x\",\"changes\":{}}\n" +
             end,
         "line 3: the time 40 ms comes before the record before it (50 ms)"},
        {header + snap + "{\"t\":5,\"time\":\"x\",\"gap\":\"lost\"}\n" +
             "{\"t\":6,\"time\":\"x\",\"changes\":{}}\n" + end,
         "line 4: changes without a snapshot before them"},
        {header + snap + "{\"t\":5,\"time\":\"x\",\"gap\":\"lost\",\"changes\":{}}\n" + end,
         "line 3: a record is one of snapshot, changes, gap and end"},
        {header + snap + end + end, "line 4: a line after the end record"},
    };
    for (const Case& c : cases) {
        Recording read;
        std::string error;
        EXPECT_FALSE(ParseRecording(c.text, read, error)) << c.error;
        EXPECT_EQ(error.substr(0, c.error.size()), c.error);
    }
    // The pieces of the cases above make a valid recording together.
    Recording read;
    std::string error;
    EXPECT_TRUE(ParseRecording(header + snap + end, read, error)) << error;
}

} // namespace
