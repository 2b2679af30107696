// The case-insensitive name index of a channel's symbols: an open hash table with separate
// chaining, sized once at construction and never resized.
#ifndef KSYM_SYMBOLS_SYMBOL_INDEX_H
#define KSYM_SYMBOLS_SYMBOL_INDEX_H

#include <cstdint>
#include <vector>

namespace ksym {

// Base of everything the index stores. The order of the virtual operations is fixed: the
// destructor first, then OnInsert.
class SymbolIndexItem {
public:
    SymbolIndexItem() = default;
    SymbolIndexItem(const SymbolIndexItem&) = delete;
    SymbolIndexItem& operator=(const SymbolIndexItem&) = delete;
    virtual ~SymbolIndexItem();
    // Called once when the item has been stored, with the index's own copy of the key.
    virtual void OnInsert(const char* key);
};

// How names are turned into bucket numbers. Both fold the letters a to z to upper case and
// take every other byte as it is, as a signed char.
enum class NameHash {
    // The folded bytes mixed byte by byte (FNV-1a), so that names of similar letters, such
    // as hierarchical names or anagrams, spread over the buckets.
    Mixing,
    // The plain sum of the folded bytes, remainder by the bucket count, absolute value.
    // Kept for comparison: similar names crowd into few buckets.
    ByteSum,
};

class SymbolIndex {
public:
    // A table of `bucketCount` empty buckets (none when it is 0 or less). `ok()` is false
    // when the bucket array could not be allocated.
    explicit SymbolIndex(int32_t bucketCount, NameHash hash = NameHash::Mixing);
    SymbolIndex(const SymbolIndex&) = delete;
    SymbolIndex& operator=(const SymbolIndex&) = delete;
    // Destroys every node, key copy and item, bucket by bucket, chain order.
    ~SymbolIndex();

    bool ok() const { return bucketCount_ == 0 || buckets_ != nullptr; }
    int32_t BucketCount() const { return bucketCount_; }

    // The bucket of `name`, in [0, BucketCount()). The caller makes sure there are buckets.
    int32_t Hash(const char* name) const;
    // Stores `item` under a copy of `name` at the tail of its chain and returns it; null when
    // the name is already present (the caller keeps the item) or memory is short.
    SymbolIndexItem* Insert(const char* name, SymbolIndexItem* item);
    // The item stored under `name`, or null.
    SymbolIndexItem* Find(const char* name) const;

    // The length of every chain, for measurements.
    std::vector<uint32_t> ChainLengths() const;

private:
    struct Node;

    int32_t bucketCount_;
    NameHash hash_;
    Node** buckets_ = nullptr;
};

// The bucket count the loader gives an index of `symbolCount` symbols: one and a half per
// symbol, (count × 3) / 2 rounded down.
int32_t BucketCountFor(int32_t symbolCount);

} // namespace ksym

#endif
