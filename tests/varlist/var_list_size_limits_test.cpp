// Counts and sizes near 2^31 and 2^32 in list definitions: every length is summed without
// wrapping (also where size_t is 32 bits), a telegram never needs more than the client can
// report (2^31 - 1 bytes), and a count that the caller's names do not back costs nothing.
// Each case ends with its error code, never a crash, a short allocation or an over-read.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "var_list_test_support.h"

namespace {

using ksymtest::VarListTest;

class VarListSizeLimitsTest : public VarListTest {
protected:
    // A channel whose symbols have the sizes given, named S0, S1, ..., and an INT "Small".
    int32_t OpenWithSizes(uint32_t blockSize, const std::vector<uint32_t>& sizes) {
        const int32_t channel = Open(blockSize, 0, false);
        formats::SdbProject project;
        project.projectId = 1;
        project.types.push_back({5, 2, "INT", 0, 0, {}, 0});
        project.variables.push_back({"Small", 0, 0, 3, 0});
        for (size_t i = 0; i < sizes.size(); ++i) {
            const std::string name = "S" + std::to_string(i);
            project.types.push_back(
                {formats::kSdbCodeDataBlock, sizes[i], "T" + name, 0, 0, {}, 0});
            project.variables.push_back({name, static_cast<uint32_t>(i + 1), 0, 3, 0});
        }
        std::vector<uint8_t> bytes = formats::WriteSdb(project);
        KMemSerDev device(reinterpret_cast<char*>(bytes.data()), static_cast<long>(bytes.size()),
                          SD_READ);
        ksym::ChannelContext* context = Context(channel);
        EXPECT_EQ(ksym::ReadSdbFile(device, *context), 1);
        EXPECT_TRUE(ksym::BuildSymbolIndex(*context));
        return channel;
    }
};

TEST_F(VarListSizeLimitsTest, SizesNearTheLimitsGiveTheirCodes) {
    struct Case {
        uint32_t size;
        int32_t code;
    };
    // With no block limit a telegram may still be at most 2^31 - 1 bytes: the reply item
    // (s' + 1), the write item (s' + 11) and a whole write telegram (s' + 17) must fit.
    const std::vector<Case> cases = {
        {0x7FFFFFEFu, KSYM_ERR_TOO_BIG_WRITE}, // the write telegram would be 2^31
        {0x7FFFFFF4u, KSYM_ERR_TOO_BIG_WRITE}, // the write item fits, the telegram does not
        {0x7FFFFFF5u, KSYM_ERR_TOO_BIG_WRITE}, // the write item would be 2^31
        {0x7FFFFFFEu, KSYM_ERR_TOO_BIG_WRITE}, // the reply item is exactly 2^31 - 1
        {0x7FFFFFFFu, KSYM_ERR_TOO_BIG_READ},  // the reply item would be 2^31
        {0x80000000u, KSYM_ERR_TOO_BIG_READ},
        {0xFFFFFFF4u, KSYM_ERR_TOO_BIG_READ}, // s' + 11 wraps to 0xFFFFFFFF in 32 bits
        {0xFFFFFFF6u, KSYM_ERR_TOO_BIG_READ}, // s' + 11 wraps to 1 in 32 bits
        {0xFFFFFFFFu, KSYM_ERR_TOO_BIG_READ}, // s' + 1 wraps to 0 in 32 bits
    };
    std::vector<uint32_t> sizes;
    for (const Case& c : cases) {
        sizes.push_back(c.size);
    }
    const uint32_t lists = ksym::LiveVarLists();
    for (const uint32_t block : {0u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFEu, 0xFFFFFFFFu}) {
        const int32_t channel = OpenWithSizes(block, sizes);
        for (size_t i = 0; i < cases.size(); ++i) {
            SCOPED_TRACE(std::to_string(block) + " S" + std::to_string(i));
            const std::string name = "S" + std::to_string(i);
            KClientSetLastError(0);
            EXPECT_EQ(Define(channel, {"Small", name.c_str()}), nullptr);
            EXPECT_EQ(KClientGetLastError(), cases[i].code);
        }
        // Ordinary lists are not affected: one telegram, as without a limit.
        HVARLIST small = Define(channel, {"Small", "%MD0", "%MB3"});
        ASSERT_NE(small, nullptr);
        EXPECT_EQ(List(small)->telegramCount, 1u);
        KSymDeleteVarList(channel, small);
    }
    EXPECT_EQ(ksym::LiveVarLists(), lists);
}

TEST_F(VarListSizeLimitsTest, CountsTheNamesDoNotBackCostNothing) {
    const int32_t channel = Open(0);
    const uint32_t lists = ksym::LiveVarLists();
    const char* unknown[] = {"Nothing"};
    const char* twoThenNull[] = {"Speed", "%MW4", nullptr};
    for (const uint32_t count : {0x20000000u, 0x40000000u, 0x80000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(count);
        // The definition stops at the first name that fails, before it needs room for more.
        KClientSetLastError(0);
        EXPECT_EQ(KSymDefineVarList(channel, unknown, count), nullptr);
        EXPECT_EQ(KClientGetLastError(), KSYM_ERR_NO_SYMBOLS);
        EXPECT_EQ(KSymDefineVarList(channel, twoThenNull, count), nullptr);
        EXPECT_EQ(KClientGetLastError(), KSYM_ERR_NO_SYMBOLS);
        const KSymVarDesc speed{"Speed"};
        const KSymVarDesc* descriptors[] = {&speed, nullptr};
        EXPECT_EQ(KSymDefineVarListByDesc(channel, descriptors, count), nullptr);
        EXPECT_EQ(KClientGetLastError(), KSYM_ERR_NO_SYMBOLS);
        EXPECT_EQ(KSymDefineVarListByDesc(channel, nullptr, count), nullptr);
        EXPECT_EQ(KClientGetLastError(), KSYM_ERR_NO_SYMBOLS);
    }
    EXPECT_EQ(ksym::LiveVarLists(), lists);
}

} // namespace
