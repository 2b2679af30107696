// ksym watch as a user runs it: records with their times in each format, only what changed,
// a count and a duration, Ctrl-C, and a station that goes away and comes back.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "ksym_tool_run.h"
#include "plcsim_process.h"
#include "plcsim/memory.h"

namespace {

using ksymtest::Fresh;
using ksymtest::KsymCli;
using ksymtest::Number;
using ksymtest::Station;
using ksymtest::ToolRun;
using nlohmann::json;

const std::string kTime = "[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}Z";

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

TEST_F(KsymCli, WatchPrintsARecordPerReadInEachFormat) {
    const std::string mode = std::to_string(plcsim::InitialMemoryByte(3, 0));
    const std::string word = std::to_string(Number(Fresh(0, 8, 2), false));
    const std::vector<std::string> watch = {
        "--station", "sim:values=pattern", "watch", "Line1.Mode", "%MW4", "--count",
        "2",         "--interval",         "50"};
    const ToolRun table = Ksym(watch);
    ASSERT_EQ(table.exitCode, 0) << table.err;
    const std::string row = kTime + "  " + mode + " +" + word + "\n";
    EXPECT_TRUE(std::regex_match(table.out, std::regex("TIME +Line1.Mode +%MW4\n" + row + row)))
        << table.out;

    std::vector<std::string> csvArguments = watch;
    csvArguments.insert(csvArguments.end(), {"--format", "csv"});
    const ToolRun csv = Ksym(csvArguments);
    ASSERT_EQ(csv.exitCode, 0) << csv.err;
    const std::string csvRow = kTime + "," + mode + "," + word + "\n";
    EXPECT_TRUE(std::regex_match(csv.out, std::regex("time,Line1.Mode,%MW4\n" + csvRow + csvRow)))
        << csv.out;

    // --json is --format jsonl.
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--json"}, std::vector<std::string>{"--format", "jsonl"}}) {
        std::vector<std::string> all = watch;
        all.insert(all.end(), arguments.begin(), arguments.end());
        const ToolRun lines = Ksym(all);
        ASSERT_EQ(lines.exitCode, 0) << lines.err;
        uint64_t tick = 0;
        for (const std::string& line : Lines(lines.out)) {
            const json record = json::parse(line);
            EXPECT_EQ(record.at("tick"), ++tick);
            EXPECT_TRUE(std::regex_match(record.at("time").get<std::string>(), std::regex(kTime)));
            EXPECT_EQ(record.at("values").at(0).at("name"), "Line1.Mode");
            EXPECT_EQ(std::to_string(record.at("values").at(0).at("value").get<int>()), mode);
        }
        EXPECT_EQ(tick, 2u);
    }

    // Texts as CSV cells: their plain characters, quoted where CSV needs it.
    const ToolRun text = Ksym(
        {"watch", "Line1.Recipe.Name", "Line1.Station3.Counts", "--count", "1", "--format", "csv"});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    EXPECT_TRUE(std::regex_search(
        text.out, std::regex(",Bread 750g,\"\\[3, 0, 12, 7, 0, 1, 4, 9, 2, 5\\]\"\n")))
        << text.out;

    const ToolRun missing = Ksym({"--station", "sim:fault=shortread", "watch", "Line1.Mode",
                                  "--count", "1", "--format", "csv"});
    EXPECT_EQ(missing.exitCode, 5);
    EXPECT_TRUE(std::regex_match(missing.out,
                                 std::regex("time,Line1.Mode\n" + kTime + ",\\(no value\\)\n")))
        << missing.out;
    const ToolRun badFormat = Ksym({"watch", "Line1.Mode", "--format", "xml"});
    EXPECT_EQ(badFormat.exitCode, 3);
    EXPECT_NE(badFormat.err.find("--format takes table, csv or jsonl"), std::string::npos);
}

