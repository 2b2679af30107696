// ksym publish into a real mosquitto broker, read back by a subscriber of the test's own:
// the JSON topics (state, birth, values) on change, deadband and heartbeat on the moving
// sample plant; a station that goes and comes back; the will when the publisher dies; a
// login; and the refusals, each with its exit code.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ksym_tool_run.h"
#include "mqtt_broker.h"
#include "plcsim_process.h"
#include "support/watchdog.h"
#include "tools/ksym/publish/message_buffer.h"

namespace {

using ksymtest::Broker;
using ksymtest::KsymCli;
using ksymtest::Messages;
using ksymtest::Station;
using ksymtest::Subscriber;
using ksymtest::ToolRun;
using nlohmann::json;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr auto kPublishNoHang = std::chrono::seconds(120);
const std::string kTemperature = "Line2.Station1.Temperature";
const std::string kMode = "Line1.Mode";

// The payloads sent to `topic`, in order.
std::vector<std::string> On(const Messages& messages, const std::string& topic) {
    std::vector<std::string> payloads;
    for (const auto& [to, payload] : messages) {
        if (to == topic) {
            payloads.push_back(payload);
        }
    }
    return payloads;
}

class KsymPublish : public KsymCli {};

TEST_F(KsymPublish, JsonTopicsFollowTheChangesTheDeadbandAndTheHeartbeat) {
    ksymtest::Watchdog watchdog("publish json", kPublishNoHang);
    Broker broker(scratch_);
    {
        Subscriber subscriber(scratch_, broker.port(), "ksym/#");
        const ToolRun run = Ksym({"publish", "--broker", broker.url(), kTemperature, kMode,
                                  "--interval", "100", "--count", "15", "--heartbeat", "1"});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        ASSERT_TRUE(ksymtest::WaitUntil([&] {
            const auto states = On(subscriber.Received(), "ksym/sim/state");
            return !states.empty() && states.back() == "offline";
        })) << "no offline at the end";
        const Messages messages = subscriber.Received();
        ASSERT_GE(messages.size(), 3u);
        EXPECT_EQ(messages.front(),
                  (std::pair<std::string, std::string>{"ksym/sim/state", "online"}));
        const auto births = On(messages, "ksym/sim/birth");
        ASSERT_EQ(births.size(), 1u);
        const json birth = json::parse(births[0]);
        EXPECT_EQ(birth["project"]["project"], "SAMPLE");
        EXPECT_EQ(birth["project"]["number"], 7);
        ASSERT_EQ(birth["variables"].size(), 2u);
        EXPECT_EQ(birth["variables"][0], (json{{"name", kTemperature},
                                               {"type", "LREAL"},
                                               {"area", 1},
                                               {"offset", 40},
                                               {"size", 8}}));
        EXPECT_EQ(birth["variables"][1]["type"], "BYTE");

        const auto temperatures = On(messages, "ksym/sim/value/" + kTemperature);
        const auto modes = On(messages, "ksym/sim/value/" + kMode);
        // The temperature swings: nearly every read sends it. The mode stands: it goes at the
        // start and on each heartbeat (about every second of the 1.4 s or more).
        EXPECT_GE(temperatures.size(), 10u);
        ASSERT_GE(modes.size(), 2u);
        const json first = json::parse(modes[0]);
        EXPECT_EQ(first["value"], 1);
        EXPECT_EQ(first["valid"], true);
        EXPECT_EQ(first["type"], "BYTE");
        EXPECT_EQ(first["time"].get<std::string>().size(), 24u);
        const json last = json::parse(temperatures.back());
        EXPECT_TRUE(last["value"].is_number_float());
        EXPECT_LE(modes.size(), 1 + temperatures.size() / 4) << "the mode went out unchanged";
    }
    {
        // A deadband wider than the swing: the temperature goes only at the start and on the
        // heartbeat, with the mode.
        Subscriber subscriber(scratch_, broker.port(), "plant/#");
        const ToolRun run = Ksym({"publish", "--broker", broker.url(), "--topic", "plant/line2",
                                  kTemperature, kMode, "--interval", "100", "--count", "15",
                                  "--heartbeat", "1", "--deadband", "1000", "--qos", "0"});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        ASSERT_TRUE(ksymtest::WaitUntil([&] {
            const auto states = On(subscriber.Received(), "plant/line2/state");
            return !states.empty() && states.back() == "offline";
        }));
        const Messages messages = subscriber.Received();
        const auto temperatures = On(messages, "plant/line2/value/" + kTemperature);
        EXPECT_GE(temperatures.size(), 2u);
        EXPECT_EQ(temperatures.size(), On(messages, "plant/line2/value/" + kMode).size());
    }
}

TEST_F(KsymPublish, AStationThatGoesIsLostAndComesBackWithANewBirth) {
    ksymtest::Watchdog watchdog("publish station lost", kPublishNoHang);
    Broker broker(scratch_);
    Station station(scratch_, ksymtest::FreePort()); // taken by nobody during its outage
    const uint16_t port = station.port();
    Subscriber subscriber(scratch_, broker.port(), "ksym/#");
    ksymtest::Outage outage([&] { station.Stop(); }, [&] { station.Start(scratch_, port); },
                            std::chrono::milliseconds(1000), std::chrono::milliseconds(2000));
    const ToolRun run =
        Ksym({"--station", station.address(), "--timeout", "500", "publish", "--broker",
              broker.url(), kMode, "--interval", "100", "--duration", "5"},
             [&](pid_t, const std::string&) { outage.Step(); });
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const std::string root = "ksym/tcp:127.0.0.1:" + std::to_string(port);
    ASSERT_TRUE(ksymtest::WaitUntil([&] {
        const auto states = On(subscriber.Received(), root + "/state");
        return !states.empty() && states.back() == "offline";
    }));
    const Messages messages = subscriber.Received();
    EXPECT_EQ(On(messages, root + "/state"),
              (std::vector<std::string>{"online", "station-lost", "online", "offline"}));
    EXPECT_EQ(On(messages, root + "/birth").size(), 2u);
    // After the new birth the value goes again, though it did not change.
    EXPECT_GE(On(messages, root + "/value/" + kMode).size(), 2u);
}

TEST_F(KsymPublish, APublisherThatDiesLeavesItsWillAndALoginIsKept) {
    ksymtest::Watchdog watchdog("publish will and login", kPublishNoHang);
    {
        Broker broker(scratch_);
        Subscriber subscriber(scratch_, broker.port(), "ksym/#");
        const ToolRun run =
            Ksym({"publish", "--broker", broker.url(), kMode, "--interval", "100"},
                 [&](pid_t pid, const std::string&) {
                     if (!On(subscriber.Received(), "ksym/sim/value/" + kMode).empty()) {
                         kill(pid, SIGKILL);
                     }
                 });
        EXPECT_EQ(run.exitCode, -1) << "killed";
        EXPECT_TRUE(ksymtest::WaitUntil([&] {
            const auto states = On(subscriber.Received(), "ksym/sim/state");
            return !states.empty() && states.back() == "offline";
        })) << "the broker did not send the will";
    }
    // A broker that wants a login: a wrong password is refused with its own exit code, the
    // right one from the password file is taken.
    const std::string passwords = (scratch_ / "passwords").string();
    const std::string make =
        "mosquitto_passwd -b -c " + passwords + " plant secret > /dev/null 2>&1";
    ASSERT_EQ(std::system(make.c_str()), 0);
    Broker broker(scratch_, "allow_anonymous false\npassword_file " + passwords + "\n");
    const std::string good = (scratch_ / "good").string();
    const std::string bad = (scratch_ / "bad").string();
    std::ofstream(good) << "secret\n";
    std::ofstream(bad) << "wrong\n";
    const ToolRun refused = Ksym({"publish", "--broker", broker.url(), kMode, "--count", "1",
                                  "--username", "plant", "--password-file", bad});
    EXPECT_EQ(refused.exitCode, 12) << refused.err;
    EXPECT_NE(refused.err.find("refused"), std::string::npos) << refused.err;
    Subscriber subscriber(scratch_, broker.port(), "ksym/#", {"-u", "plant", "-P", "secret"});
    const ToolRun taken = Ksym({"publish", "--broker", broker.url(), kMode, "--count", "2",
                                "--username", "plant", "--password-file", good});
    EXPECT_EQ(taken.exitCode, 0) << taken.err;
    EXPECT_TRUE(ksymtest::WaitUntil(
        [&] { return !On(subscriber.Received(), "ksym/sim/value/" + kMode).empty(); }));
}

TEST_F(KsymPublish, WritesAreTakenOnlyWhenAllowedAndCheckedAsWriteChecksThem) {
    ksymtest::Watchdog watchdog("publish writes", kPublishNoHang);
    Broker broker(scratch_);
    const std::string name = "Line1.Recipe.Name";
    // Publishes Mode and Name for `seconds`; once the first values are out, asks for the
    // writes `sets` (topic level under ROOT/set/, payload).
    const auto run = [&](const std::string& station, bool allowed,
                         const std::vector<std::pair<std::string, std::string>>& sets,
                         Subscriber& subscriber, const std::string& root) {
        std::vector<std::string> arguments = {"--station",  station,      "publish", "--broker",
                                              broker.url(), kMode,        name,      "--interval",
                                              "100",        "--duration", "2.5"};
        if (allowed) {
            arguments.push_back("--allow-writes");
        }
        bool sent = false;
        const ToolRun done = Ksym(arguments, [&](pid_t, const std::string&) {
            if (!sent && !On(subscriber.Received(), root + "/value/" + name).empty()) {
                for (const auto& [level, payload] : sets) {
                    subscriber.Send(root + "/set/" + level, payload);
                }
                sent = true;
            }
        });
        EXPECT_EQ(done.exitCode, 0) << done.err;
        EXPECT_TRUE(sent);
    };
    {
        Subscriber subscriber(scratch_, broker.port(), "ksym/sim/#");
        run("sim", true, {{kMode, "4"}, {kMode, "300"}, {"Line2.Counter", "1"}, {name, "\"Rye\""}},
            subscriber, "ksym/sim");
        const Messages messages = subscriber.Received();
        const auto modeResults = On(messages, "ksym/sim/set-result/" + kMode);
        ASSERT_EQ(modeResults.size(), 2u);
        EXPECT_EQ(json::parse(modeResults[0]), (json{{"ok", true}}));
        const json tooBig = json::parse(modeResults[1]);
        EXPECT_EQ(tooBig["code"], 3);
        EXPECT_NE(tooBig["error"].get<std::string>().find("does not fit"), std::string::npos);
        EXPECT_EQ(On(messages, "ksym/sim/set-result/Line2.Counter"),
                  (std::vector<std::string>{
                      R"({"code":3,"error":"not a published variable: Line2.Counter"})"}));
        EXPECT_EQ(On(messages, "ksym/sim/set-result/" + name),
                  (std::vector<std::string>{R"({"ok":true})"}));
        const auto modes = On(messages, "ksym/sim/value/" + kMode);
        ASSERT_GE(modes.size(), 2u);
        EXPECT_EQ(json::parse(modes.back())["value"], 4) << "the write took";
        EXPECT_EQ(json::parse(On(messages, "ksym/sim/value/" + name).back())["value"], "Rye");
    }
    {
        // Not allowed: nothing is subscribed, nothing answered, nothing written.
        Subscriber subscriber(scratch_, broker.port(), "ksym/sim/#");
        run("sim", false, {{kMode, "4"}}, subscriber, "ksym/sim");
        const Messages messages = subscriber.Received();
        EXPECT_TRUE(On(messages, "ksym/sim/set-result/" + kMode).empty());
        for (const std::string& mode : On(messages, "ksym/sim/value/" + kMode)) {
            EXPECT_EQ(json::parse(mode)["value"], 1);
        }
    }
    {
        // A controller that refuses writes: its refusal's code.
        Station station(scratch_, 0, {"--read-only"});
        const std::string root = "ksym/tcp:127.0.0.1:" + std::to_string(station.port());
        Subscriber subscriber(scratch_, broker.port(), root + "/#");
        run(station.address(), true, {{kMode, "4"}}, subscriber, root);
        const auto results = On(subscriber.Received(), root + "/set-result/" + kMode);
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(json::parse(results[0])["code"], 6);
    }
}

// A CA of the test's own, and a certificate for 127.0.0.1 from it, in `folder`: ca.pem,
// server.pem, server.key (readable by the broker's own user).
void MakeCertificates(const fs::path& folder, const std::string& ca) {
    const std::string in = "cd " + folder.string() + " && ";
    std::ofstream(folder / "san.ext") << "subjectAltName=IP:127.0.0.1,DNS:localhost\n";
    const std::string quiet = " > /dev/null 2>&1";
    ASSERT_EQ(std::system((in + "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -keyout " + ca +
                           ".key -out " + ca + ".pem -subj /CN=" + ca + quiet)
                              .c_str()),
              0);
    ASSERT_EQ(std::system((in +
                           "openssl req -newkey rsa:2048 -nodes -keyout server.key -out "
                           "server.csr -subj /CN=127.0.0.1" +
                           quiet)
                              .c_str()),
              0);
    ASSERT_EQ(std::system((in + "openssl x509 -req -in server.csr -CA " + ca + ".pem -CAkey " + ca +
                           ".key -CAcreateserial -days 1 -extfile san.ext -out server.pem" + quiet +
                           " && chmod 644 server.key")
                              .c_str()),
              0);
}

TEST_F(KsymPublish, TlsVerifiesTheBrokerAgainstTheCaFile) {
    ksymtest::Watchdog watchdog("publish tls", kPublishNoHang);
    const fs::path other = scratch_ / "other";
    fs::create_directories(other);
    MakeCertificates(other, "otherca"); // a CA the broker's certificate is not from
    MakeCertificates(scratch_, "ca");
    const std::string ca = (scratch_ / "ca.pem").string();
    Broker broker(scratch_, "cafile " + ca + "\ncertfile " + (scratch_ / "server.pem").string() +
                                "\nkeyfile " + (scratch_ / "server.key").string() +
                                "\nallow_anonymous true\n");
    const std::string url = "mqtts://127.0.0.1:" + std::to_string(broker.port());
    Subscriber subscriber(scratch_, broker.port(), "ksym/#", {"--cafile", ca});
    const ToolRun taken =
        Ksym({"publish", "--broker", url, "--ca-file", ca, kMode, "--count", "2"});
    EXPECT_EQ(taken.exitCode, 0) << taken.err;
    EXPECT_TRUE(ksymtest::WaitUntil(
        [&] { return !On(subscriber.Received(), "ksym/sim/value/" + kMode).empty(); }));
    const ToolRun untrusted = Ksym({"publish", "--broker", url, "--ca-file",
                                    (other / "otherca.pem").string(), kMode, "--count", "1"});
    EXPECT_EQ(untrusted.exitCode, 11) << untrusted.err;
    const ToolRun plain = Ksym({"publish", "--broker", broker.url(), "--ca-file", ca, kMode});
    EXPECT_EQ(plain.exitCode, 3) << plain.err;
}

TEST_F(KsymPublish, TheBufferKeepsWholeEntriesInOrderWithinItsLimitAcrossRestarts) {
    using ksymtool::BufferedMessage;
    using ksymtool::MessageBuffer;
    const std::string folder = (scratch_ / "buffer").string();
    const std::string file = folder + "/ksym-publish.buffer";
    std::string why;
    {
        MessageBuffer buffer(folder, 1024 * 1024);
        ASSERT_TRUE(buffer.Open(why)) << why;
        for (int i = 0; i < 5; ++i) {
            ASSERT_TRUE(buffer.Append({"t/" + std::to_string(i), std::string(i, 'x')}));
        }
    }
    std::string bytes = ksymtest::ReadText(file);
    // A kill at any moment leaves a file whose whole entries read back as the first ones.
    for (size_t length = 0; length <= bytes.size(); ++length) {
        uint64_t used = 0;
        const auto read = ksymtool::DecodeBufferEntries(bytes.substr(0, length), used);
        ASSERT_LE(used, length);
        for (size_t i = 0; i < read.size(); ++i) {
            ASSERT_EQ(read[i].topic, "t/" + std::to_string(i)) << "cut at " << length;
        }
        if (length == bytes.size()) {
            EXPECT_EQ(read.size(), 5u);
        }
    }
    // A restart after a kill in the middle of the last entry: the whole ones stay, the next
    // entry follows them.
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes.substr(0, bytes.size() - 3);
    {
        MessageBuffer buffer(folder, 1024 * 1024);
        ASSERT_TRUE(buffer.Open(why)) << why;
        ASSERT_TRUE(buffer.Append({"t/after", "y"}));
        const auto kept = buffer.Kept();
        ASSERT_EQ(kept.size(), 5u);
        EXPECT_EQ(kept[3].topic, "t/3");
        EXPECT_EQ(kept[4].topic, "t/after");
        // Sent in order until the sending fails; what was not sent stays.
        std::vector<std::string> sent;
        EXPECT_EQ(buffer.Drain([&](const BufferedMessage& message) {
            sent.push_back(message.topic);
            return sent.size() <= 2;
        }),
                  2u);
        EXPECT_EQ(sent, (std::vector<std::string>{"t/0", "t/1", "t/2"}));
        EXPECT_EQ(buffer.Kept().size(), 3u);
    }
    // A changed byte: the entries from there on are not taken.
    bytes = ksymtest::ReadText(file);
    bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x40);
    uint64_t used = 0;
    EXPECT_LT(ksymtool::DecodeBufferEntries(bytes, used).size(), 3u);
    // The limit: the oldest go first, down to three quarters of it, and are counted.
    MessageBuffer small((scratch_ / "small").string(), 400);
    ASSERT_TRUE(small.Open(why)) << why;
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(small.Append({"v/" + std::to_string(i), std::string(30, 'z')}));
    }
    const auto kept = small.Kept();
    ASSERT_FALSE(kept.empty());
    EXPECT_EQ(kept.back().topic, "v/19");
    EXPECT_EQ(small.dropped() + kept.size(), 20u);
    EXPECT_LE(fs::file_size(scratch_ / "small" / "ksym-publish.buffer"), 400u);
}

