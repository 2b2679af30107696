// The symbol names the index benchmark measures, made deterministically so that every run
// and every machine measures the same tables.
#ifndef KSYM_BENCH_SYMBOL_SETS_H
#define KSYM_BENCH_SYMBOL_SETS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ksymbench {

// A plant's variables, in the order a controller program lists them:
// "Line<l>.Station<s>.<Device><d>.<Signal>" with 10 signals per device, 10 devices per
// station and 25 stations per line; as many lines as `count` needs (the last may be partial).
std::vector<std::string> HierarchicalNames(size_t count);

// `count` distinct permutations of the 10 letters "ABCDEFGHIJ" in a fixed pseudo-random
// order: names with one and the same byte sum. At most 10! names.
std::vector<std::string> AnagramNames(size_t count);

// An SDB image with one variable per name, in order, of a few plain types.
std::vector<uint8_t> SdbImageFor(const std::vector<std::string>& names);

// `count` indexes into [0, size), chosen pseudo-randomly with a fixed seed.
std::vector<size_t> RandomPicks(size_t count, size_t size);

} // namespace ksymbench

#endif
