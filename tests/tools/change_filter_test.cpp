// What ksym publish sends after each read, without a broker: everything first and after a
// reset, then only changes (numbers beyond the deadband, other values by their bytes, a
// value that comes or goes), everything again on the heartbeat; and the topics and payloads
// it sends them as.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/ksym/change_filter.h"
#include "tools/ksym/json_topics.h"
#include "tools/ksym/variables.h"

namespace {

using ksymtool::ChangeFilter;
using ksymtool::ReadValue;
using ksymtool::Variable;

Variable Named(const std::string& name, const std::string& type, uint32_t size) {
    Variable variable;
    variable.name = name;
    variable.typeName = type;
    variable.shape = ksymtool::ShapeOf(type.c_str(), size);
    return variable;
}

ReadValue Int(int16_t number) {
    ReadValue value;
    value.valid = true;
    value.bytes.resize(2);
    std::memcpy(value.bytes.data(), &number, 2);
    return value;
}

ReadValue Text(const std::string& text) {
    ReadValue value;
    value.valid = true;
    value.bytes.assign(text.begin(), text.end());
    value.bytes.resize(21);
    return value;
}

TEST(ChangeFilter, SendsChangesBeyondTheDeadbandAndEverythingOnHeartbeatAndReset) {
    const std::vector<Variable> variables = {Named("Speed", "INT", 2), Named("Name", "STR20", 21)};
    ChangeFilter filter(5, 1000);
    using Chosen = std::vector<size_t>;
    EXPECT_EQ(filter.Select(variables, {Int(100), Text("a")}, 0), (Chosen{0, 1}));
    EXPECT_EQ(filter.Select(variables, {Int(104), Text("a")}, 100), Chosen{})
        << "within the band, the same text";
    EXPECT_EQ(filter.Select(variables, {Int(106), Text("a")}, 200), Chosen{0})
        << "beyond the band from the value last sent, not the last read";
    EXPECT_EQ(filter.Select(variables, {Int(106), Text("b")}, 300), Chosen{1});
    ReadValue lost;
    EXPECT_EQ(filter.Select(variables, {lost, Text("b")}, 400), Chosen{0}) << "a value goes";
    EXPECT_EQ(filter.Select(variables, {lost, Text("b")}, 500), Chosen{});
    EXPECT_EQ(filter.Select(variables, {Int(106), Text("b")}, 600), Chosen{0}) << "and comes";
    EXPECT_EQ(filter.Select(variables, {Int(107), Text("b")}, 1000), (Chosen{0, 1}))
        << "the heartbeat";
    EXPECT_EQ(filter.Select(variables, {Int(107), Text("b")}, 1100), Chosen{});
    filter.Reset();
    EXPECT_EQ(filter.Select(variables, {Int(107), Text("b")}, 1200), (Chosen{0, 1}));

    // Without a deadband every change of a number goes; without a heartbeat nothing repeats.
    ChangeFilter exact(0, 0);
    EXPECT_EQ(exact.Select(variables, {Int(1), Text("a")}, 0), (Chosen{0, 1}));
    EXPECT_EQ(exact.Select(variables, {Int(2), Text("a")}, 5000), Chosen{0});
    EXPECT_EQ(exact.Select(variables, {Int(2), Text("a")}, 900000), Chosen{});
}

TEST(JsonTopics, TopicsKeepTheirLevelsAndPayloadsShowValuesAsReadDoes) {
    EXPECT_EQ(ksymtool::DefaultTopicRoot("tcp:10.0.0.5:1200"), "ksym/tcp:10.0.0.5:1200");
    EXPECT_EQ(ksymtool::DefaultTopicRoot("sim:project=/a/b+c#"), "ksym/sim:project=_a_b_c_");
    EXPECT_EQ(ksymtool::ValueTopic("r", "A/B+#"), "r/value/A_B__");
    EXPECT_EQ(ksymtool::StateTopic("r"), "r/state");
    const Variable speed = Named("Speed", "INT", 2);
    const nlohmann::json shown =
        nlohmann::json::parse(ksymtool::ValuePayload("2026-12-09T10:00:00.000Z", speed, Int(-3)));
    EXPECT_EQ(shown, (nlohmann::json{{"time", "2026-12-09T10:00:00.000Z"},
                                     {"value", -3},
                                     {"valid", true},
                                     {"type", "INT"}}));
    ReadValue cut = Int(5);
    cut.bytes.resize(1); // fewer bytes than the variable holds: no value, not an over-read
    const nlohmann::json none = nlohmann::json::parse(ksymtool::ValuePayload("t", speed, cut));
    EXPECT_TRUE(none["value"].is_null());
    EXPECT_EQ(none["valid"], false);
    const nlohmann::json birth = nlohmann::json::parse(
        ksymtool::BirthPayload(nlohmann::json{{"project", "P"}}, {{"Speed", "INT", 1, 8, 2}}));
    EXPECT_EQ(birth["variables"][0]["offset"], 8);
    EXPECT_EQ(birth["project"]["project"], "P");
}

} // namespace
