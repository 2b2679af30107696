#include "symbols/symbol_index.h"

#include <cstring>
#include <new>

#include "symbols/name_compare.h"

namespace ksym {

struct SymbolIndex::Node {
    char* key;
    SymbolIndexItem* item; // owned
    Node* next;
};

namespace {

// The folded byte as the signed char value it is hashed as.
int32_t SignedFolded(char c) {
    return static_cast<int32_t>(static_cast<signed char>(FoldNameByte(c)));
}

int32_t ByteSumBucket(const char* name, int32_t bucketCount) {
    // The sum wraps like a 32-bit register; unsigned arithmetic keeps that well defined.
    uint32_t sum = 0;
    for (const char* p = name; *p != '\0'; ++p) {
        sum += static_cast<uint32_t>(SignedFolded(*p));
    }
    const int32_t remainder = static_cast<int32_t>(sum) % bucketCount;
    return remainder < 0 ? -remainder : remainder;
}

int32_t MixingBucket(const char* name, int32_t bucketCount) {
    constexpr uint32_t kOffsetBasis = 2166136261u;
    constexpr uint32_t kPrime = 16777619u;
    if (*name == '\0') {
        return 0; // as with the plain sum
    }
    uint32_t hash = kOffsetBasis;
    for (const char* p = name; *p != '\0'; ++p) {
        hash ^= static_cast<uint32_t>(SignedFolded(*p)) & 0xFFu;
        hash *= kPrime;
    }
    return static_cast<int32_t>(hash % static_cast<uint32_t>(bucketCount));
}

} // namespace

SymbolIndexItem::~SymbolIndexItem() = default;

void SymbolIndexItem::OnInsert(const char* /*key*/) {}

SymbolIndex::SymbolIndex(int32_t bucketCount, NameHash hash)
    : bucketCount_(bucketCount > 0 ? bucketCount : 0), hash_(hash) {
    if (bucketCount_ > 0) {
        buckets_ = new (std::nothrow) Node*[static_cast<size_t>(bucketCount_)]();
        if (buckets_ == nullptr) {
            bucketCount_ = 0;
        }
    }
}

SymbolIndex::~SymbolIndex() {
    if (buckets_ == nullptr) {
        return;
    }
    for (int32_t b = 0; b < bucketCount_; ++b) {
        Node* node = buckets_[b];
        while (node != nullptr) {
            Node* next = node->next;
            delete[] node->key;
            delete node->item;
            delete node;
            node = next;
        }
    }
    delete[] buckets_;
}

int32_t SymbolIndex::Hash(const char* name) const {
    return hash_ == NameHash::ByteSum ? ByteSumBucket(name, bucketCount_)
                                      : MixingBucket(name, bucketCount_);
}

SymbolIndexItem* SymbolIndex::Insert(const char* name, SymbolIndexItem* item) {
    if (bucketCount_ == 0 || buckets_ == nullptr) {
        return nullptr;
    }
    Node** link = &buckets_[Hash(name)];
    for (; *link != nullptr; link = &(*link)->next) {
        if (NamesEqual((*link)->key, name)) {
            return nullptr;
        }
    }
    const size_t length = std::strlen(name);
    char* key = new (std::nothrow) char[length + 1];
    Node* node = key == nullptr ? nullptr : new (std::nothrow) Node{key, item, nullptr};
    if (node == nullptr) {
        delete[] key;
        return nullptr;
    }
    std::memcpy(key, name, length + 1);
    *link = node;
    if (item != nullptr) {
        item->OnInsert(node->key);
    }
    return item;
}

SymbolIndexItem* SymbolIndex::Find(const char* name) const {
    if (bucketCount_ == 0 || buckets_ == nullptr) {
        return nullptr;
    }
    for (const Node* node = buckets_[Hash(name)]; node != nullptr; node = node->next) {
        if (NamesEqual(node->key, name)) {
            return node->item;
        }
    }
    return nullptr;
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
