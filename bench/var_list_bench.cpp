// What defining and reading variable lists costs, on a channel to the embedded simulator
// (station "sim:block=512", block size 512) with the sample project's symbols loaded:
//   HandOver       two threads passing the turn there and back through one auto-reset
//                  event each: the floor under any round trip between threads
//   Define/<n>     KSymDefineVarList of n names cycling through the project's symbols and a
//                  few direct addresses; only the definition is timed (manual timing), the
//                  deletion after it is not
//   Read/<n>       one read of a list of n variables: KSymSendVarList, waiting for the
//                  completion message, KSymGetValues. Every telegram of the list travels to
//                  the simulator's worker thread and its reply back to the channel's
//                  notification thread, which sends the next one
// After the table the benchmark prints each read's time against the hand-over's round trip,
// per read and per telegram. The library's folders live in a temporary KSYM_ROOT that is
// removed at the end.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_station.h"
#include "include/ksymbol.h"
#include "platform/win32.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using ksymbench::CloseStation;
using ksymbench::OpenStation;
using ksymbench::Pointers;
using ksymbench::ReadOnce;
using ksymbench::Station;
using ksymbench::TelegramCount;

constexpr char kProgram[] = "var_list_bench";
constexpr uint32_t kBlockSize = 512;
constexpr char kStation[] = "sim:block=512";
// Direct addresses of every size, a bit among them, mixed into the names.
const char* const kDirectAddresses[] = {"%MW4", "%MB100", "%MD8", "%MX2.5", "%IW0", "%QB3"};

// A channel the runs use, opened once in main: `station` to the embedded simulator,
// `tcpStation` to a station server on the loopback interface serving the same project.
Station station;
Station tcpStation;

// n names: every fifth a direct address, the others the symbols in turn.
std::vector<std::string> ListNames(size_t n) {
    constexpr size_t kDirectCount = sizeof kDirectAddresses / sizeof kDirectAddresses[0];
    std::vector<std::string> names;
    names.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        if (i % 5 == 4) {
            names.emplace_back(kDirectAddresses[i / 5 % kDirectCount]);
        } else {
            names.push_back(station.symbols[(i - i / 5) % station.symbols.size()]);
        }
    }
    return names;
}

void HandOver(benchmark::State& state) {
    HANDLE ping = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE pong = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<bool> stop{false};
    std::thread partner([&] {
        for (;;) {
            WaitForSingleObject(ping, INFINITE);
            if (stop.load()) {
                return;
            }
            SetEvent(pong);
        }
    });
    for (auto _ : state) {
        SetEvent(ping);
        WaitForSingleObject(pong, INFINITE);
    }
    stop.store(true);
    SetEvent(ping);
    partner.join();
    CloseHandle(ping);
    CloseHandle(pong);
    state.counters["roundTrips/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void Define(benchmark::State& state) {
    const std::vector<std::string> names = ListNames(static_cast<size_t>(state.range(0)));
    const std::vector<const char*> pointers = Pointers(names);
    const auto count = static_cast<uint32_t>(pointers.size());
    uint32_t telegrams = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        HVARLIST list = KSymDefineVarList(station.channel, pointers.data(), count);
        const auto end = std::chrono::steady_clock::now();
        if (list == nullptr) {
            state.SkipWithError("the definition was refused");
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        telegrams = TelegramCount(list);
        KSymDeleteVarList(station.channel, list);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * count);
    state.counters["telegrams"] = telegrams;
}

void ReadOn(benchmark::State& state, const Station& on) {
    const std::vector<std::string> names = ListNames(static_cast<size_t>(state.range(0)));
    const std::vector<const char*> pointers = Pointers(names);
    const auto count = static_cast<uint32_t>(pointers.size());
    HVARLIST list = KSymDefineVarList(on.channel, pointers.data(), count);
    if (list == nullptr) {
        state.SkipWithError("the definition was refused");
        return;
    }
    // A first read with a bounded wait: the timed ones wait without a limit.
    if (!ReadOnce(on, list, count, 5000)) {
        state.SkipWithError("the first read did not complete");
    } else {
        for (auto _ : state) {
            if (!ReadOnce(on, list, count, INFINITE)) {
                state.SkipWithError("a read did not complete");
                break;
            }
        }
    }
    const uint32_t telegrams = TelegramCount(list);
    KSymDeleteVarList(on.channel, list);
    const auto reads = static_cast<double>(state.iterations());
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * count);
    state.counters["reads/s"] = benchmark::Counter(reads, benchmark::Counter::kIsRate);
    state.counters["telegrams/s"] =
        benchmark::Counter(reads * telegrams, benchmark::Counter::kIsRate);
    state.counters["telegrams"] = telegrams;
}

void Read(benchmark::State& state) {
    ReadOn(state, station);
}

void ReadTcp(benchmark::State& state) {
    ReadOn(state, tcpStation);
}

