#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "client_test_support.h"

namespace {

using ksymtest::SimChannel;

const std::vector<uint8_t> kProjectIdRequest = {0x11};
const std::vector<uint8_t> kLoginRequest = {0x01, 3, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0};
const std::vector<uint8_t> kLogoutRequest = {0x02};

bool HostIsLittle() {
    const uint16_t probe = 1;
    return *reinterpret_cast<const uint8_t*>(&probe) == 1;
}

TEST(ClientTest, ProjectIdentificationReplyInEitherByteOrder) {
    for (const char* order : {"little", "big"}) {
        SCOPED_TRACE(order);
        const std::string station = std::string("sim:order=") + order;
        SimChannel channel(station.c_str());
        ASSERT_NE(channel.number(), -1);
        const bool big = std::string(order) == "big";
        EXPECT_EQ(KClientGetDWord(channel.number(), KCLIENT_DWORD_SWAP),
                  big == HostIsLittle() ? 1u : 0u);
        ASSERT_TRUE(channel.Send(kProjectIdRequest));
        auto reply = channel.Fetch();
        ASSERT_TRUE(reply);
        ASSERT_EQ(reply->status, COMM_MESSAGEREADY);
        ASSERT_EQ(reply->value, reply->bytes.size());
        ASSERT_GE(reply->bytes.size(), 10u);
        const std::vector<uint8_t>& b = reply->bytes;
        // status 0, the sample project's id 0x2026120B, second number 7.
        const std::vector<uint8_t> head =
            big ? std::vector<uint8_t>{0, 0, 0x20, 0x26, 0x12, 0x0B, 0, 0, 0, 7}
                : std::vector<uint8_t>{0, 0, 0x0B, 0x12, 0x26, 0x20, 7, 0, 0, 0};
        EXPECT_EQ(std::vector<uint8_t>(b.begin(), b.begin() + 10), head);
        // Five NUL-terminated texts fill the rest exactly.
        int texts = 0;
        for (size_t i = 10; i < b.size(); ++i) {
            texts += b[i] == 0 ? 1 : 0;
        }
        EXPECT_EQ(texts, 5);
        EXPECT_EQ(b.back(), 0);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[10])), "SAMPLE");
    }
}

TEST(ClientTest, LoginAndLogoutStatuses) {
    SimChannel channel("sim:order=big");
    ASSERT_TRUE(channel.Send(kLoginRequest));
    auto login = channel.Fetch();
    ASSERT_TRUE(login);
    EXPECT_EQ(login->bytes, (std::vector<uint8_t>{0x03, 0xE8})); // 1000, big-endian
    ASSERT_TRUE(channel.Send(kLogoutRequest));
    auto logout = channel.Fetch();
    ASSERT_TRUE(logout);
    EXPECT_EQ(logout->bytes, (std::vector<uint8_t>{0, 0}));

    SimChannel refusing("sim:fault=refuse");
    ASSERT_TRUE(refusing.Send(kLoginRequest));
    auto refused = refusing.Fetch();
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->bytes, (std::vector<uint8_t>{1, 0}));
}

TEST(ClientTest, FaultSwitchesShapeTheReplies) {
    SimChannel fatal("sim:fault=fatal");
    ASSERT_TRUE(fatal.Send(kProjectIdRequest));
    auto status = fatal.Fetch();
    ASSERT_TRUE(status);
    EXPECT_EQ(status->status, COMM_FATALERROR);

    SimChannel empty("sim:fault=empty");
    ASSERT_TRUE(empty.Send(kLogoutRequest));
    auto nothing = empty.Fetch();
    ASSERT_TRUE(nothing);
    EXPECT_EQ(nothing->status, COMM_MESSAGEREADY);
    EXPECT_EQ(nothing->value, 0u);
    EXPECT_TRUE(nothing->bytes.empty());

    SimChannel shortened("sim:fault=short");
    ASSERT_TRUE(shortened.Send(kLogoutRequest));
    auto oneByte = shortened.Fetch();
    ASSERT_TRUE(oneByte);
    EXPECT_EQ(oneByte->bytes.size(), 1u);

    SimChannel silent("sim:fault=silent");
    ASSERT_TRUE(silent.Send(kLogoutRequest));
    EXPECT_FALSE(silent.Fetch(300));
}

