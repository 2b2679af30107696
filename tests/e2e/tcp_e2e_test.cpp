// The library over the client's TCP transport against a station server on the loopback
// interface: reads, a server that goes away in the middle of a read and of an upload, many
// channels at once, and two client processes sharing the controller's memory.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"
#include "extern/kclient.h"
#include "include/ksymbol.h"
#include "plcsim/config.h"
#include "plcsim/controller.h"
#include "plcsim/memory.h"
#include "support/close_channels.h"
#include "formats/station_frame.h"
#include "plcsim/station_server.h"
#include "support/message_wait.h"
#include "support/watchdog.h"

namespace {

using ksymtest::kNotifyMsg;
using ksymtest::NothingPosted;
using ksymtest::WaitPosted;

class TcpEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ksymtest::UseOwnMachine();
        window_ = CreateWindowExA(0, "STATIC", "tcp", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                  nullptr);
        ASSERT_NE(window_, nullptr);
    }
    void TearDown() override {
        ksymtest::CloseChannelsSideBySide(channels_);
        if (server_) {
            server_->Stop();
        }
        DestroyWindow(window_);
    }

    // Starts a station server on 127.0.0.1 with the simulator options given.
    void Serve(const std::string& options) {
        plcsim::Config config;
        std::string error;
        ASSERT_TRUE(plcsim::ParseConfig(options, config, error)) << error;
        controller_ = std::make_shared<plcsim::Controller>();
        ASSERT_TRUE(controller_->Configure(config, error)) << error;
        server_ = std::make_unique<plcsim::StationServer>(controller_);
        ASSERT_TRUE(server_->Start("127.0.0.1", 0, error)) << error;
        station_ = "tcp:" + server_->Address();
    }

    int32_t Open() {
        const int32_t channel = KSymOpenChannel(station_.c_str(), 0, window_, kNotifyMsg);
        if (channel != -1) {
            channels_.push_back(channel);
        }
        return channel;
    }

    std::string LocalFile() const {
        char windows[260] = {};
        GetWindowsDirectoryA(windows, sizeof windows);
        std::string path = std::string(windows) + "/Korvan Files/Upload/SAMPLE.sdb";
        for (char& c : path) {
            c = c == '\\' ? '/' : c;
        }
        return path;
    }

    HWND window_ = nullptr;
    std::shared_ptr<plcsim::Controller> controller_;
    std::unique_ptr<plcsim::StationServer> server_;
    std::string station_;
    std::vector<int32_t> channels_;
};

const char* const kSevenWords[] = {"%MD0", "%MD1", "%MD2", "%MD3", "%MD4", "%MD5", "%MD6"};

TEST_F(TcpEndToEnd, ReadsOverTheNetworkDeliverWhatTheStationHolds) {
    Serve("order=big;block=64");
    const int32_t channel = Open();
    ASSERT_NE(channel, -1) << KClientGetErrorText();
    ASSERT_EQ(KSymLoadSymbols(channel, nullptr, nullptr, nullptr), 1);
    HVARLIST list = KSymDefineVarList(channel, kSevenWords, 7);
    ASSERT_NE(list, nullptr);
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(KSymSendVarList(channel, list), 1);
        const auto posted = WaitPosted(window_, kNotifyMsg);
        ASSERT_TRUE(posted);
        EXPECT_EQ(posted->wParam, static_cast<WPARAM>(COMM_MESSAGEREADY));
        EXPECT_EQ(posted->lParam, static_cast<LPARAM>(76));
        VarValue** values = nullptr;
        uint32_t count = 0;
        ASSERT_EQ(KSymGetValues(channel, list, &values, &count), 1);
        ASSERT_EQ(count, 7u);
        for (uint32_t i = 0; i < 7; ++i) {
            ASSERT_EQ(values[i]->valid, 1);
            for (uint32_t k = 0; k < 4; ++k) {
                EXPECT_EQ(values[i]->data[k], plcsim::InitialMemoryByte(0, 4 * i + k));
            }
        }
    }
    KSymDeleteVarList(channel, list);
}

