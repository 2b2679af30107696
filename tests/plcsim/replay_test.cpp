#include <gtest/gtest.h>

#include <memory>

#include "formats/file_bytes.h"
#include "formats/sdb_writer.h"
#include "plcsim/controller.h"
#include "plcsim/replay.h"
#include "plcsim_test_support.h"

namespace {

using formats::Record;
using formats::RecordedValue;

Record Values(Record::Kind kind, uint64_t t, std::vector<RecordedValue> values) {
    Record record;
    record.kind = kind;
    record.t = t;
    record.values = std::move(values);
    return record;
}

// A word at M4 (%MW2) and a bit at I18 (%IX1.2): 200 and on at 0, 201 at 100, the bit off at 200
// (the word not delivered), a gap at 300, 500 and on again at 500, the end at 600.
std::shared_ptr<formats::Recording> Sample() {
    auto r = std::make_shared<formats::Recording>();
    r->header.bigEndian = true;
    r->header.variables = {{"%MW2", "WORD", 0, 4, 2}, {"%IX1.2", "BOOL", 1, 18, 0}};
    r->records = {
        Values(Record::Kind::Snapshot, 0, {{0, true, {0x00, 0xC8}}, {1, true, {1}}}),
        Values(Record::Kind::Changes, 100, {{0, true, {0x00, 0xC9}}}),
        Values(Record::Kind::Changes, 200, {{0, false, {}}, {1, true, {0}}}),
        Values(Record::Kind::Gap, 300, {}),
        Values(Record::Kind::Snapshot, 500, {{0, true, {0x01, 0xF4}}, {1, true, {1}}}),
        Values(Record::Kind::End, 600, {}),
    };
    return r;
}

int Word(const plcsim::Memory& memory) {
    uint8_t bytes[2] = {};
    EXPECT_TRUE(memory.Read(0, 4, 2, bytes));
    return bytes[0] << 8 | bytes[1];
}

bool Bit(const plcsim::Memory& memory) {
    bool value = false;
    EXPECT_TRUE(memory.ReadBit(1, 18, value));
    return value;
}

TEST(Replay, ValuesFollowTheRecordingOnTheClockAndHoldBetweenRecords) {
    plcsim::Memory memory;
    plcsim::Replay replay(Sample(), 1, false);
    replay.Start(memory, 1000);
    EXPECT_EQ(Word(memory), 200);
    EXPECT_TRUE(Bit(memory));
    replay.Advance(memory, 1099);
    EXPECT_EQ(Word(memory), 200) << "a value holds until its record's time";
    replay.Advance(memory, 1100);
    EXPECT_EQ(Word(memory), 201);
    replay.Advance(memory, 1450);
    EXPECT_EQ(Word(memory), 201) << "a value not delivered, and a gap, hold what came before";
    EXPECT_FALSE(Bit(memory));
    replay.Advance(memory, 1500);
    EXPECT_EQ(Word(memory), 500);
    EXPECT_TRUE(Bit(memory));
    replay.Advance(memory, 900);
    EXPECT_EQ(Word(memory), 500) << "an earlier time changes nothing";
    replay.Advance(memory, 1000 + 3600 * 1000);
    EXPECT_EQ(Word(memory), 500) << "after the last record every value holds";
}

TEST(Replay, PlayingBeginsWithTheFirstRecordWhateverItsTime) {
    auto late = Sample();
    for (Record& record : late->records) {
        record.t += 5000;
    }
    plcsim::Memory memory;
    plcsim::Replay replay(late, 1, true);
    replay.Start(memory, 0);
    EXPECT_EQ(Word(memory), 200) << "the first snapshot is there from the start";
    replay.Advance(memory, 100);
    EXPECT_EQ(Word(memory), 201);
    replay.Advance(memory, 650); // a round is the 600 ms from the first record to the end
    EXPECT_EQ(Word(memory), 200);
}

TEST(Replay, AWriteHoldsUntilTheNextRecordedValueAndSpeedAndLoopScaleTheClock) {
    plcsim::Memory memory;
    plcsim::Replay fast(Sample(), 10, true);
    fast.Start(memory, 0);
    const uint8_t written[2] = {0x12, 0x34};
    ASSERT_TRUE(memory.Write(0, 4, written, 2));
    fast.Advance(memory, 9);
    EXPECT_EQ(Word(memory), 0x1234) << "a write holds until the recording's next value";
    fast.Advance(memory, 10); // recorded 100 ms at ten times the pace
    EXPECT_EQ(Word(memory), 201);
    fast.Advance(memory, 55);
    EXPECT_EQ(Word(memory), 500);
    // Recorded 650 ms: the second round, 50 ms into it, starts with the first snapshot.
    ASSERT_TRUE(memory.Write(0, 4, written, 2));
    fast.Advance(memory, 65);
    EXPECT_EQ(Word(memory), 200);
    EXPECT_TRUE(Bit(memory));
    // Far rounds ahead, into the middle of one: 100 ms in, after the change at 100.
    fast.Advance(memory, (600 * 1000 + 150) / 10);
    EXPECT_EQ(Word(memory), 201);
    // A clock at its limit neither overflows nor loses the round's place.
    fast.Advance(memory, INT64_MAX);
    const int word = Word(memory);
    EXPECT_TRUE(word == 200 || word == 201 || word == 500) << word;
}

// The recording's text, written to `path`.
void WriteRecording(const formats::Recording& recording, const std::string& path) {
    std::string text = formats::HeaderLine(recording.header);
    for (const Record& record : recording.records) {
        text += formats::RecordLine(recording.header, record);
    }
    std::string error;
    ASSERT_TRUE(
        formats::WriteFileBytes(path, std::vector<uint8_t>(text.begin(), text.end()), error))
        << error;
}

std::string ConfigureError(plcsim::Controller& controller, const std::string& options) {
    plcsim::Config config;
    std::string error;
    EXPECT_TRUE(plcsim::ParseConfig(options, config, error)) << error;
    controller.Configure(config, error);
    return error;
}

// The value bytes of the word at M4, read as a client reads it (status 2, count 4, then the
// item's presence byte and bytes).
std::vector<uint8_t> ReadWord(plcsim::Controller& controller, formats::ByteOrder order) {
    const auto reply = plcsimtest::Ask(controller, plcsimtest::Request(0x2E, {{0, 4, 2}}, order));
    EXPECT_EQ(reply.size(), 9u);
    return reply.size() == 9 ? std::vector<uint8_t>(reply.begin() + 7, reply.end())
                             : std::vector<uint8_t>{};
}

TEST(Replay, AStationReplayingARecordingIsTheRecordedStation) {
    auto recording = Sample();
    recording->header.projectName = "PLANT.PRO";
    recording->header.projectId = 0x80001234u;
    recording->header.projectNumber = 9;
    recording->header.texts = {"Plant", "2.1", "the line", "someone", "2026-12-01"};
    recording->header.blockSize = 512;
    recording->header.sdb = *plcsim::SampleProject().sdb;
    recording->header.sdb[12] ^= 0x5A; // the recorded file (its project id), not the sample's
    plcsimtest::ScratchFile file(".jsonl");
    WriteRecording(*recording, file.path());

    plcsim::Controller controller;
    ASSERT_EQ(ConfigureError(controller, "replay=" + file.path() + ";clock=manual;loop"), "");
    const plcsim::Project project = controller.GetProject();
    EXPECT_EQ(project.fileName, "PLANT.PRO");
    EXPECT_EQ(static_cast<uint32_t>(project.id), 0x80001234u);
    EXPECT_EQ(project.number, 9u);
    EXPECT_EQ(project.texts, recording->header.texts);
    ASSERT_NE(project.sdb, nullptr);
    EXPECT_EQ(*project.sdb, recording->header.sdb);
    EXPECT_EQ(project.plant, nullptr);
    EXPECT_EQ(controller.GetConfig().order, formats::ByteOrder::Big);
    EXPECT_EQ(controller.GetConfig().blockSize, 512u);

    const auto big = formats::ByteOrder::Big;
    EXPECT_EQ(ReadWord(controller, big), (std::vector<uint8_t>{0x00, 0xC8}));
    controller.AdvanceClock(100);
    EXPECT_EQ(ReadWord(controller, big), (std::vector<uint8_t>{0x00, 0xC9}));
    controller.AdvanceClock(400);
    EXPECT_EQ(ReadWord(controller, big), (std::vector<uint8_t>{0x01, 0xF4}));
    controller.AdvanceClock(150); // 650: the loop's second round
    EXPECT_EQ(ReadWord(controller, big), (std::vector<uint8_t>{0x00, 0xC8}));

    // Another project ends the replay: its memory no longer follows the recording.
    controller.SwitchProject(plcsim::SampleProject());
    ASSERT_TRUE(controller.WriteMemory(0, 4, {0x12, 0x34}));
    controller.AdvanceClock(100); // where the recording would give 0x00C9
    EXPECT_EQ(ReadWord(controller, big), (std::vector<uint8_t>{0x12, 0x34}));
}

TEST(Replay, ARecordingThatCannotBeServedIsRefusedBeforeTheStationStarts) {
    auto recording = Sample();
    recording->header.sdb = *plcsim::SampleProject().sdb;
    plcsimtest::ScratchFile file(".jsonl");
    WriteRecording(*recording, file.path());
    plcsim::Controller controller;
    EXPECT_EQ(ConfigureError(controller, "replay=" + file.path() + ";memory=4"),
              file.path() + ": line 1: the variable '%MW2' lies beyond the simulator's memory "
                            "(4 bytes an area)");
    EXPECT_EQ(ConfigureError(controller, "replay=" + file.path() + ".none"),
              "cannot read the recording " + file.path() + ".none");
    recording->header.sdb.assign(8, 0);
    WriteRecording(*recording, file.path());
    EXPECT_EQ(ConfigureError(controller, "replay=" + file.path()),
              file.path() + ": line 1: the recorded symbol file has no valid header");
    // A file the library's reader refuses (its variables section cut off), and variables
    // the file does not have where the recording says.
    recording->header.sdb = *plcsim::SampleProject().sdb;
    recording->header.sdb.resize(recording->header.sdb.size() - 100);
    WriteRecording(*recording, file.path());
    EXPECT_EQ(ConfigureError(controller, "replay=" + file.path()),
              file.path() +
                  ": line 1: the recorded symbol file is damaged: the library would not read it");
    recording->header.sdb = *plcsim::SampleProject().sdb;
    const auto variables = recording->header.variables;
    recording->header.variables.back() = {"Line1.NoSuchThing", "BOOL", 1, 18, 0};
    WriteRecording(*recording, file.path());
    EXPECT_EQ(ConfigureError(controller, "replay=" + file.path()),
              file.path() +
                  ": line 1: 'Line1.NoSuchThing' is not a symbol of the recorded symbol file");
    recording->header.variables.back() = {"line1.station2.motor1.running", "BOOL", 1, 18, 0};
    WriteRecording(*recording, file.path());
    EXPECT_EQ(ConfigureError(controller, "replay=" + file.path()),
              file.path() + ": line 1: 'line1.station2.motor1.running' lies elsewhere in the "
                            "recorded symbol file (area 1, offset 4, size 1)");
    recording->header.variables.back() = {"%IX1.3", "BOOL", 1, 18, 0};
    WriteRecording(*recording, file.path());
    EXPECT_EQ(ConfigureError(controller, "replay=" + file.path()),
              file.path() + ": line 1: the direct address '%IX1.3' is recorded at another place");
    recording->header.variables = variables;
    recording->records.pop_back();
    WriteRecording(*recording, file.path());
    EXPECT_EQ(ConfigureError(controller, "replay=" + file.path()),
              file.path() + ": line 7: the end record is missing (the recording was cut short)");
    for (const char* bad : {"speed=0", "speed=-1", "speed=1001", "speed=fast", "loop=1"}) {
        plcsim::Config config;
        std::string error;
        EXPECT_FALSE(plcsim::ParseConfig(bad, config, error)) << bad;
    }
}

} // namespace