TEST_F(KsymPublish, WhatCameWhileTheBrokerWasDownArrivesAfterwardsInOrderMarkedHistorical) {
    ksymtest::Watchdog watchdog("publish buffer", kPublishNoHang);
    const fs::path store = scratch_ / "store";
    fs::create_directories(store);
    Broker broker(scratch_, "allow_anonymous true\npersistence true\npersistence_location " +
                                store.string() + "/\n");
    Subscriber subscriber(scratch_, broker.port(), "ksym/#", {}, true);
    const std::string buffer = (scratch_ / "buffer").string();
    ksymtest::Outage outage([&] { broker.Stop(); }, [&] { broker.Start(); },
                            std::chrono::milliseconds(1000), std::chrono::milliseconds(3000));
    const ToolRun run = Ksym({"publish", "--broker", broker.url(), kTemperature, "--interval",
                              "100", "--duration", "7", "--buffer", buffer},
                             [&](pid_t, const std::string&) { outage.Step(); });
    EXPECT_EQ(run.exitCode, 0) << run.err;
    ASSERT_TRUE(ksymtest::WaitUntil([&] {
        const auto states = On(subscriber.Received(), "ksym/sim/state");
        return !states.empty() && states.back() == "offline";
    }));
    const Messages messages = subscriber.Received();
    std::vector<std::string> times;
    size_t historical = 0;
    bool liveAfterHistorical = false;
    for (const std::string& payload : On(messages, "ksym/sim/value/" + kTemperature)) {
        const json value = json::parse(payload);
        times.push_back(value["time"]);
        if (value.value("historical", false)) {
            ++historical;
            EXPECT_FALSE(liveAfterHistorical) << "kept values come before the new ones";
        } else if (historical != 0) {
            liveAfterHistorical = true;
        }
    }
    // Two seconds down at ten reads a second.
    EXPECT_GE(historical, 12u);
    EXPECT_TRUE(liveAfterHistorical);
    for (size_t i = 1; i < times.size(); ++i) {
        EXPECT_LT(times[i - 1], times[i]) << "in order, nothing twice";
    }
    EXPECT_GE(On(messages, "ksym/sim/birth").size(), 2u) << "a birth after the broker's return";
    EXPECT_TRUE(ksymtool::MessageBuffer(buffer, 1024).Kept().empty()) << "all sent";
}