// Each address is refused at open as a bad station, with a text.
void ExpectBadStations(HANDLE event, std::initializer_list<const char*> addresses) {
    for (const char* bad : addresses) {
        SCOPED_TRACE(bad);
        KClientSetLastError(0);
        EXPECT_EQ(KClientOpenChannelEx(bad, 0, nullptr, 0, event), -1);
        EXPECT_EQ(KClientGetLastError(), KCLIENT_ERR_BAD_STATION);
        EXPECT_STRNE(KClientGetErrorText(), "");
    }
}

TEST(ClientTest, StationAddressesAreCheckedAndSettingsReported) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ExpectBadStations(event, {"sim:fault=nonsense", "sim:order=middle", "sim:block=12x", "sim:what",
                              "nowhere", "sim:project=/no/such/file.sdb"});
    EXPECT_EQ(KClientKOpenChannelEx("sim", 0, 1, nullptr, 0, event), -1);
    EXPECT_EQ(KClientGetLastError(), KCLIENT_ERR_INVALID_ARGUMENT);
    CloseHandle(event);

    SimChannel sized("sim:block=300");
    EXPECT_EQ(KClientGetDWord(sized.number(), KCLIENT_DWORD_BLOCK_SIZE), 300u);
    SimChannel plain(nullptr);
    EXPECT_EQ(KClientGetDWord(plain.number(), KCLIENT_DWORD_BLOCK_SIZE), 1024u);
    char name[260];
    ASSERT_NE(KClientGetProjectName(plain.number(), name, sizeof name), 0);
    EXPECT_STREQ(name, "SAMPLE.PRO");
    EXPECT_EQ(KClientGetProjectName(plain.number(), name, 4), 0) << "a name that does not fit";
}

TEST(ClientTest, TcpStationsWantHostAndDecimalPortBeforeAnyConnect) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ExpectBadStations(event, {"tcp:127.0.0.1", "tcp::80", "tcp:[]:80", "tcp:127.0.0.1:http",
                              "tcp:127.0.0.1:65536", "tcp:127.0.0.1:"});
    CloseHandle(event);
}

TEST(ClientTest, ChannelNumbersAreUniqueAndReopenMovesWaitingReplies) {
    std::set<int32_t> numbers;
    std::vector<std::unique_ptr<SimChannel>> channels;
    for (int i = 0; i < 50; ++i) {
        channels.push_back(std::make_unique<SimChannel>("sim"));
        const int32_t number = channels.back()->number();
        ASSERT_NE(number, -1);
        ASSERT_NE(number, 0);
        EXPECT_TRUE(numbers.insert(number).second) << number;
    }
    SimChannel& moving = *channels.front();
    const int32_t old = moving.number();
    ASSERT_TRUE(moving.Send(kLogoutRequest));
    Sleep(100); // the reply waits in the queue
    HANDLE newEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    const int32_t renumbered = KClientOpenChannelEx("sim", old, nullptr, 0, newEvent);
    ASSERT_NE(renumbered, -1);
    EXPECT_EQ(numbers.count(renumbered), 0u);
    moving.Renumber(renumbered);
    EXPECT_EQ(KClientWrite(old, kLogoutRequest.data(), 1), 0) << "the old number is gone";
    EXPECT_EQ(KClientGetLastError(), KCLIENT_ERR_NO_CHANNEL);
    auto reply = ksymtest::FetchReply(renumbered, newEvent);
    ASSERT_TRUE(reply) << "the waiting reply did not move with the channel";
    EXPECT_EQ(reply->status, COMM_MESSAGEREADY);
    CloseHandle(newEvent);
    EXPECT_EQ(KClientOpenChannelEx("sim", 999999, nullptr, 0, nullptr), -1);
}

