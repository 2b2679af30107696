#include <gtest/gtest.h>

#include <memory>

#include "plcsim/replay.h"

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

// A word at M4 and a bit at I18: 200 and on at 0, 201 at 100, the bit off at 200 (the word
// not delivered), a gap at 300, 500 and on again at 500, the end at 600.
std::shared_ptr<formats::Recording> Sample() {
    auto r = std::make_shared<formats::Recording>();
    r->header.bigEndian = true;
    r->header.variables = {{"Speed", "INT", 0, 4, 2}, {"Bit", "BOOL", 1, 18, 0}};
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

} // namespace
