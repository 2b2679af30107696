// ksym as a user runs it, against the embedded simulator: the values it shows must be the
// simulator's memory, writes must read back, and every failure has its message and exit
// code. Each run gets a machine folder of its own, so every run uploads the symbols afresh.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "ksym_tool_run.h"
#include "plcsim/memory.h"
#include "plcsim/project.h"

namespace {

using ksymtest::Fresh;
using ksymtest::KsymCli;
using ksymtest::Number;
using ksymtest::Signed;
using ksymtest::Symbol;
using ksymtest::ToolRun;
using nlohmann::json;

// The value a variable must show, from the fresh memory and the station's byte order.
json Expected(const Symbol& symbol, bool big) {
    const std::vector<uint8_t> bytes = Fresh(symbol.area, symbol.offset, symbol.size);
    if (symbol.type == "BOOL") {
        return bytes[0] != 0;
    }
    if (symbol.type == "INT" || symbol.type == "DINT") {
        return Signed(bytes, big);
    }
    if (symbol.type == "BYTE" || symbol.type == "WORD" || symbol.type == "DWORD") {
        return Number(bytes, big);
    }
    if (symbol.type == "LREAL") {
        const uint64_t bits = Number(bytes, big);
        double value = 0;
        std::memcpy(&value, &bits, 8);
        return value;
    }
    if (symbol.type.rfind("INTARR", 0) == 0) {
        json list = json::array();
        for (uint32_t i = 0; i < symbol.size; i += 2) {
            list.push_back(Signed({bytes[i], bytes[i + 1]}, big));
        }
        return list;
    }
    std::string hex;
    char digits[3];
    for (uint8_t byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", byte);
        hex += digits;
    }
    return hex;
}

// The sample project as the simulator plays it: every variable reads as a value a plant
// could have, and the behaviours hang together.
TEST_F(KsymCli, EverySampleVariableReadsAsAPlausibleValue) {
    const json symbols = Json(Ksym({"--json", "symbols"}));
    std::vector<std::string> arguments = {"read", "--json"};
    for (const json& symbol : symbols) {
        arguments.push_back(symbol.at("name"));
    }
    const ToolRun run = Ksym(arguments);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const json values = Json(run);
    ASSERT_EQ(values.size(), symbols.size());
    std::map<std::string, json> byName;
    for (const json& value : values) {
        EXPECT_EQ(value.at("valid"), true) << value;
        const std::string type = value.at("type");
        const json& shown = value.at("value");
        if (type == "REAL" || type == "LREAL") {
            EXPECT_TRUE(shown.is_number()) << "no nan or inf: " << value;
        }
        if (type.rfind("STR", 0) == 0) {
            const std::string text = shown;
            EXPECT_FALSE(text.empty()) << value;
            for (const char c : text) {
                EXPECT_TRUE(c >= 0x20 && c < 0x7F) << "printable: " << value;
            }
        }
        byName[value.at("name")] = shown;
    }
    EXPECT_EQ(byName.at("Line1.Station1.Lamp"), byName.at("Line1.Station1.StartButton"))
        << "the lamp follows its button";
    EXPECT_EQ(byName.at("Line1.Station2.Motor1.Running"), true);
    EXPECT_EQ(byName.at("Line1.Station2.Motor2.Running"), false);
    EXPECT_EQ(byName.at("Line1.Recipe.Name"), "Bread 750g");
    const double temperature = byName.at("Line2.Station1.Temperature");
    EXPECT_GE(temperature, 65.0);
    EXPECT_LE(temperature, 72.0);
    const double weight = byName.at("Line1.Station3.Scale.Weight");
    EXPECT_GE(weight, 11.7);
    EXPECT_LE(weight, 13.3);
}

TEST_F(KsymCli, ReadShowsWhatTheSimulatorHoldsInEitherByteOrder) {
    const std::map<std::string, Symbol> layout = Layout();
    const std::vector<std::string> names = {"Line1.Station2.Motor1.ActualSpeed",
                                            "Line1.Station3.Conveyor.Position",
                                            "Line1.Station1.Selector",
                                            "Line2.Station1.PressureRaw",
                                            "Line2.Station1.StatusWord",
                                            "Line1.Station1.StartButton",
                                            "Line2.Station1.Temperature",
                                            "Line2.Station1.Setpoints",
                                            "Line1.Station2.Drive"};
    for (const bool big : {false, true}) {
        std::vector<std::string> arguments = {
            "--station", big ? "sim:values=pattern;order=big" : "sim:values=pattern", "read"};
        arguments.insert(arguments.end(), names.begin(), names.end());
        arguments.push_back("--json");
        const ToolRun run = Ksym(arguments);
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const json values = Json(run);
        ASSERT_EQ(values.size(), names.size());
        for (size_t i = 0; i < names.size(); ++i) {
            const Symbol& symbol = layout.at(names[i]);
            EXPECT_EQ(values[i].at("name"), names[i]);
            EXPECT_EQ(values[i].at("type"), symbol.type);
            EXPECT_EQ(values[i].at("valid"), true);
            EXPECT_EQ(values[i].at("value"), Expected(symbol, big))
                << names[i] << (big ? " (big)" : "");
        }
    }

    // Direct addresses: %MW4 is the word at byte 8 of area 0; %IX1.2 bit 18 of the inputs.
    const ToolRun direct =
        Ksym({"--station", "sim:values=pattern", "read", "%MW4", "%IX1.2", "%QB3", "%MD1"});
    ASSERT_EQ(direct.exitCode, 0) << direct.err;
    const uint64_t word = Number(Fresh(0, 8, 2), false);
    const bool bit = ((plcsim::InitialMemoryByte(1, 2) >> 2) & 1) != 0;
    EXPECT_TRUE(std::regex_search(direct.out, std::regex("^NAME +TYPE +VALUE\n")));
    EXPECT_TRUE(
        std::regex_search(direct.out, std::regex("\n%MW4 +WORD +" + std::to_string(word) + "\n")))
        << direct.out;
    EXPECT_TRUE(std::regex_search(
        direct.out, std::regex(std::string("\n%IX1.2 +BOOL +") + (bit ? "true" : "false") + "\n")))
        << direct.out;
    EXPECT_TRUE(std::regex_search(
        direct.out,
        std::regex("\n%QB3 +BYTE +" + std::to_string(plcsim::InitialMemoryByte(2, 3)) + "\n")))
        << direct.out;
    EXPECT_TRUE(std::regex_search(
        direct.out,
        std::regex("\n%MD1 +DWORD +" + std::to_string(Number(Fresh(0, 4, 4), false)) + "\n")))
        << direct.out;
}

TEST_F(KsymCli, MissingValuesShowAsSuchAndFailTheRead) {
    const ToolRun shortRead =
        Ksym({"--station", "sim:fault=shortread", "read", "Line1.Mode", "%MW4"});
    EXPECT_EQ(shortRead.exitCode, 5);
    EXPECT_TRUE(
        std::regex_search(shortRead.out, std::regex("\nLine1.Mode +BYTE +\\(no value\\)\n")))
        << shortRead.out;
    EXPECT_TRUE(std::regex_search(shortRead.out, std::regex("\n%MW4 +WORD +\\(no value\\)\n")));

    // Only the variable covering the absent byte lacks its value.
    const ToolRun absent = Ksym({"--station", "sim:absent=1:9;values=pattern", "read", "--json",
                                 "Line1.Station2.Motor1.ActualSpeed", "Line1.Station1.Selector"});
    EXPECT_EQ(absent.exitCode, 5);
    const json values = Json(absent);
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[0].at("valid"), false);
    EXPECT_TRUE(values[0].at("value").is_null());
    EXPECT_EQ(values[1].at("valid"), true);
    EXPECT_EQ(values[1].at("value"), plcsim::InitialMemoryByte(1, 6));
}

