#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "extern/kutil.h"

namespace {

// The bytes 1, 2, ... n between guard bytes that must never change.
std::vector<unsigned char> Guarded(size_t n) {
    std::vector<unsigned char> bytes(n + 2, 0xEE);
    for (size_t i = 0; i < n; ++i) {
        bytes[i + 1] = static_cast<unsigned char>(i + 1);
    }
    return bytes;
}

TEST(KUtilSwap, ReversesExactlyTheGivenBytes) {
    for (uint32_t size : {2u, 3u, 4u, 7u, 8u, 16u}) {
        std::vector<unsigned char> bytes = Guarded(size);
        EXPECT_EQ(0, KUtilSwap(1, bytes.data() + 1, size));
        EXPECT_EQ(0xEE, bytes.front()) << size;
        EXPECT_EQ(0xEE, bytes.back()) << size;
        for (uint32_t i = 0; i < size; ++i) {
            EXPECT_EQ(size - i, bytes[i + 1]) << "size " << size << " index " << i;
        }
    }
    // Any nonzero flag swaps, a 32-bit word the way the controller needs it.
    uint32_t word = 0x11223344u;
    EXPECT_EQ(0, KUtilSwap(-5, &word, sizeof word));
    EXPECT_EQ(0x44332211u, word);
}

TEST(KUtilSwap, LeavesBytesAloneWhenNothingToDo) {
    std::vector<unsigned char> bytes = Guarded(8);
    const std::vector<unsigned char> original = bytes;
    EXPECT_EQ(0, KUtilSwap(0, bytes.data() + 1, 8));
    EXPECT_EQ(0, KUtilSwap(1, bytes.data() + 1, 0));
    EXPECT_EQ(0, KUtilSwap(1, bytes.data() + 1, 1));
    EXPECT_EQ(original, bytes);
    EXPECT_EQ(0, KUtilSwap(1, nullptr, 8));
    EXPECT_EQ(0, KUtilSwap(0, nullptr, 0xFFFFFFFFu));
}

TEST(KUtilSwap, LargeBlockTwiceIsUnchanged) {
    std::vector<unsigned char> bytes(1u << 20);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<unsigned char>(i * 7 + i / 256);
    }
    const std::vector<unsigned char> original = bytes;
    const uint32_t size = static_cast<uint32_t>(bytes.size());
    KUtilSwap(1, bytes.data(), size);
    EXPECT_EQ(original[0], bytes[size - 1]);
    EXPECT_EQ(original[size / 2], bytes[size - 1 - size / 2]);
    KUtilSwap(1, bytes.data(), size);
    EXPECT_EQ(original, bytes);
}

} // namespace