// A bare loopback TCP round trip: 16 bytes to an echoing thread and back, the floor under a
// telegram's exchange with a station server.
void LoopbackRoundTrip(benchmark::State& state) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        state.SkipWithError("no loopback listener");
        return;
    }
    std::thread echo([listener] {
        const int peer = accept(listener, nullptr, nullptr);
        uint8_t bytes[16];
        while (peer >= 0 && recv(peer, bytes, sizeof bytes, MSG_WAITALL) == sizeof bytes) {
            send(peer, bytes, sizeof bytes, MSG_NOSIGNAL);
        }
        if (peer >= 0) {
            close(peer);
        }
    });
    const int client = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (connect(client, reinterpret_cast<sockaddr*>(&address), size) != 0) {
        state.SkipWithError("no loopback connection");
    } else {
        uint8_t bytes[16] = {};
        for (auto _ : state) {
            send(client, bytes, sizeof bytes, MSG_NOSIGNAL);
            if (recv(client, bytes, sizeof bytes, MSG_WAITALL) != sizeof bytes) {
                state.SkipWithError("the echo ended");
                break;
            }
        }
    }
    close(client);
    echo.join();
    close(listener);
    state.counters["roundTrips/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// The console table, then each read against the hand-over measured in the same run: per
// read, per telegram, and against the read's floor. A read of T telegrams passes the turn
// between threads 2T + 1 times (caller to simulator, then simulator to notification thread
// and back per telegram, notification thread to caller at the end): T + 0.5 round trips.
// With repetitions, the medians are compared.
class HandOverReporter : public benchmark::ConsoleReporter {
public:
    HandOverReporter() : ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.error_occurred || !(single || median)) {
                continue;
            }
            const std::string& args = run.run_name.args;
            const std::string name = run.run_name.function_name + (args.empty() ? "" : "/" + args);
            const double seconds =
                run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
            if (name == "HandOver") {
                roundTrip_ = seconds;
            } else if (name == "LoopbackRoundTrip") {
                loopback_ = seconds;
            } else if (name.compare(0, 4, "Read") == 0) {
                const auto telegrams = run.counters.find("telegrams");
                if (figures_.count(name) == 0) {
                    order_.push_back(name);
                }
                figures_[name] = {seconds,
                                  telegrams == run.counters.end() ? 0 : telegrams->second.value};
            }
        }
    }

    void Finalize() override {
        std::FILE* out = stdout;
        if (roundTrip_ > 0) {
            std::fprintf(out, "\nAgainst the hand-over round trip (%.2f us) %10s %13s %10s %10s\n",
                         roundTrip_ * 1e6, "per read", "per telegram", "telegrams", "vs floor");
            for (const std::string& name : order_) {
                const ReadFigures& read = figures_[name];
                const double perTelegram = read.telegrams > 0 ? read.seconds / read.telegrams : 0;
                const double floor = (read.telegrams + 0.5) * roundTrip_;
                std::fprintf(out, "%-39s %9.1fx %12.2fx %10.0f %9.2fx\n", name.c_str(),
                             read.seconds / roundTrip_, perTelegram / roundTrip_, read.telegrams,
                             read.seconds / floor);
            }
        }
        const auto tcp = figures_.find("ReadTcp/10");
        const auto sim = figures_.find("Read/10");
        if (tcp != figures_.end() && sim != figures_.end() && loopback_ > 0) {
            std::fprintf(out,
                         "\nReadTcp/10: %.1f us, %.2fx the embedded read, %.2fx a bare "
                         "loopback round trip (%.2f us)\n",
                         tcp->second.seconds * 1e6, tcp->second.seconds / sim->second.seconds,
                         tcp->second.seconds / loopback_, loopback_ * 1e6);
        }
        std::fflush(out);
        ConsoleReporter::Finalize();
    }

private:
    struct ReadFigures {
        double seconds = 0; // per read
        double telegrams = 0;
    };
    double roundTrip_ = 0; // seconds
    double loopback_ = 0;  // seconds
    std::vector<std::string> order_;
    std::map<std::string, ReadFigures> figures_;
};

} // namespace

int main(int argc, char** argv) {
    HandOverReporter reporter;
    return ksymbench::RunOnSampleStation(
        argc, argv, kProgram, kBlockSize,
        [](const ksymbench::SampleStation& server) {
            // The station server holds the same project, with the simulator's block size.
            if (!OpenStation(station, kStation, kBlockSize, kProgram) ||
                !OpenStation(tcpStation, server.TcpAddress().c_str(), kBlockSize, kProgram)) {
                return false;
            }
            // Wake-ups between threads vary from run to run (more so on virtual machines): the
            // hand-over and the reads are repeated and their medians compared.
            constexpr int kRepetitions = 5;
            benchmark::RegisterBenchmark("HandOver", HandOver)
                ->UseRealTime()
                ->Repetitions(kRepetitions)
                ->ReportAggregatesOnly(true);
            benchmark::RegisterBenchmark("Define", Define)
                ->Arg(10)
                ->Arg(1000)
                ->Arg(100000)
                ->UseManualTime()
                ->Unit(benchmark::kMicrosecond);
            benchmark::RegisterBenchmark("Read", Read)
                ->Arg(10)
                ->Arg(1000)
                ->UseRealTime()
                ->Repetitions(kRepetitions)
                ->ReportAggregatesOnly(true)
                ->Unit(benchmark::kMicrosecond);
            benchmark::RegisterBenchmark("LoopbackRoundTrip", LoopbackRoundTrip)
                ->UseRealTime()
                ->Repetitions(kRepetitions)
                ->ReportAggregatesOnly(true);
            benchmark::RegisterBenchmark("ReadTcp", ReadTcp)
                ->Arg(10)
                ->UseRealTime()
                ->Repetitions(kRepetitions)
                ->ReportAggregatesOnly(true)
                ->Unit(benchmark::kMicrosecond);
            return true;
        },
        [] {
            CloseStation(station);
            CloseStation(tcpStation);
        },
        reporter);
}