TEST_F(KsymCli, ReadRefusalsHaveTheirOwnExitCodes) {
    const ToolRun unknown = Ksym({"read", "Line1.Mode", "No.Such.Name"});
    EXPECT_EQ(unknown.exitCode, 3);
    EXPECT_EQ(unknown.err, "ksym: unknown variable: No.Such.Name\n");
    EXPECT_EQ(unknown.out, "");

    // Refused uploads leave no symbols, and lists need them even for direct addresses.
    const ToolRun noSymbols = Ksym({"--station", "sim:fault=refuse", "read", "%MW4"});
    EXPECT_EQ(noSymbols.exitCode, 4);
    EXPECT_NE(noSymbols.err.find("cannot load the symbols"), std::string::npos) << noSymbols.err;

    const ToolRun tooBig = Ksym({"--station", "sim:block=16", "read", "Line1.Recipe.Name"});
    EXPECT_EQ(tooBig.exitCode, 3);
    EXPECT_NE(tooBig.err.find("Line1.Recipe.Name (STR20, 21 bytes) does not fit"),
              std::string::npos)
        << tooBig.err;

    const ToolRun badStation = Ksym({"--station", "sim:nonsense=1", "read", "Line1.Mode"});
    EXPECT_EQ(badStation.exitCode, 2);

    const ToolRun late = Ksym({"--station", "sim:latency=300", "--timeout", "50", "read", "%MW4"});
    EXPECT_EQ(late.exitCode, 7);
    EXPECT_EQ(late.err, "ksym: no answer from the controller\n");

    // Without a verb the tool still reports the library and the channel.
    const ToolRun hello = Ksym({});
    EXPECT_EQ(hello.exitCode, 0) << hello.err;
    EXPECT_NE(hello.out.find("channel 1 opened to sim\n"), std::string::npos) << hello.out;
}