TEST(ClientTest, EveryQueuedReplyIsFetchedAlthoughWakingCoalesces) {
    SimChannel channel("sim");
    constexpr int kRequests = 20;
    for (int i = 0; i < kRequests; ++i) {
        ASSERT_TRUE(channel.Send(kLogoutRequest));
    }
    Sleep(100); // let every reply arrive before the first wait: one signal stands for all
    for (int i = 0; i < kRequests; ++i) {
        auto reply = channel.Fetch(2000);
        ASSERT_TRUE(reply) << "reply " << i << " was lost";
        EXPECT_EQ(reply->status, COMM_MESSAGEREADY);
    }
    // Nothing more waits, so the event stays quiet.
    EXPECT_EQ(WaitForSingleObject(channel.event(), 200), WAIT_TIMEOUT);
}

// Once a channel is closed its event is the caller's again (who may close it, and Windows
// then gives the value to the next object made): nothing of the client may signal it.
TEST(ClientTest, AClosedChannelNeverSignalsItsEventAgain) {
    for (const char* station : {"sim:latency=30", "sim:latency=30;fault=fatal"}) {
        SCOPED_TRACE(station);
        HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        const int32_t channel = KClientOpenChannelEx(station, 0, nullptr, 0, event);
        ASSERT_NE(channel, -1);
        for (int i = 0; i < 5; ++i) {
            ASSERT_EQ(KClientWrite(channel, kLogoutRequest.data(), 1), 1);
        }
        ASSERT_EQ(KClientCloseChannel(channel), 1);
        // A reply may have come in before the close, when this thread was held up for the
        // latency: only a signal after the close counts.
        ResetEvent(event);
        EXPECT_EQ(WaitForSingleObject(event, 300), WAIT_TIMEOUT) << "a late reply signalled";
        CloseHandle(event);
    }
}

TEST(ClientTest, WritesFromSeveralThreadsAreAllAnswered) {
    SimChannel channel("sim:latency=1");
    constexpr int kThreads = 4;
    constexpr int kEach = 50;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&] {
            for (int i = 0; i < kEach; ++i) {
                EXPECT_TRUE(channel.Send(kLogoutRequest));
                KClientDllKDebugOut(channel.number(), "writer %d\n", i);
            }
        });
    }
    int fetched = 0;
    while (fetched < kThreads * kEach) {
        auto reply = channel.Fetch(3000);
        ASSERT_TRUE(reply) << "after " << fetched;
        ++fetched;
    }
    for (std::thread& writer : writers) {
        writer.join();
    }
}

TEST(ClientTest, LastErrorIsPerThread) {
    KClientSetLastError(11);
    int32_t seen = -1;
    std::thread other([&] {
        seen = KClientGetLastError();
        KClientSetLastError(12);
    });
    other.join();
    EXPECT_EQ(seen, 0);
    EXPECT_EQ(KClientGetLastError(), 11);
}

TEST(ClientTest, DebugLinesCarryTimeStampAndChannel) {
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("ksym-debug-" + std::to_string(GetCurrentThreadId()) + "-" +
                               std::to_string(GetTickCount()) + ".log"))
                                 .string();
    std::remove(path.c_str());
    KClientSetDebugTarget(path.c_str());
    KClientDllKDebugOut(42, "KSymLogin(C=%ld)\n", 42L);
    KClientDllKDebugOut(7, "no newline %d", 5);
    KClientSetDebugTarget(nullptr);
    KClientDllKDebugOut(7, "not written\n");
    std::ifstream file(path);
    std::string first;
    std::string second;
    std::string third;
    ASSERT_TRUE(std::getline(file, first));
    ASSERT_TRUE(std::getline(file, second));
    EXPECT_FALSE(std::getline(file, third));
    // 2026-12-08T03:05:38.123Z C=42 KSymLogin(C=42)
    EXPECT_EQ(first.size(), std::string("2026-12-08T03:05:38.123Z C=42 KSymLogin(C=42)").size());
    EXPECT_EQ(first.substr(first.find(' ')), " C=42 KSymLogin(C=42)");
    EXPECT_EQ(second.substr(second.find(' ')), " C=7 no newline 5");
    file.close();
    std::remove(path.c_str());
}

} // namespace
