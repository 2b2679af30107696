// ksym publish --format sparkplug into a real mosquitto broker, read back by a subscriber of
// the test's own and decoded from the protocol's field numbers (sparkplug_wire.h): the births
// with every sample type mapped, data by alias, seq across the node's messages and its wrap,
// NDEATH with the births' bdSeq (also as the will of a killed publisher), rebirth on request,
// the device's death with the station, commands that write, and what the buffer kept.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ksym_tool_run.h"
#include "mqtt_broker.h"
#include "plcsim_process.h"
#include "sparkplug_wire.h"
#include "support/watchdog.h"

namespace {

using ksymtest::Broker;
using ksymtest::KsymCli;
using ksymtest::Station;
using ksymtest::Subscriber;
using ksymtest::ToolRun;
using ksymtest::WireMetric;
using ksymtest::WirePayload;
namespace fs = std::filesystem;

constexpr auto kSparkplugNoHang = std::chrono::seconds(120);
const std::string kModeName = "Line1.Mode";
const std::string kRecipeName = "Line1.Recipe.Name";

struct SparkplugMessage {
    std::string type;   // NBIRTH, DDATA, ...
    std::string device; // empty for the node's own
    WirePayload payload;
};

std::string NodeTopic(const std::string& type) {
    return "spBv1.0/Plant/" + type + "/Gate1";
}

// The subscriber's messages of group Plant, node Gate1, decoded; a payload that does not
// decode fails the test.
std::vector<SparkplugMessage> Decoded(const Subscriber& subscriber) {
    std::vector<SparkplugMessage> messages;
    for (const auto& [topic, hex] : subscriber.Received()) {
        const std::string prefix = "spBv1.0/Plant/";
        if (topic.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        const std::string rest = topic.substr(prefix.size()); // TYPE/NODE[/DEVICE]
        const size_t slash = rest.find('/');
        const size_t deviceSlash = rest.find('/', slash + 1);
        SparkplugMessage message;
        message.type = rest.substr(0, slash);
        if (message.type == "NCMD" || message.type == "DCMD") {
            continue;
        }
        EXPECT_EQ(rest.substr(slash + 1, deviceSlash - slash - 1), "Gate1") << topic;
        message.device = deviceSlash == std::string::npos ? "" : rest.substr(deviceSlash + 1);
        EXPECT_TRUE(ksymtest::DecodePayload(ksymtest::FromHex(hex), message.payload))
            << topic << " " << hex;
        messages.push_back(std::move(message));
    }
    return messages;
}

std::vector<SparkplugMessage> OfType(const std::vector<SparkplugMessage>& messages,
                                     const std::string& type) {
    std::vector<SparkplugMessage> chosen;
    for (const SparkplugMessage& message : messages) {
        if (message.type == type) {
            chosen.push_back(message);
        }
    }
    return chosen;
}

const WireMetric* Named(const WirePayload& payload, const std::string& name) {
    for (const WireMetric& metric : payload.metrics) {
        if (metric.name == name) {
            return &metric;
        }
    }
    return nullptr;
}

// The seq of every message but NDEATH: 0 with each NBIRTH, one more (mod 256) with each
// other. How many times it wrapped from 255 to 0.
int CheckSequence(const std::vector<SparkplugMessage>& messages) {
    int wraps = 0;
    std::optional<uint64_t> last;
    for (const SparkplugMessage& message : messages) {
        if (message.type == "NDEATH") {
            EXPECT_FALSE(message.payload.seq.has_value());
            continue;
        }
        EXPECT_TRUE(message.payload.seq.has_value()) << message.type;
        const uint64_t seq = message.payload.seq.value_or(999);
        if (message.type == "NBIRTH") {
            EXPECT_EQ(seq, 0u);
        } else if (last) {
            EXPECT_EQ(seq, (*last + 1) % 256) << message.type << " after " << *last;
            wraps += seq == 0 ? 1 : 0;
        }
        last = seq;
    }
    return wraps;
}

class KsymSparkplug : public KsymCli {
public:
    ToolRun Publish(const std::string& url, std::vector<std::string> arguments,
                    const std::function<void(pid_t)>& during = nullptr) {
        std::vector<std::string> all = {"publish", "--broker", url,      "--format", "sparkplug",
                                        "--group", "Plant",    "--node", "Gate1"};
        size_t at = 0;
        // ksym's own options (--station, --timeout) go before the verb.
        for (; at + 1 < arguments.size() &&
               (arguments[at] == "--station" || arguments[at] == "--timeout");
             at += 2) {
            all.insert(all.begin() + static_cast<long>(at), {arguments[at], arguments[at + 1]});
        }
        all.insert(all.end(), arguments.begin() + static_cast<long>(at), arguments.end());
        return Ksym(all, [&](pid_t pid, const std::string&) {
            if (during) {
                during(pid);
            }
        });
    }
};

TEST_F(KsymSparkplug, BirthsMapEverySampleTypeDataGoesByAliasAndSeqWraps) {
    ksymtest::Watchdog watchdog("sparkplug births", kSparkplugNoHang);
    Broker broker(scratch_);
    // Each sample type, with the data type it must map to.
    const std::vector<std::pair<std::string, uint64_t>> variables = {
        {"Line1.Station1.StartButton", 11},
        {"Line1.Station1.Selector", 5},
        {"Line2.Station1.PressureRaw", 6},
        {"Line2.Station1.StatusWord", 7},
        {"Line1.Station2.Motor1.ActualSpeed", 2},
        {"Line1.Station3.Conveyor.Position", 3},
        {"Line1.Station3.Scale.Weight", 9},
        {"Line2.Station1.Temperature", 10},
        {"Line1.Shift.CycleTime", 7},
        {"Line1.Shift.StartedAt", 13},
        {kRecipeName, 12},
        {"Line1.Station3.Sensors", 17},
        {"Line1.Station2.Drive", 17},
    };
    std::vector<std::string> names;
    for (const auto& variable : variables) {
        names.push_back(variable.first);
    }
    std::vector<std::string> readArguments = {"--json", "read"};
    readArguments.insert(readArguments.end(), names.begin(), names.end());
    const ToolRun read = Ksym(readArguments);
    ASSERT_EQ(read.exitCode, 0) << read.err;
    const nlohmann::json shown = nlohmann::json::parse(read.out);

    Subscriber subscriber(scratch_, broker.port(), "spBv1.0/#", {}, false, true);
    // A heartbeat of a millisecond sends every value with every read: more than 256 messages.
    std::vector<std::string> arguments = names;
    arguments.insert(arguments.end(), {"--device", "Press", "--interval", "10", "--count", "300",
                                       "--heartbeat", "0.001"});
    const ToolRun run = Publish(broker.url(), arguments);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    ASSERT_TRUE(
        ksymtest::WaitUntil([&] { return !OfType(Decoded(subscriber), "NDEATH").empty(); }));
    const std::vector<SparkplugMessage> messages = Decoded(subscriber);
    ASSERT_GE(messages.size(), 300u);

    ASSERT_EQ(messages.front().type, "NBIRTH");
    const WireMetric* bdSeq = Named(messages.front().payload, "bdSeq");
    ASSERT_NE(bdSeq, nullptr);
    EXPECT_EQ(bdSeq->datatype, 8u);
    EXPECT_EQ(bdSeq->valueField, 11);
    const WireMetric* rebirth = Named(messages.front().payload, "Node Control/Rebirth");
    ASSERT_NE(rebirth, nullptr);
    EXPECT_EQ(rebirth->datatype, 11u);
    EXPECT_EQ(rebirth->valueField, 14);
    EXPECT_EQ(rebirth->number, 0u);
    EXPECT_TRUE(messages.front().payload.timestamp.has_value());

    ASSERT_EQ(messages[1].type, "DBIRTH");
    EXPECT_EQ(messages[1].device, "Press");
    const WirePayload& birth = messages[1].payload;
    ASSERT_EQ(birth.metrics.size(), variables.size());
    std::map<uint64_t, size_t> byAlias;
    for (size_t i = 0; i < variables.size(); ++i) {
        const WireMetric& metric = birth.metrics[i];
        EXPECT_EQ(metric.name, variables[i].first);
        EXPECT_EQ(metric.datatype, variables[i].second) << variables[i].first;
        EXPECT_FALSE(metric.null) << variables[i].first;
        ASSERT_TRUE(metric.alias.has_value());
        EXPECT_TRUE(byAlias.emplace(*metric.alias, i).second) << "aliases are unique";
    }
    // The values of the variables that stand still, as ksym --json read gives them.
    const auto value = [&](const std::string& name) { return *Named(birth, name); };
    EXPECT_EQ(value("Line1.Station1.Selector").number, shown[1]["value"].get<uint64_t>());
    EXPECT_EQ(value("Line1.Shift.CycleTime").valueField, 10);
    EXPECT_EQ(value("Line1.Shift.CycleTime").number, 4250u);
    EXPECT_EQ(value(kRecipeName).bytes, shown[10]["value"].get<std::string>());
    // DATE_AND_TIME: the seconds in its first four bytes, least significant first, in ms.
    const std::string started = ksymtest::FromHex(shown[9]["value"].get<std::string>());
    uint64_t seconds = 0;
    for (size_t i = 4; i-- > 0;) {
        seconds = seconds << 8 | static_cast<unsigned char>(started.at(i));
    }
    EXPECT_EQ(value("Line1.Shift.StartedAt").valueField, 11);
    EXPECT_EQ(value("Line1.Shift.StartedAt").number, seconds * 1000);
    std::string sensors;
    for (const auto& element : shown[11]["value"]) {
        const auto bits = static_cast<uint16_t>(element.get<int>());
        sensors += {static_cast<char>(bits & 0xFF), static_cast<char>(bits >> 8)};
    }
    EXPECT_EQ(value("Line1.Station3.Sensors").bytes, sensors);
    EXPECT_EQ(ksymtest::FromHex(shown[12]["value"].get<std::string>()),
              value("Line1.Station2.Drive").bytes);
    const WireMetric& temperature = value("Line2.Station1.Temperature");
    EXPECT_EQ(temperature.valueField, 13);
    EXPECT_GT(temperature.real, 0.0);

    const std::vector<SparkplugMessage> data = OfType(messages, "DDATA");
    ASSERT_GE(data.size(), 290u);
    for (const SparkplugMessage& message : data) {
        EXPECT_EQ(message.device, "Press");
        ASSERT_EQ(message.payload.metrics.size(), variables.size()) << "every value, each read";
        for (const WireMetric& metric : message.payload.metrics) {
            EXPECT_FALSE(metric.name.has_value()) << "data goes by alias";
            EXPECT_FALSE(metric.historical);
            ASSERT_TRUE(metric.alias.has_value());
            EXPECT_EQ(byAlias.count(*metric.alias), 1u);
        }
    }
    EXPECT_GE(CheckSequence(messages), 1) << "seq wraps after 255";
    ASSERT_EQ(messages.back().type, "NDEATH");
    const WireMetric* deathSeq = Named(messages.back().payload, "bdSeq");
    ASSERT_NE(deathSeq, nullptr);
    EXPECT_EQ(deathSeq->number, bdSeq->number);
}

TEST_F(KsymSparkplug, RebirthOnRequestDeviceDeathWithTheStationAndTheWillOfAKilledNode) {
    ksymtest::Watchdog watchdog("sparkplug rebirth", kSparkplugNoHang);
    Broker broker(scratch_);
    Station station(scratch_, ksymtest::FreePort()); // taken by nobody during its outage
    const uint16_t port = station.port();
    const std::string buffer = (scratch_ / "buffer").string();
    uint64_t firstBdSeq = 0;
    {
        Subscriber subscriber(scratch_, broker.port(), "spBv1.0/#", {}, false, true);
        ksymtest::Outage outage([&] { station.Stop(); }, [&] { station.Start(scratch_, port); },
                                std::chrono::milliseconds(1500), std::chrono::milliseconds(2500));
        bool asked = false;
        std::string rebirth; // NCMD: a metric "Node Control/Rebirth", Boolean true
        {
            std::string metric;
            ksymtest::PutBytes(metric, 1, "Node Control/Rebirth");
            ksymtest::PutNumber(metric, 4, 11);
            ksymtest::PutNumber(metric, 14, 1);
            ksymtest::PutNumber(rebirth, 1, 1);
            ksymtest::PutBytes(rebirth, 2, metric);
        }
        const ToolRun run =
            Publish(broker.url(),
                    {"--station", station.address(), "--timeout", "500", kModeName, "--interval",
                     "100", "--duration", "6", "--buffer", buffer},
                    [&](pid_t) {
                        if (!asked && !OfType(Decoded(subscriber), "DBIRTH").empty()) {
                            subscriber.SendBytes(NodeTopic("NCMD"), rebirth);
                            asked = true;
                        }
                        outage.Step();
                    });
        EXPECT_EQ(run.exitCode, 0) << run.err;
        ASSERT_TRUE(
            ksymtest::WaitUntil([&] { return !OfType(Decoded(subscriber), "NDEATH").empty(); }));
        const std::vector<SparkplugMessage> messages = Decoded(subscriber);
        std::vector<std::string> births;
        for (const SparkplugMessage& message : messages) {
            if (message.type != "DDATA") {
                births.push_back(message.type);
            }
        }
        // The start, the rebirth asked for, the station's loss and return, the goodbye.
        EXPECT_EQ(births, (std::vector<std::string>{"NBIRTH", "DBIRTH", "NBIRTH", "DBIRTH",
                                                    "DDEATH", "DBIRTH", "NDEATH"}));
        CheckSequence(messages);
        const auto nodeBirths = OfType(messages, "NBIRTH");
        ASSERT_EQ(nodeBirths.size(), 2u);
        firstBdSeq = Named(nodeBirths[0].payload, "bdSeq")->number;
        EXPECT_EQ(Named(nodeBirths[1].payload, "bdSeq")->number, firstBdSeq)
            << "a rebirth is the same connection";
        EXPECT_EQ(Named(OfType(messages, "NDEATH")[0].payload, "bdSeq")->number, firstBdSeq);
        // The device's birth after the station's return carries its value again.
        const auto deviceBirths = OfType(messages, "DBIRTH");
        const WireMetric* mode = Named(deviceBirths.back().payload, kModeName);
        ASSERT_NE(mode, nullptr);
        EXPECT_EQ(mode->number, 1u);
    }
    {
        // Killed: the broker sends the will, NDEATH with the bdSeq of that connection's
        // birth, which is not the one of the node before it (kept in the buffer folder).
        Subscriber subscriber(scratch_, broker.port(), "spBv1.0/#", {}, false, true);
        bool killed = false;
        Publish(
            broker.url(),
            {"--station", station.address(), kModeName, "--interval", "100", "--buffer", buffer},
            [&](pid_t pid) {
                if (!killed && !OfType(Decoded(subscriber), "DBIRTH").empty()) {
                    kill(pid, SIGKILL);
                    killed = true;
                }
            });
        ASSERT_TRUE(killed);
        ASSERT_TRUE(ksymtest::WaitUntil(
            [&] { return !OfType(Decoded(subscriber), "NDEATH").empty(); }, 60000));
        const std::vector<SparkplugMessage> messages = Decoded(subscriber);
        const uint64_t born = Named(OfType(messages, "NBIRTH")[0].payload, "bdSeq")->number;
        EXPECT_NE(born, firstBdSeq);
        EXPECT_EQ(Named(OfType(messages, "NDEATH")[0].payload, "bdSeq")->number, born);
    }
}

// A DCMD payload with one metric: by name or by alias, with its datatype and value field.
std::string DeviceCommand(const std::string& name, uint64_t alias, uint64_t datatype, int field,
                          const std::string& value) {
    std::string metric;
    if (!name.empty()) {
        ksymtest::PutBytes(metric, 1, name);
    } else {
        ksymtest::PutNumber(metric, 2, alias);
    }
    ksymtest::PutNumber(metric, 4, datatype);
    if (field == 15) {
        ksymtest::PutBytes(metric, field, value);
    } else {
        ksymtest::PutNumber(metric, field, std::stoull(value));
    }
    std::string payload;
    ksymtest::PutNumber(payload, 1, 1);
    ksymtest::PutBytes(payload, 2, metric);
    return payload;
}

TEST_F(KsymSparkplug, DeviceCommandsWriteOnlyWhenAllowedAndAsWriteChecks) {
    ksymtest::Watchdog watchdog("sparkplug writes", kSparkplugNoHang);
    Broker broker(scratch_);
    const std::string dcmd = "spBv1.0/Plant/DCMD/Gate1/sim";
    const auto run = [&](bool allowed, const std::vector<std::string>& commands,
                         Subscriber& subscriber) {
        std::vector<std::string> arguments = {kModeName, kRecipeName,  "--interval",
                                              "100",     "--duration", "2.5"};
        if (allowed) {
            arguments.push_back("--allow-writes");
        }
        bool sent = false;
        const ToolRun done = Publish(broker.url(), arguments, [&](pid_t) {
            if (!sent && !OfType(Decoded(subscriber), "DBIRTH").empty()) {
                for (const std::string& command : commands) {
                    subscriber.SendBytes(dcmd, command);
                }
                sent = true;
            }
        });
        EXPECT_EQ(done.exitCode, 0) << done.err;
        EXPECT_TRUE(sent);
        return done;
    };
    // The last value of the alias in the data after the birth.
    const auto last = [](const std::vector<SparkplugMessage>& messages, uint64_t alias) {
        std::optional<WireMetric> found;
        for (const SparkplugMessage& message : messages) {
            for (const WireMetric& metric : message.payload.metrics) {
                if (metric.alias == alias) {
                    found = metric;
                }
            }
        }
        return found;
    };
    {
        Subscriber subscriber(scratch_, broker.port(), "spBv1.0/#", {}, false, true);
        const ToolRun done =
            run(true,
                {DeviceCommand(kModeName, 0, 5, 10, "4"), DeviceCommand(kModeName, 0, 5, 10, "300"),
                 DeviceCommand("", 2, 12, 15, "Rye"), DeviceCommand("", 9, 5, 10, "1"),
                 DeviceCommand(kModeName, 0, 12, 15, "many")},
                subscriber);
        const std::vector<SparkplugMessage> messages = Decoded(subscriber);
        const std::optional<WireMetric> mode = last(messages, 1);
        ASSERT_TRUE(mode.has_value());
        EXPECT_EQ(mode->number, 4u) << "the write by name took; 300 does not fit a BYTE";
        const std::optional<WireMetric> recipe = last(messages, 2);
        ASSERT_TRUE(recipe.has_value());
        EXPECT_EQ(recipe->bytes, "Rye") << "the write by alias took";
        EXPECT_NE(done.err.find("DCMD Line1.Mode not written: value does not fit"),
                  std::string::npos)
            << done.err;
        EXPECT_NE(done.err.find("DCMD alias 9 not written: not a published variable"),
                  std::string::npos)
            << done.err;
        EXPECT_NE(done.err.find("(BYTE, 1 byte): many"), std::string::npos) << done.err;
    }
    {
        Subscriber subscriber(scratch_, broker.port(), "spBv1.0/#", {}, false, true);
        run(false, {DeviceCommand(kModeName, 0, 5, 10, "7")}, subscriber);
        const std::optional<WireMetric> mode = last(Decoded(subscriber), 1);
        ASSERT_TRUE(mode.has_value());
        EXPECT_EQ(mode->number, 1u) << "nothing written without --allow-writes";
    }
}

TEST_F(KsymSparkplug, WhatTheBufferKeptFollowsTheBirthsMarkedHistoricalInSeq) {
    ksymtest::Watchdog watchdog("sparkplug buffer", kSparkplugNoHang);
    const fs::path store = scratch_ / "store";
    fs::create_directories(store);
    Broker broker(scratch_, "allow_anonymous true\npersistence true\npersistence_location " +
                                store.string() + "/\n");
    Subscriber subscriber(scratch_, broker.port(), "spBv1.0/#", {}, true, true);
    ksymtest::Outage outage([&] { broker.Stop(); }, [&] { broker.Start(); },
                            std::chrono::milliseconds(1000), std::chrono::milliseconds(3000));
    const ToolRun run = Publish(broker.url(),
                                {"Line2.Station1.Temperature", "--interval", "100", "--duration",
                                 "7", "--buffer", (scratch_ / "buffer").string()},
                                [&](pid_t) { outage.Step(); });
    EXPECT_EQ(run.exitCode, 0) << run.err;
    ASSERT_TRUE(
        ksymtest::WaitUntil([&] { return !OfType(Decoded(subscriber), "NDEATH").empty(); }));
    const std::vector<SparkplugMessage> messages = Decoded(subscriber);
    CheckSequence(messages);
    size_t historical = 0;
    bool afterSecondBirth = false;
    int nodeBirths = 0;
    uint64_t lastTime = 0;
    for (const SparkplugMessage& message : messages) {
        nodeBirths += message.type == "NBIRTH" ? 1 : 0;
        if (message.type == "DBIRTH" && nodeBirths == 2) {
            afterSecondBirth = true;
        }
        if (message.type != "DDATA") {
            continue;
        }
        for (const WireMetric& metric : message.payload.metrics) {
            if (metric.historical) {
                ++historical;
                EXPECT_TRUE(afterSecondBirth) << "kept values follow the births";
                EXPECT_GT(metric.timestamp.value_or(0), lastTime) << "in order";
                lastTime = metric.timestamp.value_or(0);
            }
        }
    }
    EXPECT_EQ(nodeBirths, 2);
    EXPECT_GE(historical, 12u) << "two seconds down at ten reads a second";
}

} // namespace