TEST_F(KsymCli, WrittenValuesReadBackInEitherByteOrder) {
    const std::vector<std::string> assignments = {
        "Line1.Station2.Motor1.Speed=-1234",
        "Line2.Counter=0x7FFFFFFF",
        "Line2.Running=true",
        "Line1.Recipe.Name=hello, plant",
        "Line2.Station1.Setpoints=[1, -2, 3, -32768]",
        "Line2.Station1.Heater.Power=-2.5",
        "%MW10=65535",
        "%QX0.3=1",
        "Line1.Station2.Drive=00112233445566778899aabbccddeeff"};
    const json expected = {-1234,
                           0x7FFFFFFF,
                           true,
                           "hello, plant",
                           {1, -2, 3, -32768},
                           -2.5,
                           65535,
                           true,
                           "00112233445566778899aabbccddeeff"};
    for (const char* station : {"sim", "sim:order=big"}) {
        std::vector<std::string> arguments = {"--station", station, "--json", "write", "--verify"};
        arguments.insert(arguments.end(), assignments.begin(), assignments.end());
        const ToolRun run = Ksym(arguments);
        ASSERT_EQ(run.exitCode, 0) << station << ": " << run.err;
        const json values = Json(run);
        ASSERT_EQ(values.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(values[i].at("value"), expected[i]) << station << ": " << assignments[i];
        }
    }
    std::vector<std::string> plain = {"write"};
    plain.insert(plain.end(), assignments.begin(), assignments.end());
    const ToolRun quiet = Ksym(plain);
    EXPECT_EQ(quiet.exitCode, 0) << quiet.err;
    EXPECT_EQ(quiet.out, "wrote 9 variables\n");

    // A station whose telegrams hold one string each: written one by one, read in several
    // telegrams.
    const ToolRun small =
        Ksym({"--station", "sim:block=64", "--debug", "write", "--verify", "Line1.Recipe.Name=one",
              "Line2.Station2.Display.Text=two", "Line1.Mode=3"});
    ASSERT_EQ(small.exitCode, 0) << small.err;
    EXPECT_TRUE(std::regex_search(small.out, std::regex("\nLine1.Recipe.Name +STR20 +\"one\"\n")));
    EXPECT_TRUE(std::regex_search(small.out,
                                  std::regex("\nLine2.Station2.Display.Text +STR20 +\"two\"\n")));
    EXPECT_TRUE(std::regex_search(small.out, std::regex("\nLine1.Mode +BYTE +3\n")));
    size_t writes = 0;
    for (size_t at = small.err.find("KSymWriteVarList("); at != std::string::npos;
         at = small.err.find("KSymWriteVarList(", at + 1)) {
        ++writes;
    }
    EXPECT_EQ(writes, 3u) << "one telegram per variable";
}

