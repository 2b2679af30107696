// A soak under faults: 50 channels over TCP to one station server and 10 on the embedded
// simulator, each reading a list of several telegrams and writing in a loop, while a
// schedule switches the station's faults on and off (silent, short, short reads, empty,
// fatal, refuse, latency, every connection cut). Every read ends with exactly one
// notification (its completion or the broken connection), with the caller's own time-out
// (a station that stays silent), or is refused with its code; afterwards the threads, the
// kernel objects, the descriptors and the heap are what they were before.
//
// KSYM_SOAK_SECONDS sets how long the loops run (30 by default).
#include <gtest/gtest.h>

#include <dirent.h>
#include <malloc.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"
#include "extern/kclient.h"
#include "include/ksymbol.h"
#include "plcsim/config.h"
#include "plcsim/controller.h"
#include "plcsim/station_server.h"
#include "support/watchdog.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr UINT kMessage = WM_USER + 7;
constexpr DWORD kReplyWaitMs = 2000; // the caller's time-out, well above any latency phase
constexpr uint32_t kTcpChannels = 50;
constexpr uint32_t kEmbeddedChannels = 10;

// Seven double words: three telegrams at a block size of 64.
const char* const kReadNames[] = {"%MD0", "%MD1", "%MD2", "%MD3", "%MD4", "%MD5", "%MD6"};
constexpr uint32_t kReadCount = 7;
const char* const kWriteNames[] = {"%MD40", "%MW90", "%MB200"};

int Seconds() {
    const char* text = std::getenv("KSYM_SOAK_SECONDS");
    const int seconds = text != nullptr ? std::atoi(text) : 0;
    return seconds > 0 ? seconds : 30;
}

size_t EntriesOf(const char* folder) {
    size_t count = 0;
    if (DIR* dir = opendir(folder)) {
        while (const dirent* entry = readdir(dir)) {
            count += entry->d_name[0] != '.' ? 1 : 0;
        }
        closedir(dir);
    }
    return count;
}

// What the process holds; compared before and after the soak.
struct Resources {
    size_t threads = 0;
    size_t descriptors = 0;
    DWORD handles = 0;
    size_t heap = 0;

    static Resources Now() {
        Resources now;
        now.threads = EntriesOf("/proc/self/task");
        now.descriptors = EntriesOf("/proc/self/fd");
        now.handles = KPlatformOpenHandles();
        now.heap = mallinfo2().uordblks;
        return now;
    }
};

// The faults the schedule cycles through; the embedded channels get the same ones as
// simulator options when they open again at each phase.
struct Phase {
    const char* name;
    const char* simOptions;
    bool cut = false;
    plcsim::Fault fault = plcsim::Fault::Silent;
    bool hasFault = false;
    uint32_t latencyMs = 0;
};

const std::array<Phase, 10> kPhases = {{
    {"clean", "block=64"},
    {"silent", "block=64;fault=silent", false, plcsim::Fault::Silent, true},
    {"short", "block=64;fault=short", false, plcsim::Fault::Short, true},
    {"clean again", "block=64"},
    {"short reads", "block=64;fault=shortread", false, plcsim::Fault::ShortRead, true},
    {"empty", "block=64;fault=empty", false, plcsim::Fault::Empty, true},
    {"fatal", "block=64;fault=fatal", false, plcsim::Fault::Fatal, true},
    {"refuse", "block=64;fault=refuse", false, plcsim::Fault::Refuse, true},
    {"latency", "block=64;latency=200", false, plcsim::Fault::Silent, false, 200},
    {"cut connections", "block=64", true},
}};

// One channel's loop and what it saw. Touched by its own thread only until joined.
struct Tally {
    uint64_t reads = 0, completed = 0, fatal = 0, timedOut = 0, writes = 0, written = 0;
    uint64_t strays = 0, opens = 0;
    std::map<int32_t, uint64_t> refused; // code -> count
    std::vector<std::string> errors;
};

class Soak {
public:
    Soak() {
        plcsim::Config config;
        std::string error;
        EXPECT_TRUE(plcsim::ParseConfig("block=64", config, error)) << error;
        controller_ = std::make_shared<plcsim::Controller>();
        EXPECT_TRUE(controller_->Configure(config, error)) << error;
        StartServer(0);
    }
    ~Soak() {
        std::lock_guard<std::mutex> lock(serverMutex_);
        server_.reset();
    }

    std::string TcpStation() const { return "tcp:127.0.0.1:" + std::to_string(port_.load()); }
    std::string SimStation() const {
        return std::string("sim:") + kPhases[phase_.load() % kPhases.size()].simOptions;
    }
    uint32_t PhaseNumber() const { return phase_.load(); }

