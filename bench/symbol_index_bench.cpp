// What reading and indexing a channel's symbols costs, for 10,000 to 1,000,000 hierarchical
// names and for 100,000 anagrams, and how the two name hashes compare. Each set is made
// into an SDB image once; then, per set:
//   ReadBytes      the image's bytes copied out of a memory device in 4 KB pieces: the cost
//                  of getting at the bytes alone, without parsing
//   ReadSdbFile    the reader on the same kind of device, making the channel's entries
//   BuildIndex     a SymbolIndex of BucketCountFor(n) buckets built as the loader builds it
//                  (InsertAll, one SymbolRef per entry, all in the index's arena)
//   Find10000      10,000 look-ups of names picked at random among the set's (copies, as
//                  a caller would pass them, not the table's own texts)
// The index runs carry the longest chain and the average length of the chain a key lies in
// (the sum of squared chain lengths over the key count) as counters.
// The sets, and the index each BuildIndex run made last, are kept for the whole run.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "bench/ratio_reporter.h"
#include "bench/symbol_sets.h"
#include "extern/kutil.h"
#include "frame/channel_context.h"
#include "symbols/sdb_reader.h"
#include "symbols/symbol_index.h"
#include "symbols/symbol_ref.h"
#include "symbols/symbol_table.h"
#include "symbols/table_arena.h"

namespace {

constexpr long kPieceSize = 4096;
constexpr size_t kLookups = 10000;

// A memory device over the image; it only reads, but the device takes a non-const pointer.
KMemSerDev DeviceOver(std::vector<uint8_t>& image) {
    return KMemSerDev(reinterpret_cast<char*>(image.data()), static_cast<long>(image.size()),
                      SD_READ);
}

// One set of names, its image, the table read from it (the entries the index runs insert)
// and the names the look-ups ask for.
struct SymbolSet {
    explicit SymbolSet(const std::vector<std::string>& names)
        : image(ksymbench::SdbImageFor(names)) {
        KMemSerDev device = DeviceOver(image);
        if (ksym::ReadSdbFile(device, table) != 1) {
            std::abort();
        }
        for (size_t pick : ksymbench::RandomPicks(kLookups, names.size())) {
            lookups.push_back(names[pick]);
        }
    }
    SymbolSet(const SymbolSet&) = delete;
    SymbolSet& operator=(const SymbolSet&) = delete;
    ~SymbolSet() { ksym::ClearSymbolTable(table); }

    std::vector<uint8_t> image;
    ksym::ChannelContext table;
    std::vector<std::string> lookups; // copies, as a caller would pass them
};

enum class Family { Hierarchical, Anagrams };

const char* FamilyName(Family family) {
    return family == Family::Hierarchical ? "hierarchical" : "anagrams";
}

const char* HashName(ksym::NameHash hash) {
    return hash == ksym::NameHash::ByteSum ? "ByteSum" : "Mixing";
}

// Sets are made on first use and kept for the whole run: a 1,000,000-name set takes
// seconds to make and is shared by every benchmark of its size.
SymbolSet& Set(Family family, size_t count) {
    static std::map<std::pair<Family, size_t>, std::unique_ptr<SymbolSet>> sets;
    std::unique_ptr<SymbolSet>& set = sets[{family, count}];
    if (set == nullptr) {
        set = std::make_unique<SymbolSet>(family == Family::Hierarchical
                                              ? ksymbench::HierarchicalNames(count)
                                              : ksymbench::AnagramNames(count));
    }
    return *set;
}

// The entries of a set as the loader hands them to the index: one SymbolRef each in the
// index's arena; the entries' names are left as they are (the set is shared by every run).
class SetSource final : public ksym::IndexSource {
public:
    SetSource(ksym::ChannelContext& table, ksym::SymbolRef* refs) : table_(table), refs_(refs) {}
    size_t Count() const override { return static_cast<size_t>(table_.symbolCount); }
    const char* Name(size_t i) const override { return table_.symbols[i].name; }
    ksym::SymbolIndexItem* Item(size_t i) override {
        return new (&refs_[i]) ksym::SymbolRef(&table_.symbols[i], table_.elementSizes[i]);
    }
    void Stored(size_t /*i*/, const char* /*key*/) override {}

private:
    ksym::ChannelContext& table_;
    ksym::SymbolRef* refs_;
};

// An index as the loader builds it (all names at once, nodes laid out bucket by bucket),
// with its own arena.
struct BuiltIndex {
    ksym::TableArena arena;
    std::unique_ptr<ksym::SymbolIndex> index;
};

std::unique_ptr<BuiltIndex> BuildIndex(ksym::ChannelContext& table, ksym::NameHash hash) {
    auto built = std::make_unique<BuiltIndex>();
    built->index = std::make_unique<ksym::SymbolIndex>(ksym::BucketCountFor(table.symbolCount),
                                                       hash, &built->arena);
    void* refs = built->arena.Allocate(
        static_cast<size_t>(table.symbolCount) * sizeof(ksym::SymbolRef), alignof(ksym::SymbolRef));
    SetSource source(table, static_cast<ksym::SymbolRef*>(refs));
    if (refs == nullptr || !built->index->InsertAll(source)) {
        std::abort();
    }
    return built;
}

// The index of each set and hash that the look-ups run against: the one the last BuildIndex
// run made, or one built on first use. Building a byte-sum index of 1,000,000 names takes
// minutes, so it is built once for both.
std::unique_ptr<BuiltIndex>& KeptIndex(SymbolSet& set, ksym::NameHash hash) {
    static std::map<std::pair<SymbolSet*, ksym::NameHash>, std::unique_ptr<BuiltIndex>> indexes;
    return indexes[{&set, hash}];
}

void SetChainCounters(benchmark::State& state, const ksym::SymbolIndex& index) {
    uint64_t longest = 0;
    uint64_t keys = 0;
    uint64_t squares = 0;
    for (uint32_t length : index.ChainLengths()) {
        longest = length > longest ? length : longest;
        keys += length;
        squares += static_cast<uint64_t>(length) * length;
    }
    state.counters["longestChain"] = static_cast<double>(longest);
    state.counters["keyChain"] =
        keys == 0 ? 0.0 : static_cast<double>(squares) / static_cast<double>(keys);
}

void ReadBytes(benchmark::State& state, Family family, size_t count) {
    SymbolSet& set = Set(family, count);
    std::vector<char> copy(set.image.size());
    for (auto _ : state) {
        KMemSerDev device = DeviceOver(set.image);
        char* to = copy.data();
        long got = 0;
        while ((got = device.GetBlock(to, kPieceSize)) > 0) {
            to += got;
        }
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * set.image.size()));
}

