// How reads hold up when many channels share one station server.
//   Channels/<n>  n channels over loopback TCP to one plcsim::StationServer in this process
//                 (the server code the plcsim program runs, serving one controller with the
//                 sample project, block size 512). Each channel has its own thread and
//                 message window and one list of the project's first 10 symbols (loaded on
//                 the channel with KSymLoadSymbols, the list defined once with
//                 KSymDefineVarList; one telegram). All channels start together and read in
//                 a loop, each read as var_list_bench's Read: KSymSendVarList, the completion
//                 message (GetMessageA), KSymGetValues
//   Ring/<n>      n rings of four threads passing the turn round through one auto-reset
//                 event each: the hand-overs of a read (caller, the server's connection
//                 thread, the client's receive thread, the notification thread, caller)
//                 without sockets or library, the floor under Channels/<n>
//   Ring2/<n>     the same with two threads per ring: the floor under a design in which one
//                 server thread and one receive thread serve every connection
// After a warm-up of 0.5 s the reads (rounds) that end within the next 3 s count:
//   reads/s, rounds/s  those of all threads, per second
//   p50_us, p99_us     the latency of one, over every one of every thread
//   failed             reads that did not complete with every value, warm-up included; any
//                      one makes the run an error
//   cpu%, cpu_us       the process's CPU time over the window (the server's threads
//                      included), against the wall time (200% is both cores busy) and per read
// Timing: one iteration per n with manual time, set to the window's length. The window is
// fixed wall time because n threads share two cores: CPU time would hide the waiting that
// latency is made of, and the opening of the channels, the symbol loads and the closes (a
// close takes 0.1 s) belong to no read. A read that has not ended 10 s after the window is
// woken by the main thread and counts as failed, so a lost completion ends the run instead
// of hanging it.
// After the table the benchmark checks two goals on the measured figures, the aggregate at
// 200 channels at least the one at 10 and the p99 at 200 at most 20 times the p50 at 1, and
// sets each aggregate against the ring's. The library's folders live in a temporary
// KSYM_ROOT that is removed at the end.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_station.h"
#include "include/ksymbol.h"
#include "platform/win32.h"

namespace {

using Clock = std::chrono::steady_clock;
using ksymbench::Station;

constexpr char kProgram[] = "channels_bench";
constexpr uint32_t kBlockSize = 512;
constexpr size_t kListSize = 10;
constexpr auto kWarmUp = std::chrono::milliseconds(500);
constexpr auto kWindow = std::chrono::seconds(3);
constexpr auto kStuckGrace = std::chrono::seconds(10);
// The wParam with which the main thread wakes a read that did not end.
constexpr WPARAM kWakeUp = 0x7FFF;

// Set in main: the station's address and the names every channel's list holds.
std::string stationAddress;
std::vector<std::string> listNames;

double ProcessCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// What one thread of a run measured.
struct ThreadFigures {
    std::vector<double> latenciesUs; // the rounds that ended in the window
    uint64_t failed = 0;
};

// Where the main thread and a run's threads meet: every thread reports itself set up (or
// not) and waits for the common start, which sets the window; the main thread waits for
// their ends and wakes the reads of those that do not end in time.
class Rendezvous {
public:
    explicit Rendezvous(size_t n) : windows_(n, nullptr), ended_(n, false) {}

    // From a run's thread once it is set up, with the message window its completions come
    // to (null when it has none): false when the run is abandoned, else it returns at the
    // start.
    bool ReadyAndWait(size_t index, HWND window, bool ok) {
        std::unique_lock<std::mutex> lock(mutex_);
        windows_[index] = window;
        ++ready_;
        setupFailed_ = setupFailed_ || !ok;
        changed_.notify_all();
        changed_.wait(lock, [this] { return started_ || abandoned_; });
        return started_;
    }

    void Ended(size_t index) {
        std::lock_guard<std::mutex> lock(mutex_);
        ended_[index] = true;
        ++endedCount_;
        changed_.notify_all();
    }