    // Moves the station to the next phase of the schedule.
    void NextPhase() {
        const uint32_t next = phase_.load() + 1;
        const Phase& from = kPhases[(next - 1) % kPhases.size()];
        const Phase& to = kPhases[next % kPhases.size()];
        if (from.hasFault) {
            controller_->SetFault(from.fault, false);
        }
        controller_->SetLatency(to.latencyMs);
        if (to.hasFault) {
            controller_->SetFault(to.fault, true);
        }
        if (to.cut) {
            // Every connection goes; the station is back on its port at once.
            std::lock_guard<std::mutex> lock(serverMutex_);
            server_.reset();
            StartServer(port_.load());
        }
        phase_.store(next);
    }

private:
    void StartServer(uint16_t port) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            auto server = std::make_unique<plcsim::StationServer>(controller_);
            std::string error;
            if (server->Start("127.0.0.1", port, error)) {
                port_ = server->Port();
                server_ = std::move(server);
                return;
            }
            Sleep(20);
        }
        ADD_FAILURE() << "the station server could not start again on port " << port;
    }

    std::shared_ptr<plcsim::Controller> controller_;
    std::mutex serverMutex_;
    std::unique_ptr<plcsim::StationServer> server_;
    std::atomic<uint16_t> port_{0}; // read by the workers while the schedule restarts the server
    std::atomic<uint32_t> phase_{0};
};

// One channel driven in a loop until the deadline, on a thread of its own with its own
// notification window. A broken channel is re-opened (its symbols carry on); an embedded
// station takes the schedule's faults through the simulator's control service.
class Worker {
public:
    Worker(Soak& soak, bool embedded) : soak_(soak), embedded_(embedded) {}

    // Opens the channel and loads its symbols; false when that did not work out in time.
    bool Start() {
        window_ = CreateWindowExA(0, "STATIC", "soak", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  nullptr, nullptr);
        const std::string station = embedded_ ? "sim:block=64" : soak_.TcpStation();
        for (int attempt = 0; window_ != nullptr && attempt < 20; ++attempt) {
            channel_ = KSymOpenChannelEx(station.c_str(), 0, window_, kMessage, 0);
            if (channel_ != -1 && KSymLoadSymbols(channel_, nullptr, nullptr, nullptr) == 1) {
                ++tally_.opens;
                return true;
            }
            Close();
            Sleep(100);
        }
        Error("the channel could not be opened with its symbols");
        return false;
    }

    void Run(Clock::time_point deadline) {
        while (Clock::now() < deadline) {
            if (broken_ && !Reopen()) {
                Sleep(50);
                continue;
            }
            if (embedded_ && appliedPhase_ != soak_.PhaseNumber()) {
                ApplyPhase();
                continue;
            }
            if (list_ == nullptr) {
                list_ = KSymDefineVarList(channel_, kReadNames, kReadCount);
                if (list_ == nullptr) {
                    Error("no list: code " + std::to_string(KClientGetLastError()));
                    Sleep(50);
                    continue;
                }
            }
            if (Read()) {
                Write();
            }
        }
        Close();
    }

    const Tally& tally() const { return tally_; }

private:
    bool Reopen() {
        DropList();
        const std::string station = embedded_ ? "sim:block=64" : soak_.TcpStation();
        const int32_t moved =
            KSymOpenChannelEx(station.c_str(), kReopenBase + channel_, window_, kMessage, 0);
        if (moved == -1) {
            return false;
        }
        channel_ = moved;
        broken_ = false;
        ++tally_.opens;
        Drain();
        return true;
    }

    // The embedded controller is told the phase's fault (latency and cut are the TCP
    // station's alone).
    void ApplyPhase() {
        const uint32_t phase = soak_.PhaseNumber();
        const Phase& now = kPhases[phase % kPhases.size()];
        if (Control("clear=all") &&
            (!now.hasFault || Control(std::string("fault=") + plcsim::FaultName(now.fault)))) {
            appliedPhase_ = phase;
        }
    }

    // A command to the simulator's control service; false (and the channel to be re-opened)
    // when it was not answered.
    bool Control(const std::string& command) {
        DropList();
        Drain();
        const std::string telegram = "\xF0" + command;
        MSG msg{};
        if (KClientWrite(channel_, telegram.data(), static_cast<uint32_t>(telegram.size())) !=
                static_cast<int32_t>(telegram.size()) ||
            !Wait(msg) || msg.wParam != static_cast<WPARAM>(COMM_MESSAGEREADY)) {
            broken_ = true;
            return false;
        }
        uint8_t status[2] = {1, 1};
        KClientRead(channel_, status, sizeof status);
        if (status[0] != 0 || status[1] != 0) {
            Error("the simulator refused " + command);
        }
        return true;
    }

