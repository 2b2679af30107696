// Whole regions of virtual memory: zeroed, released whole, and only as VirtualAlloc and
// VirtualFree serve them.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

#include <gtest/gtest.h>

#include "platform/win32.h"

namespace {

// Whether the page at `address` is mapped: mincore fails with ENOMEM for an unmapped one.
bool Mapped(const void* address) {
    unsigned char resident = 0;
    void* page = reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(address) &
                                         ~static_cast<uintptr_t>(sysconf(_SC_PAGESIZE) - 1));
    return mincore(page, 1, &resident) == 0;
}

TEST(VirtualMemory, RegionsAreZeroedUsableAndReleasedWhole) {
    constexpr size_t kSize = 64u * 1024 * 1024;
    auto* region = static_cast<uint8_t*>(
        VirtualAlloc(nullptr, kSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(region, nullptr);
    EXPECT_TRUE(Mapped(region));
    EXPECT_TRUE(Mapped(region + kSize - 1));
    for (size_t at = 0; at < kSize; at += 4096) {
        ASSERT_EQ(region[at], 0) << at;
        region[at] = 0xA5;
    }
    region[kSize - 1] = 1;
    // Only the whole region with size 0 and MEM_RELEASE: other forms fail and keep it.
    EXPECT_EQ(VirtualFree(region, kSize, MEM_RELEASE), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(VirtualFree(region + 4096, 0, MEM_RELEASE), 0);
    EXPECT_EQ(region[4096], 0xA5);
    EXPECT_EQ(VirtualFree(region, 0, MEM_RELEASE), 1);
    EXPECT_FALSE(Mapped(region));
    EXPECT_FALSE(Mapped(region + kSize / 2));
    // Released once: a second release fails rather than unmapping whatever lies there now.
    EXPECT_EQ(VirtualFree(region, 0, MEM_RELEASE), 0);
    EXPECT_EQ(VirtualFree(nullptr, 0, MEM_RELEASE), 0);

    // What is not served: a given address, a size of 0, other types and protections, and
    // more than the address space holds.
    uint8_t local = 0;
    EXPECT_EQ(VirtualAlloc(&local, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE), nullptr);
    EXPECT_EQ(VirtualAlloc(nullptr, 0, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE), nullptr);
    EXPECT_EQ(VirtualAlloc(nullptr, 4096, MEM_RESERVE, PAGE_READWRITE), nullptr);
    EXPECT_EQ(VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, 0x02), nullptr);
    EXPECT_EQ(VirtualAlloc(nullptr, SIZE_MAX - 4095, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
}

} // namespace
