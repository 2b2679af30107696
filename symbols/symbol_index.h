// The case-insensitive name index of a channel's symbols: an open hash table with separate
// chaining, sized once at construction and never resized. Nodes and their key copies come
// from a TableArena, each node with its key right behind it, so that a look-up reads the
// bucket and then one place in memory per node it passes.
#ifndef KSYM_SYMBOLS_SYMBOL_INDEX_H
#define KSYM_SYMBOLS_SYMBOL_INDEX_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace ksym {

class TableArena;

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
    // The folded bytes taken eight at a time and multiplied into the hash, so that names of
    // similar letters, such as hierarchical names or anagrams, spread over the buckets.
    Mixing,
    // The plain sum of the folded bytes, remainder by the bucket count, absolute value.
    // Kept for comparison: similar names crowd into few buckets.
    ByteSum,
};

// What InsertAll stores: `Count()` names, each with its item, taken in order.
class IndexSource {
public:
    virtual size_t Count() const = 0;
    virtual const char* Name(size_t i) const = 0;
    // An item made in the index's Arena() whose destructor does nothing: the index never
    // destroys it.
    virtual SymbolIndexItem* Item(size_t i) = 0;
    // Told once per name: the index's copy of the key, or null when an equal name came
    // before (the item is then not stored).
    virtual void Stored(size_t i, const char* key) = 0;

protected:
    ~IndexSource() = default;
};

class SymbolIndex {
public:
    // A table of `bucketCount` empty buckets (none when it is 0 or less). The bucket array,
    // nodes, key copies and in-place items are taken from `arena`, which must outlive the index;
    // from an arena of the index's own when it is null. `ok()` is false when the bucket array (or
    // the own arena) could not be allocated.
    explicit SymbolIndex(int32_t bucketCount, NameHash hash = NameHash::Mixing,
                         TableArena* arena = nullptr);
    SymbolIndex(const SymbolIndex&) = delete;
    SymbolIndex& operator=(const SymbolIndex&) = delete;
    // Destroys the items given by Insert, bucket by bucket, chain order; the buckets, nodes,
    // key copies and in-place items go with the arena.
    ~SymbolIndex();

    bool ok() const { return ok_; }
    // Where in-place items are made.
    TableArena& Arena() { return *arena_; }
    int32_t BucketCount() const { return bucketCount_; }

    // The bucket of `name`, in [0, BucketCount()). The caller makes sure there are buckets.
    int32_t Hash(const char* name) const;
    // Stores `item` under a copy of `name` at the tail of its chain and returns it; null when
    // the name is already present (the caller keeps the item) or memory is short.
    SymbolIndexItem* Insert(const char* name, SymbolIndexItem* item);
    // Stores every name of an empty index with its item, as Insert would one after the other
    // (the first of equal names is kept; a chain keeps the order of the source), but lays the
    // nodes out bucket by bucket, so that a chain lies in one piece of memory and a look-up
    // reads one place after the bucket. False when the index holds names already, a key is
    // too long or memory is short; the index is then left empty.
    bool InsertAll(IndexSource& source);
    // The item stored under `name`, or null.
    SymbolIndexItem* Find(const char* name) const;

    // The length of every chain, for measurements.
    std::vector<uint32_t> ChainLengths() const;

private:
    struct Node;

    // The full hash of a name, from which the bucket is taken; nodes keep it, so that a walk
    // compares keys only where the hashes agree.
    uint32_t FullHash(const char* name, size_t length) const;
    int32_t BucketOf(uint32_t fullHash) const;
    // The node of a name of `length` bytes; when there is none and `tailLink` is given, the
    // link at the end of the name's chain goes there.
    const Node* FindNode(const char* name, size_t length, uint32_t fullHash,
                         Node*** tailLink) const;
    Node* InsertNode(const char* name, SymbolIndexItem* item, bool owned);
    // A node with its key copy at `memory`, linked at `link`.
    Node* PlaceNode(void* memory, Node** link, const char* name, size_t length, uint32_t fullHash,
                    SymbolIndexItem* item, bool owned);
    // The bytes a node of a key of `length` bytes takes, padded so that the next one is
    // aligned.
    static size_t NodeBytes(size_t length);
    // InsertAll's first pass: the full hash of every name into `hashes`, the bytes of each
    // bucket's nodes into `places`, their sum into `total`; false for a name too long or a
    // sum that would not fit.
    bool MeasureAll(IndexSource& source, uint32_t* hashes, size_t* places, size_t& total) const;
    // InsertAll's last pass: every node in source order at its bucket's next place of
    // `region` (`places` holds each bucket's start and is moved on).
    void PlaceAll(IndexSource& source, const uint32_t* hashes, size_t* places, char* region);

    // Keys are at most this long (a name from a file is at most 65,535 bytes).
    static constexpr size_t kLongestKey = 0x7FFFFFFF;

    int32_t bucketCount_;
    NameHash hash_;
    Node** buckets_ = nullptr;
    std::unique_ptr<TableArena> ownArena_;
    TableArena* arena_;
    bool ok_ = false;
    bool empty_ = true;
    uint32_t ownedItems_ = 0; // items given by Insert, destroyed with the index
};

// The bucket count the loader gives an index of `symbolCount` symbols: one and a half per
// symbol, (count × 3) / 2 rounded down.
int32_t BucketCountFor(int32_t symbolCount);

} // namespace ksym

#endif