    void DropList() {
        if (list_ != nullptr) {
            KSymDeleteVarList(channel_, list_);
            list_ = nullptr;
        }
    }

    void Close() {
        DropList();
        if (channel_ != -1) {
            KSymCloseChannel(channel_);
            channel_ = -1;
        }
        if (window_ != nullptr) {
            Drain();
            DestroyWindow(window_);
            window_ = nullptr;
        }
    }

    // Messages that arrive while nothing is outstanding: a late reply to a request the
    // caller stopped waiting for. Anything else here would be a second notification.
    void Drain() {
        MSG msg{};
        while (PeekMessageA(&msg, window_, 0, 0, PM_REMOVE)) {
            ++tally_.strays;
        }
    }

    // The one notification of the request outstanding, or nothing within the time-out.
    bool Wait(MSG& msg) {
        const DWORD start = GetTickCount();
        do {
            if (PeekMessageA(&msg, window_, 0, 0, PM_REMOVE)) {
                return true;
            }
            Sleep(1);
        } while (GetTickCount() - start < kReplyWaitMs);
        return false;
    }

    // What a request that got no completion leaves: a refusal (a read still pending, or a
    // broken channel), the caller's time-out, or the fatal notification.
    void Refused() {
        const int32_t code = KClientGetLastError();
        if (code == 0) {
            Error("a request refused without a code");
        }
        ++tally_.refused[code];
        DropList();
        broken_ = code != KSYM_ERR_READ_PENDING;
    }
    void TimedOut() {
        // A silent station: the caller gives up; the list goes, so that a late reply finds
        // no read to complete.
        ++tally_.timedOut;
        DropList();
    }
    void Fatal() {
        ++tally_.fatal;
        broken_ = true;
    }

    // One read of the list; true when it completed.
    bool Read() {
        Drain();
        ++tally_.reads;
        if (KSymSendVarList(channel_, list_) != 1) {
            Refused();
            return false;
        }
        MSG msg{};
        if (!Wait(msg)) {
            TimedOut();
            return false;
        }
        if (msg.wParam == static_cast<WPARAM>(COMM_FATALERROR)) {
            Fatal();
            return false;
        }
        if (msg.wParam != static_cast<WPARAM>(COMM_MESSAGEREADY) ||
            msg.lParam != static_cast<LPARAM>(10 * kReadCount + 6)) {
            Error("a read ended with wParam " + std::to_string(msg.wParam) + ", lParam " +
                  std::to_string(msg.lParam));
            DropList();
            return false;
        }
        VarValue** values = nullptr;
        uint32_t count = 0;
        if (KSymGetValues(channel_, list_, &values, &count) != 1 || count != kReadCount) {
            Error("a completed read has " + std::to_string(count) + " values");
        }
        ++tally_.completed;
        return true;
    }

    void Write() {
        const auto dword = static_cast<uint32_t>(tally_.writes);
        const auto word = static_cast<uint16_t>(tally_.writes);
        const auto byte = static_cast<uint8_t>(tally_.writes);
        const void* buffers[] = {&dword, &word, &byte};
        Drain();
        ++tally_.writes;
        if (KSymWriteVars(channel_, kWriteNames, 3, buffers) != 1) {
            Refused();
            return;
        }
        MSG msg{};
        if (!Wait(msg)) {
            TimedOut();
        } else if (msg.wParam == static_cast<WPARAM>(COMM_FATALERROR)) {
            Fatal();
        } else {
            tally_.written += KSymWriteResult(channel_) == 1 ? 1 : 0;
        }
    }

    void Error(const std::string& what) {
        if (tally_.errors.size() < 10) {
            tally_.errors.push_back(what);
        }
    }

    static constexpr int32_t kReopenBase = 0x10000000;

    Soak& soak_;
    const bool embedded_;
    HWND window_ = nullptr;
    int32_t channel_ = -1;
    HVARLIST list_ = nullptr;
    bool broken_ = false;
    uint32_t appliedPhase_ = 0;
    Tally tally_;
};

// Opens and closes a channel of each kind once, so that what lives for the whole process
// once used (the embedded simulator's worker, the sockets layer) is there before counting.
void WarmUp(Soak& soak) {
    Worker tcp(soak, false);
    Worker embedded(soak, true);
    const Clock::time_point soon = Clock::now() + std::chrono::milliseconds(200);
    std::thread a([&] { tcp.Start() ? tcp.Run(soon) : void(); });
    std::thread b([&] { embedded.Start() ? embedded.Run(soon) : void(); });
    a.join();
    b.join();
}

