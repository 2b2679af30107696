// The station server over real sockets on 127.0.0.1: the frames it answers, the sessions and
// connections sharing one controller, the connections it drops and how it stops; then the
// plcsim program as a user starts and ends it.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "plcsim/controller.h"
#include "formats/station_frame.h"
#include "plcsim/station_server.h"

extern char** environ;

namespace {

using formats::Frame;
using formats::FrameKind;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr int kWaitMs = 5000; // the longest any single answer may take

std::shared_ptr<plcsim::Controller> Configured(const std::string& options) {
    auto controller = std::make_shared<plcsim::Controller>();
    plcsim::Config config;
    std::string error;
    EXPECT_TRUE(plcsim::ParseConfig(options, config, error)) << error;
    EXPECT_TRUE(controller->Configure(config, error)) << error;
    return controller;
}

// A raw client connection; every wait is bounded.
class Peer {
public:
    explicit Peer(uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    }
    ~Peer() { ::close(fd_); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    bool connected() const { return connected_; }

    void SendRaw(const Bytes& bytes) {
        ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    void Send(FrameKind kind, uint16_t session, const Bytes& payload = {}) {
        SendRaw(formats::EncodeFrame(kind, session, payload.data(), payload.size()));
    }

    // The next frame; nullopt when none arrives within `ms` or the connection ends.
    std::optional<Frame> Receive(int ms = kWaitMs) {
        const auto due = Clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            Frame frame;
            const auto result = reader_.Next(frame);
            if (result == formats::FrameReader::Result::Frame) {
                return frame;
            }
            if (result == formats::FrameReader::Result::Broken || !Fill(due)) {
                return std::nullopt;
            }
        }
    }

    // Whether the server ends the connection within the wait, with no frame before.
    bool EndsWithoutFrame(int ms = kWaitMs) {
        const auto due = Clock::now() + std::chrono::milliseconds(ms);
        while (Fill(due)) {
        }
        Frame frame;
        return ended_ && reader_.Next(frame) == formats::FrameReader::Result::NeedMore;
    }

    Bytes Open(uint16_t session) {
        Send(FrameKind::Open, session);
        auto frame = Receive();
        if (!frame || frame->kind != FrameKind::Opened || frame->session != session) {
            ADD_FAILURE() << "no Opened for session " << session;
            return {};
        }
        return frame->payload;
    }

    // Sends one request and returns the reply's payload; nullopt (with a failure) when the
    // answer is not a Reply of that session.
    std::optional<Bytes> Ask(uint16_t session, const Bytes& request) {
        Send(FrameKind::Request, session, request);
        auto frame = Receive();
        if (!frame || frame->kind != FrameKind::Reply || frame->session != session) {
            ADD_FAILURE() << "no Reply for session " << session;
            return std::nullopt;
        }
        return frame->payload;
    }

private:
    // Receives what arrives before `due`; false on timeout or at the end of the stream.
    bool Fill(Clock::time_point due) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now()).count();
        pollfd fds = {fd_, POLLIN, 0};
        if (ended_ || left <= 0 || ::poll(&fds, 1, static_cast<int>(left)) <= 0) {
            return false;
        }
        uint8_t buffer[4096];
        const ssize_t n = ::recv(fd_, buffer, sizeof(buffer), 0);
        if (n <= 0) {
            ended_ = true;
            return false;
        }
        reader_.Feed(buffer, static_cast<size_t>(n));
        return true;
    }

    int fd_ = -1;
    bool connected_ = false;
    bool ended_ = false;
    formats::FrameReader reader_;
};

// 0x2E, 0, count, items of area (16), offset (32), size (32), little-endian.
Bytes ReadRequest(uint16_t area, uint32_t offset, uint32_t size) {
    Bytes request = {0x2E, 0};
    formats::Put(request, 1, 4, formats::ByteOrder::Little);
    formats::Put(request, area, 2, formats::ByteOrder::Little);
    formats::Put(request, offset, 4, formats::ByteOrder::Little);
    formats::Put(request, size, 4, formats::ByteOrder::Little);
    return request;
}

Bytes WriteRequest(uint16_t area, uint32_t offset, const Bytes& value) {
    Bytes request = {0x3C, 0};
    formats::Put(request, 1, 4, formats::ByteOrder::Little);
    formats::Put(request, area, 2, formats::ByteOrder::Little);
    formats::Put(request, offset, 4, formats::ByteOrder::Little);
    formats::Put(request, static_cast<uint32_t>(value.size()), 4, formats::ByteOrder::Little);
    request.insert(request.end(), value.begin(), value.end());
    request.push_back(0); // the client's spare byte per item
    return request;
}