TEST_F(KsymPublish, TwentyGatewaysEachOnAStationOfItsOwnShareOneBroker) {
    ksymtest::Watchdog watchdog("twenty gateways", kPublishNoHang);
    Broker broker(scratch_);
    Subscriber subscriber(scratch_, broker.port(), "plant/#");
    constexpr int kGateways = 20;
    std::vector<pid_t> gateways;
    for (int i = 0; i < kGateways; ++i) {
        // Each its own embedded station and machine folder, under a root of its own.
        const fs::path machine = scratch_ / ("gateway" + std::to_string(i));
        fs::create_directories(machine);
        gateways.push_back(
            ksymtest::Spawn({"env", "KSYM_ROOT=" + machine.string(), KSYM_TOOL, "publish",
                             "--broker", broker.url(), "--topic", "plant/gw" + std::to_string(i),
                             kTemperature, kMode, "--interval", "100", "--count", "10"},
                            (machine / "out.txt").string()));
    }
    for (pid_t pid : gateways) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const auto allOffline = [&] {
        const Messages messages = subscriber.Received();
        for (int i = 0; i < kGateways; ++i) {
            const auto states = On(messages, "plant/gw" + std::to_string(i) + "/state");
            if (states.empty() || states.back() != "offline") {
                return false;
            }
        }
        return true;
    };
    ASSERT_TRUE(ksymtest::WaitUntil(allOffline));
    const Messages messages = subscriber.Received();
    for (int i = 0; i < kGateways; ++i) {
        const std::string root = "plant/gw" + std::to_string(i);
        EXPECT_EQ(On(messages, root + "/state"), (std::vector<std::string>{"online", "offline"}))
            << root;
        EXPECT_EQ(On(messages, root + "/birth").size(), 1u) << root;
        EXPECT_GE(On(messages, root + "/value/" + kTemperature).size(), 8u) << root;
        EXPECT_EQ(On(messages, root + "/value/" + kMode).size(), 1u) << root;
    }
}