// What the process holds once the last closes have run their course.
Resources Settled() {
    Resources last = Resources::Now();
    for (int i = 0; i < 50; ++i) {
        Sleep(100);
        const Resources now = Resources::Now();
        if (now.threads == last.threads && now.handles == last.handles &&
            now.descriptors == last.descriptors) {
            return now;
        }
        last = now;
    }
    return last;
}

TEST(Soak, SixtyChannelsReadAndWriteWhileFaultsComeAndGo) {
    ksymtest::UseOwnMachine();
    const int seconds = Seconds();
    const ksymtest::Watchdog watchdog("the soak", std::chrono::seconds(seconds + 90));

    {
        Soak warm;
        WarmUp(warm);
    }
    const Resources before = Settled();
    std::vector<std::unique_ptr<Worker>> workers;
    {
        Soak soak;
        for (uint32_t i = 0; i < kTcpChannels + kEmbeddedChannels; ++i) {
            workers.push_back(std::make_unique<Worker>(soak, i >= kTcpChannels));
        }
        // Every channel opens and loads its symbols first; then the loops and the schedule
        // begin together.
        std::atomic<uint32_t> started{0};
        std::atomic<bool> go{false};
        Clock::time_point deadline;
        std::vector<std::thread> threads;
        for (auto& worker : workers) {
            threads.emplace_back([&worker, &started, &go, &deadline] {
                const bool ready = worker->Start();
                started.fetch_add(1);
                while (!go.load()) {
                    Sleep(5);
                }
                worker->Run(ready ? deadline : Clock::now());
            });
        }
        EXPECT_TRUE(ksymtest::Eventually([&] { return started.load() == workers.size(); }, 60000));
        deadline = Clock::now() + std::chrono::seconds(seconds);
        go.store(true);
        // The schedule: a phase every 1.2 s, so that 30 s go through every fault twice.
        while (Clock::now() + std::chrono::milliseconds(1200) < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1200));
            soak.NextPhase();
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
    }

    Tally total;
    for (size_t i = 0; i < workers.size(); ++i) {
        const Tally& t = workers[i]->tally();
        SCOPED_TRACE((i < kTcpChannels ? "TCP channel " : "embedded channel ") + std::to_string(i));
        for (const std::string& error : t.errors) {
            ADD_FAILURE() << error;
        }
        EXPECT_GT(t.completed, 0u) << "a channel never completed a read";
        // A late reply can follow only a request the caller stopped waiting for.
        EXPECT_LE(t.strays, t.timedOut) << "a notification came without a request";
        total.reads += t.reads;
        total.completed += t.completed;
        total.fatal += t.fatal;
        total.timedOut += t.timedOut;
        total.writes += t.writes;
        total.written += t.written;
        total.strays += t.strays;
        total.opens += t.opens;
        for (const auto& [code, count] : t.refused) {
            total.refused[code] += count;
        }
    }
    std::ostringstream refused;
    for (const auto& [code, count] : total.refused) {
        refused << " " << code << ":" << count;
    }
    std::printf(
        "soak of %d s: %llu reads (%llu completed, %llu fatal, %llu timed out), %llu writes "
        "(%llu accepted), %llu strays, %llu opens, refused by code:%s\n",
        seconds, static_cast<unsigned long long>(total.reads),
        static_cast<unsigned long long>(total.completed),
        static_cast<unsigned long long>(total.fatal),
        static_cast<unsigned long long>(total.timedOut),
        static_cast<unsigned long long>(total.writes),
        static_cast<unsigned long long>(total.written),
        static_cast<unsigned long long>(total.strays), static_cast<unsigned long long>(total.opens),
        refused.str().c_str());
    EXPECT_GT(total.fatal, 0u) << "the fatal and cut phases never reached a read";
    EXPECT_GT(total.timedOut, 0u) << "the silent phase never reached a read";

    // Every thread ended, every kernel object closed, every socket gone (a closed channel's
    // thread may still be on its way out for a moment); the heap as before but for what the
    // allocator keeps.
    Resources after;
    EXPECT_TRUE(ksymtest::Eventually(
        [&] {
            after = Resources::Now();
            return after.threads == before.threads && after.handles == before.handles &&
                   after.descriptors == before.descriptors;
        },
        10000))
        << "threads " << after.threads << " (" << before.threads << " before), kernel objects "
        << after.handles << " (" << before.handles << "), descriptors " << after.descriptors << " ("
        << before.descriptors << ")";
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(after.heap, before.heap + 512 * 1024)
        << "the heap grew from " << before.heap << " to " << after.heap << " bytes";
#endif
}

} // namespace