TEST_F(TcpEndToEnd, AServerGoneInTheMiddleOfAReadIsReportedOnce) {
    Serve("block=64;latency=150");
    const int32_t channel = Open();
    ASSERT_NE(channel, -1);
    ASSERT_EQ(KSymLoadSymbols(channel, nullptr, nullptr, nullptr), 1);
    HVARLIST list = KSymDefineVarList(channel, kSevenWords, 7);
    ASSERT_EQ(KSymSendVarList(channel, list), 1);
    Sleep(220); // the first reply is in, the second telegram waits out its latency
    server_->Stop();
    const auto posted = WaitPosted(window_, kNotifyMsg);
    ASSERT_TRUE(posted);
    EXPECT_EQ(posted->wParam, static_cast<WPARAM>(COMM_FATALERROR));
    EXPECT_TRUE(NothingPosted(window_, 300)) << "the broken connection was reported twice";
    // The read stays pending: further reads are refused until the list is deleted.
    EXPECT_EQ(KSymSendVarList(channel, list), 0);
    EXPECT_EQ(KClientGetLastError(), KSYM_ERR_READ_PENDING);
    const uint8_t logout = 2;
    EXPECT_EQ(KClientWrite(channel, &logout, 1), 0) << "a broken channel takes no telegram";
    EXPECT_EQ(KSymDeleteVarList(channel, list), 1);
    list = KSymDefineVarList(channel, kSevenWords, 1);
    EXPECT_EQ(KSymSendVarList(channel, list), 0) << "still broken until re-opened";
    KSymDeleteVarList(channel, list);
}

TEST_F(TcpEndToEnd, AServerGoneDuringAnUploadFailsTheLoadAndLeavesNoFile) {
    Serve("chunk=16;latency=10");
    const int32_t channel = Open();
    ASSERT_NE(channel, -1);
    std::thread stopper([this] {
        Sleep(400);
        server_->Stop();
    });
    KClientSetLastError(0);
    EXPECT_EQ(KSymLoadSymbols(channel, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(KClientGetLastError(), KSYM_ERR_NO_SYMBOLS);
    stopper.join();
    struct stat info {};
    EXPECT_NE(stat(LocalFile().c_str(), &info), 0) << "the half-written file stayed";
}

TEST_F(TcpEndToEnd, TwoHundredChannelsOverOneServerAndNoMore) {
    Serve("");
    for (int i = 0; i < 200; ++i) {
        ASSERT_NE(Open(), -1) << "channel " << i << ": " << KClientGetErrorText();
    }
    EXPECT_EQ(Open(), -1);
    EXPECT_EQ(KClientGetLastError(), KSYM_ERR_NO_CONTEXT_SPACE);
    // Every channel still works: a login on the last one.
    ASSERT_EQ(KSymLogin(channels_.back()), 1);
    ASSERT_TRUE(WaitPosted(window_, kNotifyMsg));
    EXPECT_EQ(KSymLoginResult(channels_.back()), 1);
}

// A station that opens the session and then never reads again: once its window is full, a
// telegram that finds no room within the send time-out breaks the connection (reported
// once), so that neither the sender nor the close after it waits without limit.
TEST_F(TcpEndToEnd, AStationThatStopsReadingHoldsNeitherTheSenderNorTheClose) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    const int small = 4096; // the station's window stays small
    setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    std::atomic<bool> done{false};
    std::thread station([&] {
        const int connection = accept(listener, nullptr, nullptr);
        uint8_t open[64];
        if (connection < 0 || recv(connection, open, sizeof open, 0) <= 0) {
            return;
        }
        const std::vector<uint8_t> payload = formats::OpenedPayload(false, 0, "SAMPLE.PRO");
        const std::vector<uint8_t> opened =
            formats::EncodeFrame(formats::FrameKind::Opened, 0, payload.data(), payload.size());
        send(connection, opened.data(), opened.size(), MSG_NOSIGNAL);
        while (!done) {
            Sleep(10); // and reads nothing more
        }
        close(connection);
    });
    station_ = "tcp:127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    const int32_t channel = Open();
    ASSERT_NE(channel, -1) << KClientGetErrorText();
    const std::vector<uint8_t> telegram(1u << 20, 0x3C);
    {
        ksymtest::Watchdog watchdog("writes to a station that stopped reading",
                                    std::chrono::seconds(90));
        int32_t written = 1;
        for (int i = 0; i < 64 && written != 0; ++i) {
            const DWORD start = GetTickCount();
            written =
                KClientWrite(channel, telegram.data(), static_cast<uint32_t>(telegram.size()));
            EXPECT_LT(GetTickCount() - start, 9000u) << "a send waited beyond its limit";
        }
        EXPECT_EQ(written, 0) << "64 MiB went to a station that reads nothing";
        const auto posted = WaitPosted(window_, kNotifyMsg);
        ASSERT_TRUE(posted);
        EXPECT_EQ(posted->wParam, static_cast<WPARAM>(COMM_FATALERROR));
        EXPECT_EQ(posted->lParam, static_cast<LPARAM>(KCLIENT_ERR_CONNECT));
        EXPECT_TRUE(NothingPosted(window_)) << "the break was reported twice";
        const DWORD start = GetTickCount();
        EXPECT_EQ(KSymCloseChannel(channel), 1);
        EXPECT_LT(GetTickCount() - start, 3000u);
        channels_.clear();
    }
    done = true;
    station.join();
    close(listener);
}

// Runs ksym with the arguments on a machine of its own (`machine` names its folder below the
// test's): two programs uploading into one symbol folder at once would race for the file.
std::string RunKsym(const std::string& machine, const std::string& arguments, int& status) {
    const std::string root = std::string(KPlatformRoot()) + "/" + machine;
    const std::string command =
        "KSYM_ROOT='" + root + "' " + std::string(KSYM_TOOL) + " " + arguments + " 2>&1";
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[512];
        while (fgets(buffer, sizeof buffer, pipe) != nullptr) {
            output += buffer;
        }
        status = pclose(pipe);
    }
    return output;
}

