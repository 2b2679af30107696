#include "bench/ratio_reporter.h"

#include <cstdio>

namespace ksymbench {

namespace {

constexpr char kByteSum[] = "/ByteSum/";
constexpr char kMixing[] = "/Mixing/";

double CounterOr0(const benchmark::BenchmarkReporter::Run& run, const char* name) {
    const auto found = run.counters.find(name);
    return found == run.counters.end() ? 0.0 : found->second.value;
}

} // namespace

RatioReporter::RatioReporter() : ConsoleReporter(OO_Tabular) {}

void RatioReporter::ReportRuns(const std::vector<Run>& runs) {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
        if (run.error_occurred || run.run_type != Run::RT_Iteration) {
            continue;
        }
        // The registered name: a fixed iteration count must not keep a pair apart.
        const std::string name = run.run_name.function_name;
        figures_[name] = Figures{run.GetAdjustedRealTime(), CounterOr0(run, "longestChain"),
                                 CounterOr0(run, "keyChain")};
        if (name.find(kByteSum) != std::string::npos) {
            order_.push_back(name);
        }
    }
}

void RatioReporter::Finalize() {
    std::FILE* out = stdout;
    std::fprintf(out, "\nByteSum / Mixing%-40s %10s %14s %12s\n", "", "time", "longest chain",
                 "key chain");
    for (const std::string& name : order_) {
        std::string partner = name;
        partner.replace(partner.find(kByteSum), sizeof kByteSum - 1, kMixing);
        const auto found = figures_.find(partner);
        if (found == figures_.end()) {
            continue;
        }
        const Figures& byteSum = figures_[name];
        const Figures& mixing = found->second;
        const auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
        std::fprintf(out, "%-56s %9.1fx %13.1fx %11.1fx\n", name.c_str(),
                     ratio(byteSum.realTime, mixing.realTime),
                     ratio(byteSum.longestChain, mixing.longestChain),
                     ratio(byteSum.keyChain, mixing.keyChain));
    }
    std::fflush(out);
    ConsoleReporter::Finalize();
}

} // namespace ksymbench