TEST_F(KsymCli, WatchChangesPrintsOnlyWhatMoved) {
    // The motor's speed runs up for seconds (500 per second): it moves between reads of
    // 100 ms, the mode does not.
    const ToolRun csv = Ksym({"watch", "Line1.Station2.Motor1.ActualSpeed", "Line1.Mode",
                              "--changes", "--count", "4", "--interval", "100", "--format", "csv"});
    ASSERT_EQ(csv.exitCode, 0) << csv.err;
    const std::vector<std::string> lines = Lines(csv.out);
    ASSERT_EQ(lines.size(), 5u) << csv.out;
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(kTime + ",[0-9]+,1")));
    for (size_t i = 2; i < lines.size(); ++i) {
        EXPECT_TRUE(std::regex_match(lines[i], std::regex(kTime + ",[0-9]+,"))) << lines[i];
    }
    // Nothing moves in the pattern: the first record only, however many reads.
    const ToolRun still = Ksym({"--station", "sim:values=pattern", "watch", "Line1.Mode",
                                "--changes", "--count", "3", "--interval", "10", "--json"});
    ASSERT_EQ(still.exitCode, 0) << still.err;
    const std::vector<std::string> records = Lines(still.out);
    ASSERT_EQ(records.size(), 1u) << still.out;
    EXPECT_EQ(json::parse(records[0]).at("tick"), 1);
}

TEST_F(KsymCli, WatchEndsAfterItsDurationOrOnCtrlC) {
    const auto start = std::chrono::steady_clock::now();
    const ToolRun timed =
        Ksym({"watch", "Line1.Mode", "--duration", "0.6", "--interval", "100", "--json"});
    const auto took = std::chrono::steady_clock::now() - start;
    ASSERT_EQ(timed.exitCode, 0) << timed.err;
    const size_t records = Lines(timed.out).size();
    EXPECT_GE(records, 3u) << timed.out;
    EXPECT_LE(records, 8u) << timed.out;
    EXPECT_LT(took, std::chrono::seconds(5));

    // A long interval: the tool must not sit it out once interrupted.
    const ToolRun run = Ksym({"watch", "Line1.Mode", "--interval", "20000"}, true);
    const auto ended = std::chrono::steady_clock::now();
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(std::regex_match(run.out, std::regex("TIME +Line1.Mode\n" + kTime + "  1\n")))
        << run.out;
    EXPECT_LT(ended - interruptedAt_, std::chrono::seconds(3));

    // Interrupted while a read is in progress: abandoned, still a clean end.
    const ToolRun reading =
        Ksym({"--station", "sim:latency=200", "watch", "Line1.Mode", "--interval", "10"}, true);
    EXPECT_EQ(reading.exitCode, 0) << reading.err;
    EXPECT_EQ(reading.err, "");
}

TEST_F(KsymCli, WatchOutlivesAStationThatGoesAwayAndComesBack) {
    Station station(scratch_);
    const uint16_t port = station.port();
    ASSERT_NE(port, 0);
    enum class Stage { Reading, Away, Back } stage = Stage::Reading;
    std::chrono::steady_clock::time_point awaySince;
    const ToolRun run = Ksym(
        {"--station", "tcp:127.0.0.1:" + std::to_string(port), "--timeout", "1000", "watch",
         "Line1.Mode", "Line2.Station1.StatusWord", "--interval", "100", "--count", "20", "--json"},
        [&](pid_t, const std::string& out) {
            if (stage == Stage::Reading && Lines(out).size() >= 5) {
                station.Stop();
                stage = Stage::Away;
                awaySince = std::chrono::steady_clock::now();
            } else if (stage == Stage::Away &&
                       std::chrono::steady_clock::now() - awaySince > std::chrono::seconds(1)) {
                station.Start(scratch_, port);
                stage = Stage::Back;
            }
        });
    EXPECT_EQ(stage, Stage::Back);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("the connection to 'tcp:127.0.0.1:" + std::to_string(port) +
                           "' broke; reconnecting"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("reconnected to"), std::string::npos) << run.err;
    // Every read the count asked for, numbered without a gap.
    uint64_t tick = 0;
    for (const std::string& line : Lines(run.out)) {
        const json record = json::parse(line);
        EXPECT_EQ(record.at("tick"), ++tick);
        EXPECT_EQ(record.at("values").at(0).at("valid"), true);
    }
    EXPECT_EQ(tick, 20u);

    // A station that cannot be reached at all: a clear message and the open's exit code.
    station.Stop();
    const ToolRun unreachable = Ksym({"--station", "tcp:127.0.0.1:" + std::to_string(port), "watch",
                                      "Line1.Mode", "--count", "1"});
    EXPECT_EQ(unreachable.exitCode, 2);
    EXPECT_NE(unreachable.err.find("cannot open a channel to 'tcp:127.0.0.1:"), std::string::npos)
        << unreachable.err;
}

} // namespace