TEST_F(TcpEndToEnd, TwoClientProcessesShareTheControllersMemory) {
    Serve("");
    const std::string station = "--station " + station_ + " ";
    // Two writers and a reader at once, then one reader after them.
    std::string first;
    std::string second;
    int firstStatus = -1;
    int secondStatus = -1;
    std::thread writer(
        [&] { first = RunKsym("first", station + "write Line1.Mode=42 %MW40=4660", firstStatus); });
    second = RunKsym("second", station + "write Line2.Counter=-7 %MW41=22136", secondStatus);
    writer.join();
    ASSERT_EQ(firstStatus, 0) << first;
    ASSERT_EQ(secondStatus, 0) << second;
    int status = -1;
    const std::string read =
        RunKsym("third", station + "--json read Line1.Mode Line2.Counter %MW40 %MW41", status);
    ASSERT_EQ(status, 0) << read;
    EXPECT_NE(read.find("42"), std::string::npos) << read;
    EXPECT_NE(read.find("-7"), std::string::npos) << read;
    EXPECT_NE(read.find("4660"), std::string::npos) << read;
    EXPECT_NE(read.find("22136"), std::string::npos) << read;
}

// An upload slower than the loader's 60 s wait: run by hand with KSYM_SLOW_TESTS=1.
TEST_F(TcpEndToEnd, AnUploadOutlastingTheWaitTimesOut) {
    if (std::getenv("KSYM_SLOW_TESTS") == nullptr) {
        GTEST_SKIP() << "set KSYM_SLOW_TESTS=1 to run (takes over a minute)";
    }
    Serve("chunk=16;latency=400");
    const int32_t channel = Open();
    ASSERT_NE(channel, -1);
    EXPECT_EQ(KSymLoadSymbols(channel, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(KClientGetLastError(), KSYM_ERR_NO_SYMBOLS);
    struct stat info {};
    EXPECT_NE(stat(LocalFile().c_str(), &info), 0);
}

} // namespace