void ReadSdbFile(benchmark::State& state, Family family, size_t count) {
    SymbolSet& set = Set(family, count);
    for (auto _ : state) {
        KMemSerDev device = DeviceOver(set.image);
        ksym::ChannelContext context;
        if (ksym::ReadSdbFile(device, context) != 1) {
            state.SkipWithError("the image was refused");
            break;
        }
        state.PauseTiming(); // releasing the table is not part of reading it
        ksym::ClearSymbolTable(context);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * set.image.size()));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * count));
}

void BuildIndexRun(benchmark::State& state, Family family, size_t count, ksym::NameHash hash) {
    SymbolSet& set = Set(family, count);
    for (auto _ : state) {
        std::unique_ptr<BuiltIndex> index = BuildIndex(set.table, hash);
        state.PauseTiming(); // neither are the counters nor the release of the one before
        SetChainCounters(state, *index->index);
        KeptIndex(set, hash) = std::move(index);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * count));
}

void FindRun(benchmark::State& state, Family family, size_t count, ksym::NameHash hash) {
    SymbolSet& set = Set(family, count);
    std::unique_ptr<BuiltIndex>& kept = KeptIndex(set, hash);
    if (kept == nullptr) {
        kept = BuildIndex(set.table, hash);
    }
    const ksym::SymbolIndex& index = *kept->index;
    for (auto _ : state) {
        for (const std::string& name : set.lookups) {
            benchmark::DoNotOptimize(index.Find(name.c_str()));
        }
    }
    SetChainCounters(state, index);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * set.lookups.size()));
}

void Register(Family family, size_t count) {
    const std::string suffix = std::string("/") + FamilyName(family) + "/" + std::to_string(count);
    // The largest tables run a fixed few times, so that the whole run stays in minutes.
    const bool large = count >= 1000000;
    auto shape = [large](benchmark::internal::Benchmark* b, int largeIterations) {
        b->Unit(benchmark::kMicrosecond);
        if (large) {
            b->Iterations(largeIterations);
        }
    };
    shape(benchmark::RegisterBenchmark(("ReadBytes" + suffix).c_str(), ReadBytes, family, count),
          20);
    shape(
        benchmark::RegisterBenchmark(("ReadSdbFile" + suffix).c_str(), ReadSdbFile, family, count),
        3);
    for (ksym::NameHash hash : {ksym::NameHash::ByteSum, ksym::NameHash::Mixing}) {
        const std::string hashed = std::string("/") + HashName(hash) + suffix;
        benchmark::internal::Benchmark* build = benchmark::RegisterBenchmark(
            ("BuildIndex" + hashed).c_str(), BuildIndexRun, family, count, hash);
        shape(build, 3);
        // Byte sums of similar names crowd into few buckets, so every insert walks a long
        // chain (with the anagrams, one chain of all of them): one build has to do.
        if (hash == ksym::NameHash::ByteSum && (large || family == Family::Anagrams)) {
            build->Iterations(1);
        }
        shape(benchmark::RegisterBenchmark(("Find10000" + hashed).c_str(), FindRun, family, count,
                                           hash),
              5);
    }
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    for (size_t count : {10000u, 100000u, 1000000u}) {
        Register(Family::Hierarchical, count);
    }
    Register(Family::Anagrams, 100000);
    ksymbench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