TEST_F(KsymCli, WriteChecksEveryNameAndValueBeforeSending) {
    struct Case {
        std::vector<std::string> arguments;
        std::string err;
    };
    const Case cases[] = {
        {{"write", "Line1.Mode=1", "Nope=1"}, "ksym: unknown variable: Nope\n"},
        {{"write", "Line1.Mode=256"}, "ksym: value does not fit Line1.Mode (BYTE, 1 byte): 256\n"},
        {{"write", "Line1.Station2.Motor1.Speed=-32769"},
         "ksym: value does not fit Line1.Station2.Motor1.Speed (INT, 2 bytes): -32769\n"},
        {{"write", "Line1.Recipe.Name=" + std::string(21, 'x')},
         "ksym: value does not fit Line1.Recipe.Name (STR20, 21 bytes): " + std::string(21, 'x') +
             "\n"},
        {{"write", "Line2.Running=yes"},
         "ksym: value does not fit Line2.Running (BOOL, 1 byte): yes\n"},
        {{"write", "%MW4=-1"}, "ksym: value does not fit %MW4 (WORD, 2 bytes): -1\n"},
        {{"write", "Line1.Station2.Drive=0011"},
         "ksym: value does not fit Line1.Station2.Drive (DATA, 16 bytes): 0011\n"},
        {{"write", "Line1.Mode"}, "ksym: expected NAME=VALUE: Line1.Mode\n"},
    };
    for (const Case& c : cases) {
        const ToolRun run = Ksym(c.arguments);
        EXPECT_EQ(run.exitCode, 3) << c.arguments.back();
        EXPECT_EQ(run.err, c.err);
        EXPECT_EQ(run.out, "");
    }

    // The absent byte makes the controller refuse the write of the variable covering it.
    const ToolRun refused = Ksym({"--station", "sim:absent=3:0", "write", "Line1.Mode=1"});
    EXPECT_EQ(refused.exitCode, 6);
    EXPECT_EQ(refused.err.rfind("ksym: the controller refused the write", 0), 0u) << refused.err;
    EXPECT_EQ(refused.out, "");
}

TEST_F(KsymCli, InfoShowsTheControllersIdentification) {
    const plcsim::Project project = plcsim::SampleProject();
    char id[16];
    std::snprintf(id, sizeof id, "0x%08X", static_cast<unsigned>(project.id));
    const ToolRun run = Ksym({"info", "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const json info = Json(run);
    EXPECT_EQ(info.at("projectId"), id);
    EXPECT_EQ(info.at("number"), project.number);
    // The reply carries project name, version, description, author and date.
    EXPECT_EQ(info.at("project"), project.texts[0]);
    EXPECT_EQ(info.at("version"), project.texts[1]);
    EXPECT_EQ(info.at("description"), project.texts[2]);
    EXPECT_EQ(info.at("author"), project.texts[3]);
    EXPECT_EQ(info.at("date"), project.texts[4]);
    EXPECT_EQ(info.at("symbolsProjectId"), id);

    const ToolRun table = Ksym({"--station", "sim:order=big", "info"});
    ASSERT_EQ(table.exitCode, 0) << table.err;
    EXPECT_NE(table.out.find(std::string("project id          ") + id + "\n"), std::string::npos)
        << table.out;
    EXPECT_NE(table.out.find("description         " + project.texts[2] + "\n"), std::string::npos)
        << table.out;

    // Without symbols the controller's identification still comes.
    const ToolRun noSymbols = Ksym({"--station", "sim:fault=refuse", "info", "--json"});
    ASSERT_EQ(noSymbols.exitCode, 0) << noSymbols.err;
    EXPECT_TRUE(Json(noSymbols).at("symbolsProjectId").is_null());
}

TEST_F(KsymCli, LoginAndLogout) {
    const ToolRun in = Ksym({"login"});
    EXPECT_EQ(in.exitCode, 0) << in.err;
    EXPECT_EQ(in.out, "logged in\n");
    const ToolRun out = Ksym({"logout"});
    EXPECT_EQ(out.exitCode, 0) << out.err;
    EXPECT_EQ(out.out, "logged out\n");
    // The answer's status word is in the station's byte order.
    const ToolRun big = Ksym({"--station", "sim:order=big", "login", "--json"});
    EXPECT_EQ(big.exitCode, 0) << big.err;
    EXPECT_EQ(Json(big), json({{"loggedIn", true}}));

    const ToolRun refused = Ksym({"--station", "sim:fault=refuse", "login"});
    EXPECT_EQ(refused.exitCode, 6);
    EXPECT_EQ(refused.err, "ksym: the controller refused the login\n");
    const ToolRun late = Ksym({"--station", "sim:latency=300", "--timeout", "50", "logout"});
    EXPECT_EQ(late.exitCode, 7);
    EXPECT_EQ(late.err, "ksym: no answer from the controller\n");
}

} // namespace
