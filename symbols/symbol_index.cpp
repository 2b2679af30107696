#include "symbols/symbol_index.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

#include "symbols/memory_block.h"
#include "formats/name_compare.h"
#include "symbols/table_arena.h"

namespace ksym {

struct SymbolIndex::Node {
    Node* next;
    SymbolIndexItem* item;
    uint32_t fullHash;
    // The key's length, and in the top bit whether the item was given by Insert and is
    // destroyed with the index.
    uint32_t lengthAndOwned;

    static constexpr uint32_t kOwned = 0x80000000u;
    uint32_t Length() const { return lengthAndOwned & ~kOwned; }
    bool Owned() const { return (lengthAndOwned & kOwned) != 0; }
    // The key copy follows the node, zero-terminated.
    char* Key() { return reinterpret_cast<char*>(this + 1); }
    const char* Key() const { return reinterpret_cast<const char*>(this + 1); }
};

namespace {

// The folded byte as the signed char value it is hashed as.
int32_t SignedFolded(char c) {
    return static_cast<int32_t>(static_cast<signed char>(formats::FoldNameByte(c)));
}

// The sum wraps like a 32-bit register; unsigned arithmetic keeps that well defined.
uint32_t ByteSum(const char* name, size_t length) {
    uint32_t sum = 0;
    for (size_t i = 0; i < length; ++i) {
        sum += static_cast<uint32_t>(SignedFolded(name[i]));
    }
    return sum;
}

uint64_t MixWord(uint64_t hash, uint64_t word) {
    hash = (hash ^ word) * 0x9E3779B97F4A7C15u;
    return hash ^ (hash >> 29);
}

// The folded bytes taken eight at a time, each word multiplied into the hash, so that names
// of similar letters, such as hierarchical names or anagrams, spread over the buckets; a
// name of eight bytes or more ends with the word that ends at its last byte. 0 for the empty
// name, which lies in bucket 0 as with the plain sum.
uint32_t Mixing(const char* name, size_t length) {
    if (length == 0) {
        return 0;
    }
    uint64_t hash = 0xC2B2AE3D27D4EB4Fu ^ length;
    if (length < 8) {
        hash = MixWord(hash, formats::FoldNameWord(formats::LoadNameWord(name, length)));
    } else {
        size_t at = 0;
        for (; length - at >= 8; at += 8) {
            hash = MixWord(hash, formats::FoldNameWord(formats::LoadNameWord(name + at, 8)));
        }
        if (at < length) {
            hash =
                MixWord(hash, formats::FoldNameWord(formats::LoadNameWord(name + length - 8, 8)));
        }
    }
    hash *= 0xFF51AFD7ED558CCDu;
    return static_cast<uint32_t>(hash ^ (hash >> 32));
}

} // namespace

SymbolIndexItem::~SymbolIndexItem() = default;

void SymbolIndexItem::OnInsert(const char* /*key*/) {}

SymbolIndex::SymbolIndex(int32_t bucketCount, NameHash hash, TableArena* arena)
    : bucketCount_(bucketCount > 0 ? bucketCount : 0), hash_(hash), arena_(arena) {
    if (arena_ == nullptr) {
        ownArena_.reset(new (std::nothrow) TableArena);
        arena_ = ownArena_.get();
    }
    if (bucketCount_ > 0 && arena_ != nullptr) {
        const auto count = static_cast<size_t>(bucketCount_);
        void* memory = count > SIZE_MAX / sizeof(Node*)
                           ? nullptr
                           : arena_->Allocate(count * sizeof(Node*), alignof(Node*));
        if (memory != nullptr) {
            buckets_ = static_cast<Node**>(memory);
            std::fill(buckets_, buckets_ + count, nullptr);
        }
    }
    ok_ = arena_ != nullptr && (bucketCount_ == 0 || buckets_ != nullptr);
    if (buckets_ == nullptr) {
        bucketCount_ = 0;
    }
}

SymbolIndex::~SymbolIndex() {
    if (buckets_ == nullptr) {
        return;
    }
    // Only items given by Insert need a walk; a table of in-place items is released without
    // touching its nodes.
    for (int32_t b = 0; b < bucketCount_ && ownedItems_ != 0; ++b) {
        for (Node* node = buckets_[b]; node != nullptr; node = node->next) {
            if (node->Owned()) {
                delete node->item;
                --ownedItems_;
            }
        }
    }
}

uint32_t SymbolIndex::FullHash(const char* name, size_t length) const {
    return hash_ == NameHash::ByteSum ? ByteSum(name, length) : Mixing(name, length);
}

int32_t SymbolIndex::BucketOf(uint32_t fullHash) const {
    if (hash_ == NameHash::ByteSum) {
        // The remainder by truncating signed division, then its absolute value.
        const int32_t remainder = static_cast<int32_t>(fullHash) % bucketCount_;
        return remainder < 0 ? -remainder : remainder;
    }
    // The hash scaled to the bucket count (its high bits choose): a multiplication instead
    // of a division.
    return static_cast<int32_t>(
        (static_cast<uint64_t>(fullHash) * static_cast<uint32_t>(bucketCount_)) >> 32);
}

int32_t SymbolIndex::Hash(const char* name) const {
    return BucketOf(FullHash(name, std::strlen(name)));
}

const SymbolIndex::Node* SymbolIndex::FindNode(const char* name, size_t length, uint32_t fullHash,
                                               Node*** tailLink) const {
    Node** link = &buckets_[BucketOf(fullHash)];
    for (; *link != nullptr; link = &(*link)->next) {
        const Node* node = *link;
        if (node->fullHash == fullHash && node->Length() == length &&
            formats::NameBytesEqual(node->Key(), name, length)) {
            return node;
        }
    }
    if (tailLink != nullptr) {
        *tailLink = link;
    }
    return nullptr;
}

size_t SymbolIndex::NodeBytes(size_t length) {
    const size_t bytes = sizeof(Node) + length + 1;
    return (bytes + alignof(Node) - 1) & ~(alignof(Node) - 1);
}

SymbolIndex::Node* SymbolIndex::PlaceNode(void* memory, Node** link, const char* name,
                                          size_t length, uint32_t fullHash, SymbolIndexItem* item,
                                          bool owned) {
    const uint32_t ownedBit = owned && item != nullptr ? Node::kOwned : 0u;
    Node* node =
        new (memory) Node{nullptr, item, fullHash, static_cast<uint32_t>(length) | ownedBit};
    std::memcpy(node->Key(), name, length);
    node->Key()[length] = '\0';
    *link = node;
    empty_ = false;
    if (node->Owned()) {
        ++ownedItems_;
    }
    if (item != nullptr) {
        item->OnInsert(node->Key());
    }
    return node;
}

SymbolIndex::Node* SymbolIndex::InsertNode(const char* name, SymbolIndexItem* item, bool owned) {
    if (bucketCount_ == 0 || buckets_ == nullptr) {
        return nullptr;
    }
    const size_t length = std::strlen(name);
    if (length >= kLongestKey) {
        return nullptr;
    }
    const uint32_t fullHash = FullHash(name, length);
    Node** link = nullptr;
    if (FindNode(name, length, fullHash, &link) != nullptr) {
        return nullptr;
    }
    void* memory = arena_->Allocate(NodeBytes(length), alignof(Node));
    if (memory == nullptr) {
        return nullptr;
    }
    return PlaceNode(memory, link, name, length, fullHash, item, owned);
}

SymbolIndexItem* SymbolIndex::Insert(const char* name, SymbolIndexItem* item) {
    return InsertNode(name, item, true) != nullptr ? item : nullptr;
}

bool SymbolIndex::InsertAll(IndexSource& source) {
    const size_t count = source.Count();
    if (!empty_ || (count != 0 && (bucketCount_ == 0 || buckets_ == nullptr))) {
        return false;
    }
    const auto buckets = static_cast<size_t>(bucketCount_);
    // First the full hash of every name and the bytes of every bucket's nodes, then the
    // start of each bucket's piece of one region, then the nodes in source order, each
    // at its bucket's next place. Equal names meet in one bucket and are refused there;
    // their bytes stay unused.
    ScratchArray<uint32_t> hashes(count);
    ScratchArray<size_t> places(buckets);
    size_t total = 0;
    if (!hashes.ok() || !places.ok() || !MeasureAll(source, hashes.data(), places.data(), total)) {
        return false;
    }
    auto* region = static_cast<char*>(arena_->Allocate(total == 0 ? 1 : total, alignof(Node)));
    if (region == nullptr) {
        return false;
    }
    size_t start = 0;
    for (size_t b = 0; b < buckets; ++b) {
        const size_t bytes = places[b];
        places[b] = start;
        start += bytes;
    }
    PlaceAll(source, hashes.data(), places.data(), region);
    return true;
}

bool SymbolIndex::MeasureAll(IndexSource& source, uint32_t* hashes, size_t* places,
                             size_t& total) const {
    const size_t count = source.Count();
    for (size_t i = 0; i < count; ++i) {
        const char* name = source.Name(i);
        const size_t length = std::strlen(name);
        if (length >= kLongestKey) {
            return false;
        }
        hashes[i] = FullHash(name, length);
        const size_t bytes = NodeBytes(length);
        if (bytes > SIZE_MAX / 2 - total) {
            return false;
        }
        total += bytes;
        places[BucketOf(hashes[i])] += bytes;
    }
    return true;
}

void SymbolIndex::PlaceAll(IndexSource& source, const uint32_t* hashes, size_t* places,
                           char* region) {
    // The buckets and places of the names a few steps ahead are fetched while this one is
    // placed: each name touches three random places of memory, and waiting for them one
    // after the other would make the pass several times slower.
    constexpr size_t kBucketsAhead = 16;
    constexpr size_t kPlacesAhead = 8;
    const size_t count = source.Count();
    for (size_t i = 0; i < count; ++i) {
        if (count - i > kBucketsAhead) {
            const auto ahead = static_cast<size_t>(BucketOf(hashes[i + kBucketsAhead]));
            PrefetchForRead(&buckets_[ahead]);
            PrefetchForRead(&places[ahead]);
        }
        if (count - i > kPlacesAhead) {
            PrefetchForWrite(region +
                             places[static_cast<size_t>(BucketOf(hashes[i + kPlacesAhead]))]);
        }
        const char* name = source.Name(i);
        const size_t length = std::strlen(name);
        // The name's bytes in its bucket's piece are taken whether it is stored or refused.
        size_t& place = places[static_cast<size_t>(BucketOf(hashes[i]))];
        char* memory = region + place;
        place += NodeBytes(length);
        Node** link = nullptr;
        if (FindNode(name, length, hashes[i], &link) != nullptr) {
            source.Stored(i, nullptr);
            continue;
        }
        Node* node = PlaceNode(memory, link, name, length, hashes[i], source.Item(i), false);
        source.Stored(i, node->Key());
    }
}

SymbolIndexItem* SymbolIndex::Find(const char* name) const {
    if (bucketCount_ == 0 || buckets_ == nullptr) {
        return nullptr;
    }
    const size_t length = std::strlen(name);
    const Node* node = FindNode(name, length, FullHash(name, length), nullptr);
    return node != nullptr ? node->item : nullptr;
}

std::vector<uint32_t> SymbolIndex::ChainLengths() const {
    std::vector<uint32_t> lengths(static_cast<size_t>(bucketCount_), 0);
    for (int32_t b = 0; b < bucketCount_; ++b) {
        for (const Node* node = buckets_[b]; node != nullptr; node = node->next) {
            ++lengths[static_cast<size_t>(b)];
        }
    }
    return lengths;
}

int32_t BucketCountFor(int32_t symbolCount) {
    if (symbolCount <= 0) {
        return 0;
    }
    // Computed wide: a 32-bit product would wrap for counts above 1,431,655,765.
    const uint64_t buckets = (static_cast<uint64_t>(symbolCount) * 3u) >> 1;
    return buckets > INT32_MAX ? INT32_MAX : static_cast<int32_t>(buckets);
}

} // namespace ksym
