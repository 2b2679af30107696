// ksym record against plcsim stations, and plcsim --replay serving what it wrote: every
// recorded value comes back byte for byte at its recorded time, in both byte orders; the
// replaying station is the recorded one for a client's symbol file; a station restart is
// recorded as a gap; an interrupted recording still ends well; a bad recording is refused
// before the station starts.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "formats/file_bytes.h"
#include "formats/recording.h"
#include "formats/sdb_writer.h"
#include "ksym_tool_run.h"
#include "plcsim/controller.h"
#include "plcsim_process.h"
#include "raw_peer.h"
#include "support/watchdog.h"

namespace {

using formats::Record;
using ksymtest::KsymCli;
using ksymtest::RawPeer;
using ksymtest::Station;
using ksymtest::ToolRun;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Values = std::vector<std::optional<std::vector<uint8_t>>>;

constexpr auto kRecordingNoHang = std::chrono::seconds(120);
const std::regex kSummary("ksym record: [0-9]+ records, [0-9]+ variables, [0-9]+ changes, "
                          "[0-9]+ bytes, [0-9]+ gaps -> .*\n");

formats::Recording ReadRecording(const std::string& path) {
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(formats::ReadFileBytes(path, bytes)) << path;
    formats::Recording recording;
    std::string error;
    EXPECT_TRUE(formats::ParseRecording(std::string(bytes.begin(), bytes.end()), recording, error))
        << error;
    return recording;
}

// The values the recording says after each record, one list per record before the end.
std::vector<Values> States(const formats::Recording& recording) {
    std::vector<Values> states;
    Values state(recording.header.variables.size());
    for (const Record& record : recording.records) {
        if (record.kind == Record::Kind::End) {
            break;
        }
        for (const formats::RecordedValue& value : record.values) {
            state[value.variable] = value.present ? std::optional(value.bytes) : std::nullopt;
        }
        states.push_back(state);
    }
    return states;
}

// Whether the controller's memory holds each known value of `state` where its variable lies.
std::string Differs(const plcsim::Controller& controller, const formats::RecordingHeader& header,
                    const Values& state) {
    for (size_t i = 0; i < state.size(); ++i) {
        if (!state[i]) {
            continue;
        }
        const formats::RecordedVariable& variable = header.variables[i];
        std::vector<uint8_t> bytes;
        if (variable.size == 0) {
            // A variable of size 0 is a bit (its offset counts bits), as the station reads it.
            if (!controller.ReadMemory(variable.area, variable.offset / 8, 1, bytes)) {
                return variable.name + " cannot be read";
            }
            bytes = {static_cast<uint8_t>((bytes[0] >> (variable.offset % 8)) & 1u)};
        } else if (!controller.ReadMemory(variable.area, variable.offset, variable.size, bytes)) {
            return variable.name + " cannot be read";
        }
        if (bytes != *state[i]) {
            return variable.name;
        }
    }
    return "";
}

void Configure(plcsim::Controller& controller, const std::string& options) {
    plcsim::Config config;
    std::string error;
    ASSERT_TRUE(plcsim::ParseConfig(options, config, error)) << error;
    ASSERT_TRUE(controller.Configure(config, error)) << error;
}

uint32_t Status(const std::optional<std::vector<uint8_t>>& reply) {
    return !reply || reply->size() < 2 ? 0x10000u
                                       : static_cast<uint32_t>((*reply)[0] | (*reply)[1] << 8);
}

class KsymRecord : public KsymCli {
protected:
    // Records every symbol of a station on a manual clock, moving its clock on by 100 ms
    // about every 100 ms while the recorder reads every 20 ms.
    formats::Recording RecordMovingStation(Station& station, const std::string& out) {
        RawPeer peer(station.port());
        EXPECT_TRUE(peer.OpenSession());
        Clock::time_point last = Clock::now();
        const ToolRun run = Ksym({"--station", station.address(), "record", "--all", "--out", out,
                                  "--interval", "20", "--duration", "2"},
                                 [&](pid_t, const std::string&) {
                                     if (Clock::now() - last >= std::chrono::milliseconds(100)) {
                                         EXPECT_EQ(Status(peer.Ask("\xF0"
                                                                   "clock=+100")),
                                                   0u);
                                         last = Clock::now();
                                     }
                                 });
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_TRUE(std::regex_match(run.out, kSummary)) << run.out;
        return ReadRecording(out);
    }
};

TEST_F(KsymRecord, EveryRecordedValueIsThePlantsAndComesBackByteForByteInBothByteOrders) {
    ksymtest::Watchdog watchdog("record and replay", kRecordingNoHang);
    for (const std::string order : {"little", "big"}) {
        SCOPED_TRACE(order);
        Station station(scratch_, 0, {"--clock", "manual", "--order", order, "--control"});
        const std::string out = (scratch_ / (order + ".jsonl")).string();
        const formats::Recording recording = RecordMovingStation(station, out);
        const formats::RecordingHeader& header = recording.header;
        EXPECT_EQ(header.bigEndian, order == "big");
        EXPECT_EQ(header.projectName, "SAMPLE.PRO");
        EXPECT_EQ(header.texts[0], "SAMPLE");
        EXPECT_EQ(header.blockSize, 1024u);
        // Every symbol but the one whose name an earlier one has (letters in any case).
        EXPECT_EQ(header.variables.size(), 39u);
        ASSERT_GE(recording.records.size(), 20u);
        EXPECT_GT(recording.records.back().changes, 10u) << "the plant should have moved";

        // Each state the recording holds is the sample plant's, in the station's order, at
        // one of the clock steps the station went through, in their order: the recorder
        // gave the controller's bytes, not the host's.
        plcsim::Controller plant;
        Configure(plant, "clock=manual;order=" + order);
        const std::vector<Values> states = States(recording);
        int step = 0;
        for (size_t i = 0; i < states.size(); ++i) {
            while (!Differs(plant, header, states[i]).empty() && step < 100) {
                plant.AdvanceClock(100);
                ++step;
            }
            ASSERT_EQ(Differs(plant, header, states[i]), "") << "record " << i;
        }
        EXPECT_GT(step, 5);

        // The replay, on a manual clock moved to each record's time, holds the recorded
        // values.
        plcsim::Controller replay;
        Configure(replay, "replay=" + out + ";clock=manual");
        uint64_t clock = recording.records.front().t;
        for (size_t i = 0; i < states.size(); ++i) {
            const uint64_t t = recording.records[i].t;
            replay.AdvanceClock(static_cast<uint32_t>(t - clock));
            clock = t;
            ASSERT_EQ(Differs(replay, header, states[i]), "") << "record " << i << " at " << t;
        }
    }
}

TEST_F(KsymRecord, TheReplayingStationIsTheRecordedOneOverTcpForAClientsSymbolFile) {
    ksymtest::Watchdog watchdog("replay over tcp", kRecordingNoHang);
    machine_ = scratch_ / "machine"; // the client's symbol file outlives each run
    fs::create_directories(machine_);
    const std::string out = (scratch_ / "plant.jsonl").string();
    formats::Recording recorded;
    {
        Station plant(scratch_, 0, {"--clock", "manual", "--order", "big", "--control"});
        recorded = RecordMovingStation(plant, out);
    }
    fs::path local;
    for (const auto& entry : fs::recursive_directory_iterator(machine_)) {
        if (entry.path().extension() == ".sdb") {
            local = entry.path();
        }
    }
    ASSERT_FALSE(local.empty()) << "the recorder loaded no symbol file";
    std::vector<uint8_t> localBytes;
    ASSERT_TRUE(formats::ReadFileBytes(local.string(), localBytes));
    EXPECT_EQ(localBytes, recorded.header.sdb) << "the recording carries the file loaded";
    struct stat before {};
    ASSERT_EQ(stat(local.c_str(), &before), 0);

    Station replaying(scratch_, 0, {"--replay", out, "--clock", "manual", "--control"});
    RawPeer peer(replaying.port());
    ASSERT_TRUE(peer.OpenSession());
    const std::vector<Values> states = States(recorded);
    // Recorded from the replaying station, at its start and after the clock moved to a
    // record in the middle: the same station, the same values.
    const size_t middle = states.size() / 2;
    for (const size_t at : {size_t{0}, middle}) {
        if (at != 0) {
            const uint64_t t = recorded.records[at].t - recorded.records.front().t;
            ASSERT_EQ(Status(peer.Ask("\xF0"
                                      "clock=+" +
                                      std::to_string(t))),
                      0u);
        }
        const std::string again = (scratch_ / ("again" + std::to_string(at) + ".jsonl")).string();
        const ToolRun run = Ksym(
            {"--station", replaying.address(), "record", "--all", "--out", again, "--count", "1"});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        formats::Recording second = ReadRecording(again);
        EXPECT_EQ(second.header.projectId, recorded.header.projectId);
        EXPECT_EQ(second.header.projectNumber, recorded.header.projectNumber);
        EXPECT_EQ(second.header.texts, recorded.header.texts);
        EXPECT_EQ(second.header.bigEndian, true);
        EXPECT_EQ(second.header.blockSize, recorded.header.blockSize);
        EXPECT_EQ(second.header.variables, recorded.header.variables);
        EXPECT_EQ(second.header.sdb, recorded.header.sdb);
        ASSERT_FALSE(States(second).empty());
        EXPECT_EQ(States(second).front(), states[at]) << "record " << at;
    }
    // The client found its local file current: no upload replaced it.
    struct stat after {};
    ASSERT_EQ(stat(local.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtime, before.st_mtime);

    // A client whose file is another project's uploads the recorded file.
    std::vector<uint8_t> other = localBytes;
    other[12] ^= 0x5A; // the header's project id
    std::string error;
    ASSERT_TRUE(formats::WriteFileBytes(local.string(), other, error)) << error;
    const ToolRun read = Ksym({"--station", replaying.address(), "read", "Line1.Mode"});
    ASSERT_EQ(read.exitCode, 0) << read.err;
    ASSERT_TRUE(formats::ReadFileBytes(local.string(), localBytes));
    EXPECT_EQ(localBytes, recorded.header.sdb);
}

TEST_F(KsymRecord, AStationRestartIsAGapAndAnInterruptedRecordingStillEnds) {
    ksymtest::Watchdog watchdog("gap and interrupt", kRecordingNoHang);
    Station station(scratch_);
    const uint16_t port = station.port();
    const std::string out = (scratch_ / "gap.jsonl").string();
    ksymtest::Outage outage([&] { station.Stop(); }, [&] { station.Start(scratch_, port); },
                            std::chrono::milliseconds(1000), std::chrono::milliseconds(2000));
    const ToolRun run = Ksym({"--station", station.address(), "--timeout", "500", "record",
                              "Line1.Station2.Motor1.ActualSpeed", "%MW2", "--out", out,
                              "--interval", "50", "--duration", "5"},
                             [&](pid_t, const std::string&) { outage.Step(); });
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(std::regex_match(run.out, kSummary)) << run.out;
    EXPECT_NE(run.out.find(", 1 gaps"), std::string::npos) << run.out;
    const formats::Recording recording = ReadRecording(out);
    size_t gaps = 0;
    for (size_t i = 0; i < recording.records.size(); ++i) {
        if (recording.records[i].kind == Record::Kind::Gap) {
            ++gaps;
            EXPECT_FALSE(recording.records[i].reason.empty());
            ASSERT_LT(i + 1, recording.records.size());
            EXPECT_EQ(recording.records[i + 1].kind, Record::Kind::Snapshot)
                << "the values after a gap come whole";
        }
    }
    EXPECT_EQ(gaps, 1u);
    EXPECT_EQ(recording.records.back().gaps, 1u);
    EXPECT_GT(recording.records.back().t, 4000u);

    // Ctrl-C: the recording ends with its end record.
    const std::string stopped = (scratch_ / "stopped.jsonl").string();
    const Clock::time_point began = Clock::now();
    bool sent = false;
    const ToolRun interrupted = Ksym(
        {"--station", station.address(), "record", "%MW2", "--out", stopped, "--interval", "50"},
        [&](pid_t pid, const std::string&) {
            if (!sent && Clock::now() - began > std::chrono::milliseconds(500)) {
                kill(pid, SIGINT);
                sent = true;
            }
        });
    EXPECT_EQ(interrupted.exitCode, 0) << interrupted.err;
    const formats::Recording ended = ReadRecording(stopped);
    EXPECT_GE(ended.records.size(), 3u);
}

TEST_F(KsymRecord, WrongArgumentsAndBadRecordingsAreRefusedWithTheirReason) {
    const std::string out = (scratch_ / "r.jsonl").string();
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"record", "%MW2"},
          std::vector<std::string>{"record", "--out", out},
          std::vector<std::string>{"record", "%MW2", "--all", "--out", out},
          std::vector<std::string>{"record", "%MW2", "--prefix", "Line1", "--out", out},
          std::vector<std::string>{"record", "NoSuchThing", "--out", out},
          std::vector<std::string>{"record", "%MW2", "%MW4", "%MW2", "--out", out}}) {
        const ToolRun run = Ksym(arguments);
        EXPECT_EQ(run.exitCode, 3) << arguments[1] << ": " << run.err;
    }
    EXPECT_FALSE(fs::exists(out)) << "a refused recording leaves no file";
    const ToolRun none = Ksym({"record", "--all", "--prefix", "Nowhere", "--out", out});
    EXPECT_EQ(none.exitCode, 3);
    EXPECT_NE(none.err.find("no symbol begins with 'Nowhere'"), std::string::npos) << none.err;

    // A recording cut short: plcsim says where and why, and does not start.
    const ToolRun made = Ksym({"record", "--all", "--out", out, "--count", "2"});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(formats::ReadFileBytes(out, bytes));
    std::string text(bytes.begin(), bytes.end());
    text.erase(text.rfind("\n{") + 1); // the end record goes
    std::string error;
    ASSERT_TRUE(
        formats::WriteFileBytes(out, std::vector<uint8_t>(text.begin(), text.end()), error));
    const std::string log = (scratch_ / "plcsim.out").string();
    const std::string command =
        std::string(KSYM_PLCSIM) + " --listen 127.0.0.1:0 --replay " + out + " > " + log + " 2>&1";
    EXPECT_EQ(WEXITSTATUS(std::system(command.c_str())), 2);
    EXPECT_NE(ksymtest::ReadText(log).find(
                  out + ": line 4: the end record is missing (the recording was cut short)"),
              std::string::npos)
        << ksymtest::ReadText(log);
}

} // namespace