    // From the main thread: waits for every thread's set-up, then starts them all, or
    // abandons the run when one failed. True when started.
    bool StartAll() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return ready_ == windows_.size(); });
        if (setupFailed_) {
            abandoned_ = true;
        } else {
            started_ = true;
            from_ = Clock::now() + kWarmUp;
            to_ = from_ + kWindow;
        }
        changed_.notify_all();
        return started_;
    }

    // Waits for every thread's end until `deadline`, then wakes the reads of those still
    // waiting, once; the count of threads woken.
    size_t AwaitEnds(Clock::time_point deadline) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (changed_.wait_until(lock, deadline, [this] { return endedCount_ == ended_.size(); })) {
            return 0;
        }
        size_t woken = 0;
        for (size_t i = 0; i < ended_.size(); ++i) {
            if (!ended_[i] && windows_[i] != nullptr) {
                PostMessageA(windows_[i], ksymbench::kNotifyMsg, kWakeUp, 0);
                ++woken;
            }
        }
        return woken;
    }

    // The window; fixed once StartAll has started the run.
    Clock::time_point from() const { return from_; }
    Clock::time_point to() const { return to_; }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<HWND> windows_;
    std::vector<bool> ended_;
    size_t ready_ = 0;
    size_t endedCount_ = 0;
    bool setupFailed_ = false;
    bool started_ = false;
    bool abandoned_ = false;
    Clock::time_point from_;
    Clock::time_point to_;
};

// Runs `round` (true when it succeeded) in a loop from the start to the window's end, timing
// each and keeping the times of those that ended in the window.
void MeasureRounds(const Rendezvous& meet, ThreadFigures& figures,
                   const std::function<bool()>& round) {
    figures.latenciesUs.reserve(4096);
    for (;;) {
        const Clock::time_point begun = Clock::now();
        const bool done = round();
        const Clock::time_point ended = Clock::now();
        if (!done) {
            ++figures.failed;
        } else if (ended >= meet.from() && ended < meet.to()) {
            figures.latenciesUs.push_back(
                std::chrono::duration<double, std::micro>(ended - begun).count());
        }
        if (ended >= meet.to()) {
            return;
        }
    }
}

// The value below which `share` of the sorted samples lie (nearest rank).
double Percentile(const std::vector<double>& sorted, double share) {
    if (sorted.empty()) {
        return 0;
    }
    const auto rank = static_cast<size_t>(share * static_cast<double>(sorted.size()) + 0.999999);
    return sorted[std::min(sorted.size(), std::max<size_t>(rank, 1)) - 1];
}

// One thread of a run: sets itself up, calls meet.ReadyAndWait, measures its rounds with
// MeasureRounds when started, tears down and calls meet.Ended.
using RunThread = std::function<void(Rendezvous& meet, size_t index, ThreadFigures& figures)>;

// Runs n threads of `body` together for the window and sets the run's counters, the rate of
// rounds under `rateName`; a thread that could not set itself up, a failed round or one that
// did not end makes the run an error.
void RunTogether(benchmark::State& state, const RunThread& body, const char* rateName) {
    const auto n = static_cast<size_t>(state.range(0));
    Rendezvous meet(n);
    std::vector<ThreadFigures> figures(n);
    std::vector<std::thread> threads;
    threads.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        threads.emplace_back(body, std::ref(meet), i, std::ref(figures[i]));
    }
    double cpuSeconds = 0;
    double wallSeconds = 0;
    size_t woken = 0;
    const bool started = meet.StartAll();
    if (started) {
        std::this_thread::sleep_until(meet.from());
        const double cpuFrom = ProcessCpuSeconds();
        const Clock::time_point wallFrom = Clock::now();
        std::this_thread::sleep_until(meet.to());
        cpuSeconds = ProcessCpuSeconds() - cpuFrom;
        wallSeconds = std::chrono::duration<double>(Clock::now() - wallFrom).count();
        woken = meet.AwaitEnds(meet.to() + kStuckGrace);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    if (!started) {
        state.SkipWithError("a thread could not set itself up");
        return;
    }
    const double window = std::chrono::duration<double>(kWindow).count();
    state.SetIterationTime(window);
    std::vector<double> latencies;
    uint64_t failed = 0;
    for (const ThreadFigures& thread : figures) {
        latencies.insert(latencies.end(), thread.latenciesUs.begin(), thread.latenciesUs.end());
        failed += thread.failed;
    }
    std::sort(latencies.begin(), latencies.end());
    const auto rounds = static_cast<double>(latencies.size());
    state.counters[rateName] = rounds / window;
    state.counters["p50_us"] = Percentile(latencies, 0.50);
    state.counters["p99_us"] = Percentile(latencies, 0.99);
    state.counters["failed"] = static_cast<double>(failed);
    state.counters["cpu%"] = wallSeconds > 0 ? 100 * cpuSeconds / wallSeconds : 0;
    state.counters["cpu_us"] = rounds > 0 ? cpuSeconds * 1e6 / rounds : 0;
    if (woken != 0) {
        state.SkipWithError("a read did not end; its thread was woken");
    } else if (failed != 0) {
        state.SkipWithError("a read failed");
    }
}

