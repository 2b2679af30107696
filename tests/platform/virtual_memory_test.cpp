// Whole regions of virtual memory: zeroed, released whole, and only as VirtualAlloc and
// VirtualFree serve them.
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/win32.h"

namespace {

// The address space the process has mapped, in kB.
long MappedKilobytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 7, "VmSize:") == 0) {
            return std::stol(line.substr(7));
        }
    }
    return -1;
}

TEST(VirtualMemory, RegionsAreZeroedUsableAndReleasedWhole) {
    constexpr size_t kSize = 64u * 1024 * 1024;
    const long before = MappedKilobytes();
    auto* region = static_cast<uint8_t*>(
        VirtualAlloc(nullptr, kSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(region, nullptr);
    EXPECT_GE(MappedKilobytes() - before, static_cast<long>(kSize / 1024));
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
    EXPECT_LT(MappedKilobytes() - before, static_cast<long>(kSize / 1024));
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
