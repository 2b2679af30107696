// The benchmark's console output, followed by how much slower the byte-sum hash is than
// the mixing hash for every pair of runs that differ only in the hash.
#ifndef KSYM_BENCH_RATIO_REPORTER_H
#define KSYM_BENCH_RATIO_REPORTER_H

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace ksymbench {

// Pairs runs by name: ".../ByteSum/..." with the same name holding "Mixing".
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter();
    void ReportRuns(const std::vector<Run>& runs) override;
    void Finalize() override;

private:
    struct Figures {
        double realTime = 0; // per iteration, in the run's time unit
        double longestChain = 0;
        double keyChain = 0;
    };
    std::vector<std::string> order_; // byte-sum runs in the order they ran
    std::map<std::string, Figures> figures_;
};

} // namespace ksymbench

#endif