// A channel's thread: opens its channel, defines its list, reads, closes.
void ChannelThread(Rendezvous& meet, size_t index, ThreadFigures& figures) {
    Station station;
    const std::vector<const char*> pointers = ksymbench::Pointers(listNames);
    const auto count = static_cast<uint32_t>(pointers.size());
    HVARLIST list = nullptr;
    if (OpenStation(station, stationAddress.c_str(), kBlockSize, kProgram)) {
        list = KSymDefineVarList(station.channel, pointers.data(), count);
    }
    if (meet.ReadyAndWait(index, station.window, list != nullptr)) {
        MeasureRounds(meet, figures,
                      [&] { return ksymbench::ReadOnce(station, list, count, INFINITE); });
    }
    if (list != nullptr) {
        KSymDeleteVarList(station.channel, list);
    }
    CloseStation(station);
    meet.Ended(index);
}

void Channels(benchmark::State& state) {
    for (auto _ : state) {
        RunTogether(state, ChannelThread, "reads/s");
    }
}

// A ring's thread: kHops - 1 partner threads and this one pass the turn round through one
// auto-reset event each. Four hops are a read's: from the caller to the server's connection
// thread, the client's receive thread, the notification thread and back; two are what would
// be left if a server and a receive thread served every connection together and had work
// waiting whenever they looked (the notification thread and the caller).
template <size_t kHops> void RingThread(Rendezvous& meet, size_t index, ThreadFigures& figures) {
    HANDLE events[kHops] = {};
    for (HANDLE& event : events) {
        event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    }
    std::atomic<bool> stop{false};
    std::vector<std::thread> partners;
    for (size_t hop = 1; hop < kHops; ++hop) {
        partners.emplace_back([&, hop] {
            HANDLE next = events[(hop + 1) % kHops];
            while (WaitForSingleObject(events[hop], INFINITE) == WAIT_OBJECT_0 && !stop.load()) {
                SetEvent(next);
            }
            SetEvent(next); // passes the stop on round the ring
        });
    }
    const bool made = std::all_of(std::begin(events), std::end(events),
                                  [](HANDLE event) { return event != nullptr; });
    if (meet.ReadyAndWait(index, nullptr, made)) {
        MeasureRounds(meet, figures, [&] {
            SetEvent(events[1]);
            return WaitForSingleObject(events[0], INFINITE) == WAIT_OBJECT_0;
        });
    }
    stop.store(true);
    SetEvent(events[1]);
    for (std::thread& partner : partners) {
        partner.join();
    }
    for (HANDLE event : events) {
        CloseHandle(event);
    }
    meet.Ended(index);
}

template <size_t kHops> void Ring(benchmark::State& state) {
    for (auto _ : state) {
        RunTogether(state, RingThread<kHops>, "rounds/s");
    }
}