// The value bytes of a one-item read reply: status, counter, presence 1, the bytes.
Bytes ReadValue(const Bytes& reply) {
    if (reply.size() < 7 || reply[0] != 0 || reply[1] != 0 || reply[6] != 1) {
        ADD_FAILURE() << "not a read reply with one present item: "
                      << ::testing::PrintToString(reply);
        return {};
    }
    return Bytes(reply.begin() + 7, reply.end());
}

Bytes Text(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

struct Running {
    std::shared_ptr<plcsim::Controller> controller;
    std::unique_ptr<plcsim::StationServer> server;
};

Running Serve(const std::string& options) {
    Running running{Configured(options), nullptr};
    running.server = std::make_unique<plcsim::StationServer>(running.controller);
    std::string error;
    EXPECT_TRUE(running.server->Start("127.0.0.1", 0, error)) << error;
    EXPECT_NE(running.server->Port(), 0);
    return running;
}

TEST(StationServerTest, OpensSessionsAndAnswersReadsFromOneSharedMemory) {
    Running station = Serve("order=big;block=480");
    EXPECT_EQ(station.server->Address(), "127.0.0.1:" + std::to_string(station.server->Port()));
    Peer first(station.server->Port());
    ASSERT_TRUE(first.connected());

    const std::string name = station.controller->GetProject().fileName;
    ASSERT_FALSE(name.empty());
    Bytes expected = {1, 0xE0, 0x01, 0, 0};
    expected.insert(expected.end(), name.begin(), name.end());
    EXPECT_EQ(first.Open(7), expected);

    // A big-endian read of 4 bytes of area 1 at 100: the memory's bytes as they are.
    Bytes request = {0x2E, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0, 100, 0, 0, 0, 4};
    Bytes initial;
    ASSERT_TRUE(station.controller->ReadMemory(1, 100, 4, initial));
    auto reply = first.Ask(7, request);
    ASSERT_TRUE(reply);
    Bytes answer = {0, 0, 0, 0, 0, 1, 1};
    answer.insert(answer.end(), initial.begin(), initial.end());
    EXPECT_EQ(*reply, answer);

    // Two sessions of one connection and a second connection see one memory and one read
    // counter.
    Running little = Serve("");
    Peer a(little.server->Port());
    Peer b(little.server->Port());
    a.Open(1);
    a.Open(2);
    b.Open(1);
    ASSERT_TRUE(a.Ask(1, WriteRequest(0, 10, {0xAB, 0xCD})).value_or(Bytes{}) == Bytes({0, 0}));
    EXPECT_EQ(ReadValue(a.Ask(2, ReadRequest(0, 10, 2)).value_or(Bytes{})), Bytes({0xAB, 0xCD}));
    auto other = b.Ask(1, ReadRequest(0, 10, 2));
    ASSERT_TRUE(other);
    EXPECT_EQ(ReadValue(*other), Bytes({0xAB, 0xCD}));
    EXPECT_EQ(formats::Get(other->data() + 2, 4, formats::ByteOrder::Little), 2u);

    // Closed, a session is unknown: a request for it ends the connection.
    a.Send(FrameKind::Close, 2);
    a.Send(FrameKind::Request, 2, ReadRequest(0, 10, 2));
    EXPECT_TRUE(a.EndsWithoutFrame());
    EXPECT_TRUE(b.Ask(1, ReadRequest(0, 10, 2)));
}

TEST(StationServerTest, FaultsShapeTheAnswersAndControlStillWorks) {
    Running station = Serve("fault=fatal");
    Peer peer(station.server->Port());
    peer.Open(3);
    peer.Send(FrameKind::Request, 3, ReadRequest(0, 0, 1));
    auto fatal = peer.Receive();
    ASSERT_TRUE(fatal);
    EXPECT_EQ(fatal->kind, FrameKind::Fatal);
    EXPECT_EQ(fatal->session, 3);
    EXPECT_TRUE(fatal->payload.empty());

    // Silence sends nothing; the next answer belongs to the next request.
    EXPECT_EQ(peer.Ask(3, Text("\xF0"
                               "fault=silent")),
              Bytes({0, 0}));
    EXPECT_EQ(peer.Ask(3, Text("\xF0"
                               "clear=fatal")),
              Bytes({0, 0}));
    peer.Send(FrameKind::Request, 3, ReadRequest(0, 0, 1));
    EXPECT_FALSE(peer.Receive(200));
    EXPECT_EQ(peer.Ask(3, Text("\xF0"
                               "fault=empty")),
              Bytes({0, 0}));
    EXPECT_EQ(peer.Ask(3, Text("\xF0"
                               "clear=silent")),
              Bytes({0, 0}));
    EXPECT_EQ(peer.Ask(3, ReadRequest(0, 0, 1)), Bytes{}) << "an empty reply is a Reply frame";
}

TEST(StationServerTest, ABrokenStreamEndsOnlyItsOwnConnection) {
    Running station = Serve("");
    Peer keeper(station.server->Port());
    keeper.Open(1);

    const std::vector<std::pair<const char*, Bytes>> broken = {
        {"body shorter than the header", {2, 0, 0, 0, 3, 0}},
        {"body longer than any frame", {0xFF, 0xFF, 0xFF, 0xFF, 3, 0, 1, 0}},
        {"unknown kind", {4, 0, 0, 0, 9, 0, 1, 0}},
        {"spare byte set", {4, 0, 0, 0, 3, 1, 1, 0}},
        {"a server's kind", {4, 0, 0, 0, 2, 0, 1, 0}},
        {"request of an unopened session", formats::EncodeFrame(FrameKind::Request, 5, nullptr, 0)},
        {"close of an unopened session", formats::EncodeFrame(FrameKind::Close, 5, nullptr, 0)},
        {"cut", formats::EncodeFrame(FrameKind::Request, 1,
                                     reinterpret_cast<const uint8_t*>("\xF0"
                                                                      "cut"),
                                     4)},
    };
    for (const auto& [what, bytes] : broken) {
        SCOPED_TRACE(what);
        Peer peer(station.server->Port());
        peer.Open(1);
        peer.SendRaw(bytes);
        EXPECT_TRUE(peer.EndsWithoutFrame());
        EXPECT_TRUE(keeper.Ask(1, ReadRequest(2, 0, 1)));
    }

    // A cut in the middle of a pipeline: the requests before it are answered, none after.
    Peer peer(station.server->Port());
    peer.Open(1);
    const Bytes read = formats::EncodeFrame(FrameKind::Request, 1, ReadRequest(0, 0, 1).data(), 16);
    Bytes pipeline = read;
    const Bytes cut = formats::EncodeFrame(FrameKind::Request, 1,
                                           reinterpret_cast<const uint8_t*>("\xF0"
                                                                            "cut\0"),
                                           5);
    pipeline.insert(pipeline.end(), cut.begin(), cut.end());
    pipeline.insert(pipeline.end(), read.begin(), read.end());
    peer.SendRaw(pipeline);
    auto first = peer.Receive();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->kind, FrameKind::Reply);
    EXPECT_TRUE(peer.EndsWithoutFrame());

    // The server collects the ended connections.
    const auto due = Clock::now() + std::chrono::seconds(5);
    while (station.server->ConnectionCount() > 1 && Clock::now() < due) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(station.server->ConnectionCount(), 1u);
}

