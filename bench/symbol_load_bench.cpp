// What loading a large project's symbols costs end to end, on a channel to the embedded
// simulator serving a 1,000,000-symbol project ("sim:project=FILE", the names of
// HierarchicalNames). Before the runs the project is loaded once, which uploads it and
// leaves the local symbol file; every run after that finds the local file current.
//   ReadFile/<n>     the local file's bytes read into memory by the file device the loader
//                    reads it with: the floor under any load
//   LoadSymbols/<n>  KSymLoadSymbols of the channel: the station confirms the local file's
//                    identifier, the file is read and indexed (the table before is
//                    released with KSymDeleteSymbols outside the timing)
//   Memory/<n>       one load measured by the process's resident size: the peak during the
//                    load and the size after it, less the size before, per symbol, beside
//                    the file's bytes per symbol; also the heap bytes in use after the load
//   Find/<n>/hits    10,000 look-ups in the loaded channel's index of names picked at random
//                    among the project's (copies, as a caller would pass them)
//   Find/<n>/misses  the same names with one letter changed: names the index does not hold
// After the table the benchmark prints the goals checked on the figures of this run.
// The library's folders live in a temporary KSYM_ROOT that is removed at the end.
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bench/library_root.h"
#include "bench/symbol_sets.h"
#include "extern/kclient.h"
#include "extern/kutil.h"
#include "frame/channel_table.h"
#include "include/ksymbol.h"
#include "platform/win32.h"
#include "symbols/symbol_index.h"

namespace {

constexpr size_t kSymbols = 1000000;
constexpr size_t kLookups = 10000;
constexpr UINT kNotifyMsg = WM_USER + 7;

struct Project {
    HWND window = nullptr;
    int32_t channel = -1;
    std::string localFile;  // the symbol file the loader keeps, found after the first load
    uint64_t fileBytes = 0; // its size
    std::vector<std::string> hits;
    std::vector<std::string> misses;
};
Project project;

// One entry of a /proc/self file in bytes ("VmRSS", "VmHWM" of "status", "AnonHugePages"
// of "smaps_rollup"); 0 when it cannot be read.
uint64_t StatusBytes(const char* key, const char* file = "/proc/self/status") {
    std::ifstream status(file);
    std::string line;
    const std::string prefix = std::string(key) + ":";
    while (std::getline(status, line)) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            return std::strtoull(line.c_str() + prefix.size(), nullptr, 10) * 1024u;
        }
    }
    return 0;
}

// Starts a new peak: the kernel sets the high-water mark back to the current size.
void ResetResidentPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

uint64_t HeapInUse() {
    return static_cast<uint64_t>(mallinfo2().uordblks);
}

bool Load(int32_t& count) {
    SymbolEntry** symbols = nullptr;
    count = 0;
    return KSymLoadSymbols(project.channel, nullptr, &symbols, &count) == 1;
}

// Releases the table, and gives the freed memory back so that the next figures start
// from what the process holds without it.
void Unload() {
    KSymDeleteSymbols(project.channel);
    malloc_trim(0);
}

void ReadFile(benchmark::State& state) {
    std::vector<char> path(project.localFile.begin(), project.localFile.end());
    path.push_back('\0');
    for (auto _ : state) {
        KBufferedFileSerDev device(path.data(), SD_READ);
        if (device.GetStatus() != SD_OK) {
            state.SkipWithError("the local file cannot be read");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * project.fileBytes));
}

void LoadSymbols(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        Unload();
        state.ResumeTiming();
        int32_t count = 0;
        if (!Load(count) || static_cast<size_t>(count) != kSymbols) {
            state.SkipWithError("the symbols did not load");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * project.fileBytes));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kSymbols));
}

