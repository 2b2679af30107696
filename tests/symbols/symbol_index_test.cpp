#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "frame/channel_context.h"
#include "formats/name_compare.h"
#include "symbols/symbol_index.h"
#include "symbols/symbol_ref.h"
#include "symbols/symbol_table.h"

namespace {

using ksym::NameHash;
using ksym::SymbolIndex;
using ksym::SymbolIndexItem;

// Counts its own destructions and remembers the key it was stored under.
struct CountedItem : SymbolIndexItem {
    explicit CountedItem(int* destroyed) : destroyed_(destroyed) {}
    ~CountedItem() override { ++*destroyed_; }
    void OnInsert(const char* key) override {
        storedKey = key;
        ++inserts;
    }
    int* destroyed_;
    const char* storedKey = nullptr;
    int inserts = 0;
};

TEST(SymbolIndexTest, NamesDifferingInLetterCaseAreOneNameAndOtherBytesMatchExactly) {
    for (NameHash hash : {NameHash::Mixing, NameHash::ByteSum}) {
        int destroyed = 0;
        {
            SymbolIndex index(15, hash);
            auto* motor = new CountedItem(&destroyed);
            ASSERT_EQ(index.Insert("MOTOR1", motor), motor);
            EXPECT_EQ(motor->inserts, 1);
            ASSERT_NE(motor->storedKey, nullptr);
            EXPECT_STREQ(motor->storedKey, "MOTOR1");

            CountedItem refused(&destroyed);
            EXPECT_EQ(index.Insert("Motor1", &refused), nullptr);
            EXPECT_EQ(refused.inserts, 0);
            EXPECT_EQ(index.Find("motor1"), motor);
            EXPECT_EQ(index.Find("motor"), nullptr);
            EXPECT_EQ(index.Find("motor12"), nullptr);

            // 0xE4 and 0xC4 are lower and upper case in some code pages, but not here.
            auto* upper = new CountedItem(&destroyed);
            auto* lower = new CountedItem(&destroyed);
            EXPECT_EQ(index.Insert("\xC4rger", upper), upper);
            EXPECT_EQ(index.Insert("\xE4rger", lower), lower);
            EXPECT_EQ(index.Find("\xC4RGER"), upper);
            EXPECT_EQ(index.Find("\xE4rGeR"), lower);
            // Only a to z fold: '[' (0x5B) and '{' (0x7B) differ by the case bit.
            auto* bracket = new CountedItem(&destroyed);
            EXPECT_EQ(index.Insert("a[", bracket), bracket);
            EXPECT_EQ(index.Find("A{"), nullptr);
        }
        // The index destroyed the four it held, the caller its refused one.
        EXPECT_EQ(destroyed, 5);
    }
}

TEST(SymbolIndexTest, BucketsStayInRangeForEveryByteAndTheEdgeSizes) {
    std::string highBytes;
    for (int b = 0x80; b <= 0xFF; ++b) {
        highBytes.push_back(static_cast<char>(b));
    }
    for (NameHash hash : {NameHash::Mixing, NameHash::ByteSum}) {
        for (int32_t buckets : {1, 3, 4, 15, 150000}) {
            SymbolIndex index(buckets, hash);
            EXPECT_EQ(index.Hash(""), 0);
            for (const std::string& name :
                 {highBytes, std::string("\xFF"), std::string("Ab"), std::string(70000, '\x80')}) {
                const int32_t bucket = index.Hash(name.c_str());
                EXPECT_GE(bucket, 0) << buckets;
                EXPECT_LT(bucket, buckets);
            }
        }
    }
    // The plain sum: signed bytes, remainder with the sign of the sum, absolute value.
    SymbolIndex sum(7, NameHash::ByteSum);
    EXPECT_EQ(sum.Hash("\x80"), 128 % 7);        // -128 % 7 = -2
    EXPECT_EQ(sum.Hash("a"), 'A' % 7);           // folded before adding
    EXPECT_EQ(sum.Hash("\xFF\xFF\x41"), 63 % 7); // -1 - 1 + 65
}

TEST(SymbolIndexTest, SingleBucketKeepsInsertionOrderAndEmptyIndexFindsNothing) {
    int destroyed = 0;
    SymbolIndex one(1);
    std::vector<CountedItem*> items;
    for (const char* name : {"b", "a", "c"}) {
        items.push_back(new CountedItem(&destroyed));
        ASSERT_EQ(one.Insert(name, items.back()), items.back());
    }
    EXPECT_EQ(one.ChainLengths(), std::vector<uint32_t>{3});
    EXPECT_EQ(one.Find("A"), items[1]);
    EXPECT_EQ(one.Find("C"), items[2]);

    SymbolIndex none(0);
    EXPECT_EQ(none.BucketCount(), 0);
    EXPECT_EQ(none.Find("a"), nullptr);
    CountedItem item(&destroyed);
    EXPECT_EQ(none.Insert("a", &item), nullptr);
}

// The word-at-a-time folding and comparison agree with the byte rule for every byte value in
// every position of a word, and for names whose only difference lies in a word's tail.
TEST(SymbolIndexTest, WordFoldingAgreesWithTheByteRuleEverywhere) {
    for (int value = 0; value < 256; ++value) {
        for (int position = 0; position < 8; ++position) {
            uint8_t bytes[8] = {'a', 'Z', 0x80, 'm', '{', 0xFF, '@', 'q'};
            bytes[position] = static_cast<uint8_t>(value);
            uint64_t word = 0;
            std::memcpy(&word, bytes, 8);
            const uint64_t folded = formats::FoldNameWord(word);
            uint8_t out[8];
            std::memcpy(out, &folded, 8);
            for (int b = 0; b < 8; ++b) {
                ASSERT_EQ(out[b], formats::FoldNameByte(static_cast<char>(bytes[b])))
                    << value << " at " << position;
            }
        }
    }
    // Names of every length up to 40 that differ in one byte, at every place, by case only
    // (equal) or by another byte (different), in the index too.
    SymbolIndex index(97);
    std::vector<std::string> stored;
    for (size_t length = 1; length <= 40; ++length) {
        std::string name;
        for (size_t i = 0; i < length; ++i) {
            name.push_back(static_cast<char>("abcXYZ.\xE4_9"[i % 10]));
        }
        stored.push_back(name);
        ASSERT_NE(index.Insert(name.c_str(), new SymbolIndexItem), nullptr);
    }
    for (const std::string& name : stored) {
        for (size_t at = 0; at < name.size(); ++at) {
            std::string other = name;
            const char c = other[at];
            other[at] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
            EXPECT_TRUE(formats::NameBytesEqual(name.c_str(), other.c_str(), name.size()));
            EXPECT_NE(index.Find(other.c_str()), nullptr) << other;
            other[at] = static_cast<char>(c ^ 0x01);
            EXPECT_FALSE(formats::NameBytesEqual(name.c_str(), other.c_str(), name.size()));
            EXPECT_EQ(index.Find(other.c_str()), nullptr) << other;
        }
        // An extension of a stored name is not found.
        EXPECT_EQ(index.Find((name + "#").c_str()), nullptr);
    }
}

TEST(SymbolIndexTest, BucketCountIsOneAndAHalfPerSymbolRoundedDown) {
    EXPECT_EQ(ksym::BucketCountFor(0), 0);
    EXPECT_EQ(ksym::BucketCountFor(1), 1);
    EXPECT_EQ(ksym::BucketCountFor(2), 3);
    EXPECT_EQ(ksym::BucketCountFor(3), 4);
    EXPECT_EQ(ksym::BucketCountFor(10), 15);
    EXPECT_EQ(ksym::BucketCountFor(100000), 150000);
    // Beyond what a 32-bit product holds the count stays positive.
    EXPECT_EQ(ksym::BucketCountFor(INT32_MAX), INT32_MAX);
}

TEST(SymbolIndexTest, AnagramsSpreadUnderTheMixingHashButCrowdUnderThePlainSum) {
    std::string letters = "ABCDEFGH";
    std::vector<std::string> names;
    do {
        names.push_back(letters);
    } while (std::next_permutation(letters.begin(), letters.end()) && names.size() < 5000);
    auto longest = [&](NameHash hash) {
        SymbolIndex index(ksym::BucketCountFor(static_cast<int32_t>(names.size())), hash);
        for (const std::string& name : names) {
            EXPECT_NE(index.Insert(name.c_str(), new SymbolIndexItem), nullptr);
        }
        const std::vector<uint32_t> lengths = index.ChainLengths();
        return *std::max_element(lengths.begin(), lengths.end());
    };
    EXPECT_EQ(longest(NameHash::ByteSum), names.size());
    EXPECT_LE(longest(NameHash::Mixing), 12u);
}

TEST(SymbolTableTest, PrefixFilterKeepsFileOrderAndFoldsCase) {
    ksym::ChannelContext context;
    char names[][8] = {"AB_1", "a", "abc", "xab", "Ab"};
    SymbolEntry entries[5] = {};
    for (int i = 0; i < 5; ++i) {
        entries[i].name = names[i];
    }
    SymbolEntry* filtered[5] = {};
    context.symbols = entries;
    context.symbolCount = 5;
    context.filtered = filtered;

    ksym::FilterSymbols(context, "ab");
    ASSERT_EQ(context.filteredCount, 3);
    EXPECT_EQ(filtered[0], &entries[0]);
    EXPECT_EQ(filtered[1], &entries[2]);
    EXPECT_EQ(filtered[2], &entries[4]);

    ksym::FilterSymbols(context, nullptr);
    EXPECT_EQ(context.filteredCount, 5);
    ksym::FilterSymbols(context, "abcd");
    EXPECT_EQ(context.filteredCount, 0);

    context.symbols = nullptr;
    context.symbolCount = 0;
    context.filtered = nullptr;
}

} // namespace
