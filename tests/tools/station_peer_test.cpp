// plcsim against hostile and careless peers, on loopback with raw sockets: the control
// service, silent and half-framed connections, and a station out of descriptors. Every
// wait is bounded; the station is stopped by its process id.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ksym_tool_run.h"
#include "formats/sdb_writer.h"
#include "formats/station_frame.h"
#include "plcsim_process.h"
#include "raw_peer.h"
#include "support/watchdog.h"

namespace {

using Clock = ksymtest::RawClock;
using formats::FrameKind;
using ksymtest::CpuSeconds;
using ksymtest::ElapsedMs;
using ksymtest::KsymCli;
using ksymtest::RawPeer;
using ksymtest::ResidentKb;
using ksymtest::Station;
namespace fs = std::filesystem;

constexpr auto kNoHang = std::chrono::seconds(60);

uint32_t Status(const std::vector<uint8_t>& reply) {
    return reply.size() < 2 ? 0x10000u : static_cast<uint32_t>(reply[0] | reply[1] << 8);
}

class StationPeerTest : public KsymCli {};

TEST_F(StationPeerTest, TheControlServiceAnswersOnlyWhenAskedForAndLoadsOnlyWhatItMay) {
    ksymtest::Watchdog watchdog("control service checks", kNoHang);
    {
        // Without --control it is a service the controller does not know.
        Station station(scratch_);
        RawPeer peer(station.port());
        ASSERT_TRUE(peer.OpenSession());
        for (const char* command : {"\xF0project=/etc/passwd", "\xF0"
                                                               "fault=silent"}) {
            const auto reply = peer.Ask(command);
            ASSERT_TRUE(reply) << command;
            EXPECT_EQ(Status(*reply), 0xFFFFu) << command;
        }
        EXPECT_TRUE(peer.Ask("\x11")) << "a peer switched the station's fault on";
    }
    {
        // With --allow-remote the switch is refused outright.
        const std::string out = (scratch_ / "remote.out").string();
        const std::string command = std::string(KSYM_PLCSIM) +
                                    " --listen 127.0.0.1:0 --control --allow-remote > " + out +
                                    " 2>&1";
        EXPECT_EQ(WEXITSTATUS(std::system(command.c_str())), 2);
        EXPECT_NE(ksymtest::ReadText(out).find("--control"), std::string::npos);
    }
    // With --control: the start project, the sample and the files of --project-dir, regular
    // and of bounded size; nothing else, and nothing that could hold the connection.
    const fs::path folder = scratch_ / "projects";
    fs::create_directories(folder);
    formats::SdbProject other;
    other.projectId = 0x0BADF00D;
    other.types = {{2, 2, "INT", 0, 0, {}, 0}};
    other.variables = {{"Other.A", 0, 0, 0, 0}};
    std::string error;
    ASSERT_TRUE(
        formats::WriteFileBytes((folder / "other.sdb").string(), formats::WriteSdb(other), error));
    ASSERT_EQ(mkfifo((folder / "pipe.sdb").c_str(), 0600), 0);
    Station station(scratch_, 0, {"--control", "--project-dir", folder.string()});
    RawPeer peer(station.port());
    ASSERT_TRUE(peer.OpenSession());
    const uint64_t before = ResidentKb(station.pid());
    for (const std::string& path : {std::string("/dev/zero"), std::string("/etc/passwd"),
                                    std::string("../projects/other.sdb"),
                                    (folder / "other.sdb").string(), std::string("pipe.sdb")}) {
        const Clock::time_point start = Clock::now();
        const auto reply = peer.Ask("\xF0project=" + path);
        ASSERT_TRUE(reply) << path << " held the connection";
        EXPECT_EQ(Status(*reply), 1u) << path;
        EXPECT_LT(ElapsedMs(start), 1000) << path;
    }
    EXPECT_LT(ResidentKb(station.pid()), before + 20 * 1024) << "a refused project was read";
    const auto loaded = peer.Ask("\xF0project=other.sdb");
    ASSERT_TRUE(loaded);
    EXPECT_EQ(Status(*loaded), 0u);
    const auto id = peer.Ask("\x11");
    ASSERT_TRUE(id && id->size() >= 6);
    EXPECT_EQ((*id)[2] | (*id)[3] << 8 | (*id)[4] << 16 | static_cast<uint32_t>((*id)[5]) << 24,
              0x0BADF00Du);
    EXPECT_EQ(Status(*peer.Ask("\xF0project=sample")), 0u);
    const Clock::time_point stop = Clock::now();
    station.Stop();
    EXPECT_LT(ElapsedMs(stop), 3000) << "the stop waited for a peer";
}

TEST_F(StationPeerTest, SilentAndHalfFramedConnectionsLoseTheirPlace) {
    ksymtest::Watchdog watchdog("silent connections", kNoHang);
    Station station(scratch_, 0, {"--frame-timeout", "1", "--idle-timeout", "2"});
    // Connections that never open a session: closed after the frame time-out.
    std::vector<std::unique_ptr<RawPeer>> silent;
    for (int i = 0; i < 20; ++i) {
        silent.push_back(std::make_unique<RawPeer>(station.port()));
        ASSERT_TRUE(silent.back()->connected());
    }
    Clock::time_point start = Clock::now();
    for (auto& peer : silent) {
        EXPECT_TRUE(peer->ClosedWithin(4000)) << "a silent connection kept its place";
    }
    EXPECT_GE(ElapsedMs(start), 900);

    // A session that falls silent goes after the idle time-out; one that sends keep-alives
    // stays as long as it likes.
    RawPeer quiet(station.port());
    RawPeer alive(station.port());
    ASSERT_TRUE(quiet.OpenSession());
    ASSERT_TRUE(alive.OpenSession());
    start = Clock::now();
    for (int i = 0; i < 6; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        ASSERT_TRUE(alive.SendFrame(FrameKind::KeepAlive));
    }
    EXPECT_TRUE(quiet.ClosedWithin(1000));
    EXPECT_GE(ElapsedMs(start), 1900);
    EXPECT_TRUE(alive.Ask("\x11")) << "a connection with keep-alives was closed";

    // A frame begun and left unfinished goes after the frame time-out; one announcing more
    // than the station takes goes at once, before its bytes are kept.
    const uint64_t before = ResidentKb(station.pid());
    RawPeer half(station.port());
    ASSERT_TRUE(half.OpenSession());
    std::vector<uint8_t> begun = formats::EncodeFrame(FrameKind::Request, 0, nullptr, 0);
    begun[0] = 100; // of 100 bytes, 4 of which come
    ASSERT_TRUE(half.Send(begun));
    std::vector<std::unique_ptr<RawPeer>> huge;
    const std::vector<uint8_t> body(8u << 20, 0x2E);
    for (int i = 0; i < 8; ++i) {
        huge.push_back(std::make_unique<RawPeer>(station.port()));
        std::vector<uint8_t> frame = {0xFF, 0xFF, 0xFF, 0x00, 3, 0, 0, 0}; // 16 MiB - 1
        frame.insert(frame.end(), body.begin(), body.end());
        huge.back()->Send(frame); // may fail once the station closed the connection
    }
    for (auto& peer : huge) {
        EXPECT_TRUE(peer->ClosedWithin(1000)) << "a frame beyond the station's was taken in";
    }
    EXPECT_LT(ResidentKb(station.pid()), before + 16 * 1024) << "announced bytes were kept";
    EXPECT_TRUE(half.ClosedWithin(3000)) << "an unfinished frame kept its connection";
}

TEST_F(StationPeerTest, AStationOutOfDescriptorsWaitsInsteadOfSpinning) {
#ifdef __SANITIZE_ADDRESS__
    // The undefined-behaviour sanitizer checks a virtual call through a pipe of its own: in a
    // process without a free descriptor that check fails, and the station is ended for it.
    GTEST_SKIP() << "the sanitizers need descriptors of their own";
#endif
    ksymtest::Watchdog watchdog("a station out of descriptors", kNoHang);
    Station station(scratch_, 0, {"--frame-timeout", "30"}, 32);
    std::vector<std::unique_ptr<RawPeer>> peers;
    for (int i = 0; i < 60; ++i) {
        peers.push_back(std::make_unique<RawPeer>(station.port())); // the backlog takes them
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const double cpu = CpuSeconds(station.pid());
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_LT(CpuSeconds(station.pid()) - cpu, 0.5) << "the acceptor spun";
    EXPECT_NE(station.Output().find("cannot take further connections"), std::string::npos)
        << station.Output();
    peers.clear();
    // Once the peers are gone, a new client is served again.
    RawPeer fresh(station.port());
    bool served = false;
    for (int i = 0; i < 10 && !served; ++i) {
        served = fresh.OpenSession();
    }
    EXPECT_TRUE(served) << "the station did not recover: " << station.Output();
}

} // namespace