void Memory(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        Unload();
        const uint64_t before = StatusBytes("VmRSS");
        const uint64_t heapBefore = HeapInUse();
        ResetResidentPeak();
        state.ResumeTiming();
        int32_t count = 0;
        const bool loaded = Load(count);
        state.PauseTiming();
        const uint64_t peak = StatusBytes("VmHWM");
        const uint64_t after = StatusBytes("VmRSS");
        malloc_trim(0);
        const uint64_t trimmed = StatusBytes("VmRSS");
        const uint64_t heap = HeapInUse();
        state.ResumeTiming();
        if (!loaded || before == 0 || peak == 0) {
            state.SkipWithError("no load or no figures");
            break;
        }
        const auto perSymbol = [](uint64_t bytes) {
            return static_cast<double>(bytes) / static_cast<double>(kSymbols);
        };
        state.counters["fileB/sym"] = perSymbol(project.fileBytes);
        state.counters["peakB/sym"] = perSymbol(peak - before);
        state.counters["afterB/sym"] = perSymbol(after - before);
        state.counters["trimmedB/sym"] = perSymbol(trimmed > before ? trimmed - before : 0);
        state.counters["heapB/sym"] = perSymbol(heap > heapBefore ? heap - heapBefore : 0);
    }
}

void Find(benchmark::State& state, const std::vector<std::string>* names, bool expectFound) {
    const ksym::ContextRef context = ksym::AcquireChannelContext(project.channel);
    if (context == nullptr || context->symbolIndex == nullptr) {
        state.SkipWithError("no index");
        return;
    }
    const ksym::SymbolIndex& index = *context->symbolIndex;
    for (const std::string& name : *names) {
        if ((index.Find(name.c_str()) != nullptr) != expectFound) {
            state.SkipWithError("a look-up gave the wrong answer");
            return;
        }
    }
    for (auto _ : state) {
        for (const std::string& name : *names) {
            benchmark::DoNotOptimize(index.Find(name.c_str()));
        }
    }
    // How much of the process the system mapped with large pages: look-ups over a large
    // table depend on it.
    state.counters["hugeMiB"] =
        static_cast<double>(StatusBytes("AnonHugePages", "/proc/self/smaps_rollup") >> 20);
    state.counters["perFind"] =
        benchmark::Counter(static_cast<double>(state.iterations() * names->size()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The console table, then the goals on this run's figures.
class GoalReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            std::string name = run.run_name.function_name;
            if (run.run_type == Run::RT_Aggregate) {
                if (run.aggregate_name != "median") {
                    continue;
                }
                name += "_median";
            }
            seconds_[name] = run.GetAdjustedRealTime() * TimeUnitSeconds(run.time_unit);
            for (const auto& counter : run.counters) {
                counters_[name + ":" + counter.first] = counter.second.value;
            }
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        const std::string n = std::to_string(kSymbols);
        const double read = Seconds("ReadFile/" + n);
        const double load = Seconds("LoadSymbols/" + n);
        std::printf("\nGoals, on this run's figures:\n");
        if (read > 0 && load > 0) {
            Goal("load at most 20 times reading the file", load / read, 20.0, "times");
        }
        const double file = Counter("Memory/" + n + ":fileB/sym");
        const double peak = Counter("Memory/" + n + ":peakB/sym");
        const double after = Counter("Memory/" + n + ":afterB/sym");
        if (file > 0 && after > 0) {
            Goal("resident after the load at most 2.5 times the file, per symbol", after / file,
                 2.5, "times");
            Goal("peak during the load at most 2 times the size after it", peak / after, 2.0,
                 "times");
        }
        for (const char* kind : {"hits", "misses"}) {
            const double perFind = Counter("Find/" + n + "/" + kind + "_median:perFind");
            if (perFind > 0) {
                Goal((std::string("median find, ") + kind + ", at most 150 ns").c_str(),
                     perFind * 1e9, 150.0, "ns");
            }
        }
    }

private:
    static double TimeUnitSeconds(benchmark::TimeUnit unit) {
        switch (unit) {
        case benchmark::kNanosecond:
            return 1e-9;
        case benchmark::kMicrosecond:
            return 1e-6;
        case benchmark::kMillisecond:
            return 1e-3;
        default:
            return 1.0;
        }
    }
    double Seconds(const std::string& name) const {
        const auto found = seconds_.find(name);
        return found == seconds_.end() ? 0.0 : found->second;
    }
    double Counter(const std::string& key) const {
        const auto found = counters_.find(key);
        return found == counters_.end() ? 0.0 : found->second;
    }
    static void Goal(const char* what, double figure, double limit, const char* unit) {
        std::printf("  %-66s %8.2f %-5s %s\n", what, figure, unit, figure <= limit ? "yes" : "NO");
    }

    std::map<std::string, double> seconds_;
    std::map<std::string, double> counters_;
};

// Writes the project file, opens the channel and loads once (the upload); false with a
// message when it cannot.
bool Prepare(const std::string& root) {
    const std::vector<std::string> names = ksymbench::HierarchicalNames(kSymbols);
    const std::string projectFile = root + "/large.sdb";
    {
        const std::vector<uint8_t> image = ksymbench::SdbImageFor(names);
        std::ofstream out(projectFile, std::ios::binary);
        out.write(reinterpret_cast<const char*>(image.data()),
                  static_cast<std::streamsize>(image.size()));
        if (!out) {
            std::fprintf(stderr, "symbol_load_bench: cannot write %s\n", projectFile.c_str());
            return false;
        }
    }
    project.window = CreateWindowExA(0, "STATIC", "bench", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                     nullptr, nullptr);
    const std::string station = "sim:project=" + projectFile;
    project.channel = project.window == nullptr
                          ? -1
                          : KSymOpenChannelEx(station.c_str(), 0, project.window, kNotifyMsg, 512);
    int32_t count = 0;
    if (project.channel == -1 || !Load(count) || static_cast<size_t>(count) != kSymbols) {
        std::fprintf(stderr, "symbol_load_bench: cannot open and load %s (error %d)\n",
                     station.c_str(), static_cast<int>(KClientGetLastError()));
        return false;
    }
    // The one symbol file under the root's folders other than the project itself.
    for (const auto& item : std::filesystem::recursive_directory_iterator(root)) {
        if (item.is_regular_file() && item.path().extension() == ".sdb" &&
            item.path() != projectFile) {
            project.localFile = item.path().string();
            project.fileBytes = item.file_size();
        }
    }
    if (project.localFile.empty()) {
        std::fprintf(stderr, "symbol_load_bench: no local symbol file after the upload\n");
        return false;
    }
    for (size_t pick : ksymbench::RandomPicks(kLookups, names.size())) {
        project.hits.push_back(names[pick]);
        std::string miss = names[pick];
        miss[miss.size() / 2] = miss[miss.size() / 2] == 'Q' ? 'R' : 'Q';
        project.misses.push_back(miss);
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    const ksymbench::LibraryRoot root("symbol_load_bench");
    if (!root.ok()) {
        return 1;
    }
    int status = 1;
    if (Prepare(root.path())) {
        const std::string n = "/" + std::to_string(kSymbols);
        benchmark::RegisterBenchmark(("ReadFile" + n).c_str(), ReadFile)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(20);
        benchmark::RegisterBenchmark(("LoadSymbols" + n).c_str(), LoadSymbols)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(5);
        benchmark::RegisterBenchmark(("Memory" + n).c_str(), Memory)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(1);
        // The look-ups run against the table the run before left loaded.
        benchmark::RegisterBenchmark(("Find" + n + "/hits").c_str(), Find, &project.hits, true)
            ->Repetitions(9)
            ->ReportAggregatesOnly(true)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("Find" + n + "/misses").c_str(), Find, &project.misses, false)
            ->Repetitions(9)
            ->ReportAggregatesOnly(true)
            ->Unit(benchmark::kMicrosecond);
        GoalReporter reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
        status = 0;
    }
    benchmark::Shutdown();
    if (project.channel != -1) {
        KSymCloseChannel(project.channel);
    }
    if (project.window != nullptr) {
        DestroyWindow(project.window);
    }
    return status;
}