TEST(StationServerTest, LatencyDelaysEachConnectionOnItsOwn) {
    Running station = Serve("latency=400");
    Peer slow(station.server->Port());
    Peer fast(station.server->Port());
    slow.Open(1);
    fast.Open(1);
    const auto start = Clock::now();
    slow.Send(FrameKind::Request, 1, ReadRequest(0, 0, 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    fast.Send(FrameKind::Request, 1, ReadRequest(0, 0, 1));
    ASSERT_TRUE(slow.Receive());
    const auto slowDone = Clock::now() - start;
    ASSERT_TRUE(fast.Receive());
    const auto fastDone = Clock::now() - start;
    EXPECT_GE(slowDone, std::chrono::milliseconds(400));
    // Served one after the other, the second would end at 800 ms or later.
    EXPECT_LT(fastDone, std::chrono::milliseconds(750));
    EXPECT_GE(fastDone, std::chrono::milliseconds(500));
}

TEST(StationServerTest, StopEndsOpenAndWaitingConnectionsPromptly) {
    Running station = Serve("latency=10000");
    std::vector<std::unique_ptr<Peer>> peers;
    for (int i = 0; i < 300; ++i) {
        peers.push_back(std::make_unique<Peer>(station.server->Port()));
        ASSERT_TRUE(peers.back()->connected());
    }
    // Every connection is served: one Open each, answered at once (Open has no latency).
    for (auto& peer : peers) {
        ASSERT_FALSE(peer->Open(1).empty());
    }
    EXPECT_EQ(station.server->ConnectionCount(), 300u);
    peers[0]->Send(FrameKind::Request, 1, ReadRequest(0, 0, 1)); // waits out its latency
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto start = Clock::now();
    station.server->Stop();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(station.server->ConnectionCount(), 0u);
    EXPECT_TRUE(peers[0]->EndsWithoutFrame(1000));
    EXPECT_TRUE(peers[299]->EndsWithoutFrame(1000));
    Peer late(station.server->Port());
    EXPECT_FALSE(late.connected()) << "the listener is closed";
    station.server->Stop(); // again: nothing left to do
}

#ifdef KSYM_PLCSIM

struct Program {
    pid_t pid = -1;
    int out = -1; // its stdout
    int err = -1; // its stderr
};

Program Launch(const std::vector<std::string>& arguments) {
    int out[2];
    int err[2];
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> all = {KSYM_PLCSIM};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : all) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    Program program;
    EXPECT_EQ(posix_spawn(&program.pid, KSYM_PLCSIM, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    program.out = out[0];
    program.err = err[0];
    return program;
}

// What arrives on `fd` until `until` appears in it, the stream ends or `ms` pass.
std::string ReadUntil(int fd, const std::string& until, int ms) {
    std::string text;
    const auto due = Clock::now() + std::chrono::milliseconds(ms);
    while (text.find(until) == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now()).count();
        pollfd fds = {fd, POLLIN, 0};
        if (left <= 0 || ::poll(&fds, 1, static_cast<int>(left)) <= 0) {
            break;
        }
        char buffer[512];
        const ssize_t n = ::read(fd, buffer, sizeof(buffer));
        if (n <= 0) {
            break;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

// The exit code, -1 when it did not exit normally within `ms` (it is then killed).
int WaitExit(pid_t pid, int ms) {
    const auto due = Clock::now() + std::chrono::milliseconds(ms);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > due) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(PlcsimProgramTest, PrintsItsPortServesAndEndsOnSigterm) {
    Program program = Launch({"--listen", "127.0.0.1:0", "--order", "big", "--block", "300",
                              "--fault", "refuse", "--absent", "1:5"});
    const std::string line = ReadUntil(program.out, "\n", 10000);
    const std::string prefix = "plcsim listening on 127.0.0.1:";
    ASSERT_EQ(line.rfind(prefix, 0), 0u) << line << ReadUntil(program.err, "\n", 100);
    ASSERT_EQ(line.back(), '\n');
    const int port = std::stoi(line.substr(prefix.size()));
    ASSERT_GT(port, 0);
    {
        Peer peer(static_cast<uint16_t>(port));
        ASSERT_TRUE(peer.connected());
        EXPECT_EQ(Bytes(peer.Open(1)).at(0), 1) << "big-endian";
        // refuse is on: a write is refused.
        Bytes write = {0x3C, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 7, 0};
        EXPECT_EQ(peer.Ask(1, write), Bytes({0, 1}));
        EXPECT_EQ(::kill(program.pid, SIGTERM), 0);
        EXPECT_TRUE(peer.EndsWithoutFrame());
    }
    EXPECT_EQ(WaitExit(program.pid, 10000), 0);
    EXPECT_EQ(ReadUntil(program.out, "\n", 1000), "") << "one line only";
    ::close(program.out);
    ::close(program.err);
}

TEST(PlcsimProgramTest, RefusesBadOptionsWithAMessage) {
    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
             {"--listen", "127.0.0.1:0", "--fault", "nope"},
             {"--listen", "127.0.0.1:0", "--order", "middle"},
             {"--listen", "127.0.0.1:0", "--chunk", "0"},
             {"--listen", "127.0.0.1"},
             {"--listen", "127.0.0.1:0", "--fault", "short;order=big"}}) {
        SCOPED_TRACE(::testing::PrintToString(arguments));
        Program program = Launch(arguments);
        const std::string err = ReadUntil(program.err, "\n", 10000);
        EXPECT_EQ(WaitExit(program.pid, 10000), 2);
        EXPECT_EQ(err.rfind("plcsim: ", 0), 0u) << err;
        EXPECT_EQ(ReadUntil(program.out, "\n", 100), "");
        ::close(program.out);
        ::close(program.err);
    }
}

// Each refusal of plcsim's own option checks names what was wrong.
TEST(PlcsimProgramTest, OptionRefusalsSayWhichOptionAndWhy) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--listen", "127.0.0.1:0", "--order", "big;block=1"},
         "plcsim: --order must not contain ';'\n"},
        {{"--listen", "127.0.0.1:0", "--absent", "1:5", "1:6;x"},
         "plcsim: --absent must not contain ';'\n"},
        {{"--listen", "127.0.0.1:0", "--control", "--allow-remote"},
         "plcsim: --control is for tests on loopback: it may not be given with --allow-remote "
         "(the control service switches the station for all)\n"},
        {{"--listen", "127.0.0.1"}, "plcsim: --listen wants HOST:PORT, not '127.0.0.1'\n"},
        {{"--listen", "127.0.0.1:0", "--block", "x"}, "plcsim: bad simulator option 'block=x'\n"},
    };
    for (const auto& [arguments, expected] : cases) {
        SCOPED_TRACE(::testing::PrintToString(arguments));
        Program program = Launch(arguments);
        EXPECT_EQ(ReadUntil(program.err, "\n", 10000), expected);
        EXPECT_EQ(WaitExit(program.pid, 10000), 2);
        ::close(program.out);
        ::close(program.err);
    }
}

#endif

} // namespace