TEST_F(KsymPublish, BadOptionsAndAnUnreachableBrokerAreRefusedWithTheirCodes) {
    const uint16_t nobody = ksymtest::FreePort();
    const ToolRun unreachable =
        Ksym({"publish", "--broker", "mqtt://127.0.0.1:" + std::to_string(nobody), kMode});
    EXPECT_EQ(unreachable.exitCode, 11) << unreachable.err;
    EXPECT_NE(unreachable.err.find("cannot reach the broker"), std::string::npos);
    const std::string password = (scratch_ / "password").string();
    std::ofstream(password) << "secret\n";
    for (const std::vector<std::string>& arguments : {
             std::vector<std::string>{"publish", kMode},
             std::vector<std::string>{"publish", "--broker", "http://127.0.0.1:1883", kMode},
             std::vector<std::string>{"publish", "--broker", "mqtt://127.0.0.1:0", kMode},
             std::vector<std::string>{"publish", "--broker", "mqtt://127.0.0.1:1883"},
             std::vector<std::string>{"publish", "--broker", "mqtt://127.0.0.1:1883", kMode,
                                      "--prefix", "Line1"},
             std::vector<std::string>{"publish", "--broker", "mqtt://127.0.0.1:1883", kMode,
                                      "--format", "xml"},
             std::vector<std::string>{"publish", "--broker", "mqtt://127.0.0.1:1883", kMode,
                                      "--username", "plant"},
             // Options of the other format, and a Sparkplug id that is no topic level.
             std::vector<std::string>{"publish", "--broker", "mqtt://127.0.0.1:1883", kMode,
                                      "--group", "Plant"},
             std::vector<std::string>{"publish", "--broker", "mqtt://127.0.0.1:1883", kMode,
                                      "--format", "sparkplug", "--topic", "plant"},
             std::vector<std::string>{"publish", "--broker", "mqtt://127.0.0.1:1883", kMode,
                                      "--format", "sparkplug", "--node", "gate/1"},
             std::vector<std::string>{"publish", "--broker", "mqtt://127.0.0.1:1883", kMode,
                                      "--format", "sparkplug", "--group", "+"},
             // A password in the clear beyond loopback.
             std::vector<std::string>{"publish", "--broker", "mqtt://192.0.2.1:1883", kMode,
                                      "--username", "plant", "--password-file", password},
             std::vector<std::string>{"publish", "--broker", "mqtt://127.0.0.1:1883", kMode,
                                      "--username", "plant", "--password-file", password + ".none"},
         }) {
        const ToolRun run = Ksym(arguments);
        EXPECT_EQ(run.exitCode, 3) << arguments.back() << ": " << run.err;
    }
}

} // namespace