// The console table, then the two goals checked on the figures of the runs it showed, and
// each aggregate against the ring's rounds for the same count.
class GoalReporter : public benchmark::ConsoleReporter {
public:
    GoalReporter() : ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const std::string& name = run.run_name.function_name;
            if (run.error_occurred || (name != "Channels" && name != "Ring")) {
                continue;
            }
            const bool ring = name == "Ring";
            Figures& figures = (ring ? rings_ : channels_)[std::stol(run.run_name.args)];
            figures.perSecond = Counter(run, ring ? "rounds/s" : "reads/s");
            figures.p50Us = Counter(run, "p50_us");
            figures.p99Us = Counter(run, "p99_us");
        }
    }

    void Finalize() override {
        std::FILE* out = stdout;
        std::fprintf(out, "\nGoals on the measured figures:\n");
        const Figures* at1 = Find(channels_, 1);
        const Figures* at10 = Find(channels_, 10);
        const Figures* at200 = Find(channels_, 200);
        std::fprintf(out, "  aggregate at 200 >= aggregate at 10: ");
        if (at10 != nullptr && at200 != nullptr) {
            std::fprintf(out, "%.0f >= %.0f reads/s: %s\n", at200->perSecond, at10->perSecond,
                         at200->perSecond >= at10->perSecond ? "yes" : "no");
        } else {
            std::fprintf(out, "not measured\n");
        }
        std::fprintf(out, "  p99 at 200 <= 20 x p50 at 1: ");
        if (at1 != nullptr && at200 != nullptr) {
            const double bound = 20 * at1->p50Us;
            std::fprintf(out, "%.0f us <= 20 x %.1f us = %.0f us: %s\n", at200->p99Us, at1->p50Us,
                         bound, at200->p99Us <= bound ? "yes" : "no");
        } else {
            std::fprintf(out, "not measured\n");
        }
        bool heading = false;
        for (const auto& [count, channel] : channels_) {
            const Figures* ring = Find(rings_, count);
            if (ring == nullptr || ring->perSecond <= 0) {
                continue;
            }
            if (!heading) {
                std::fprintf(out, "\nAgainst the ring of four threads per channel:\n");
                heading = true;
            }
            std::fprintf(out, "  %3ld channels: %.0f reads/s, %.2f of the ring's %.0f rounds/s\n",
                         count, channel.perSecond, channel.perSecond / ring->perSecond,
                         ring->perSecond);
        }
        std::fflush(out);
        ConsoleReporter::Finalize();
    }

private:
    struct Figures {
        double perSecond = 0; // reads or rounds, over all threads
        double p50Us = 0;
        double p99Us = 0;
    };

    static double Counter(const Run& run, const char* name) {
        const auto found = run.counters.find(name);
        return found == run.counters.end() ? 0.0 : found->second.value;
    }
    static const Figures* Find(const std::map<long, Figures>& runs, long count) {
        const auto found = runs.find(count);
        return found == runs.end() ? nullptr : &found->second;
    }

    std::map<long, Figures> channels_; // by channel count
    std::map<long, Figures> rings_;    // by ring count
};

// The names of the list: the first symbols of the project, taken through a channel that is
// closed again, so that every slot of the library's channel table is free for the runs. Its
// load also leaves the symbol file in the library's folder, where the runs' loads find it.
bool TakeListNames() {
    Station probe;
    const bool opened = OpenStation(probe, stationAddress.c_str(), kBlockSize, kProgram);
    if (opened && probe.symbols.size() >= kListSize) {
        listNames.assign(probe.symbols.begin(), probe.symbols.begin() + kListSize);
    }
    CloseStation(probe);
    return listNames.size() == kListSize;
}

} // namespace

int main(int argc, char** argv) {
    GoalReporter reporter;
    return ksymbench::RunOnSampleStation(
        argc, argv, kProgram, kBlockSize,
        [](const ksymbench::SampleStation& server) {
            stationAddress = server.TcpAddress();
            if (!TakeListNames()) {
                return false;
            }
            for (benchmark::internal::Benchmark* run :
                 {benchmark::RegisterBenchmark("Ring", Ring<4>),
                  benchmark::RegisterBenchmark("Ring2", Ring<2>),
                  benchmark::RegisterBenchmark("Channels", Channels)}) {
                run->Arg(1)->Arg(10)->Arg(50)->Arg(200)->Iterations(1)->UseManualTime()->Unit(
                    benchmark::kMillisecond);
            }
            return true;
        },
        [] {}, reporter);
}
