#include <gtest/gtest.h>

#include <cstring>

#include "frame/channel_table.h"
#include "frame/module_settings.h"
#include "frame/project_info.h"
#include "include/ksymbol.h"

namespace {

using ksym::ChannelContext;

class ChannelTableTest : public ::testing::Test {
protected:
    void SetUp() override { ksym::DeleteAllChannelContexts(); }
    void TearDown() override { ksym::DeleteAllChannelContexts(); }
};

TEST_F(ChannelTableTest, VersionWordIsComposedFromItsComponents) {
    EXPECT_EQ(KSymVersion(), 0x0100000Bu);
    const char* const other[4] = {"2", "300", "0", "7"}; // 300 keeps its low byte only
    EXPECT_EQ(ksym::ComposeVersion(other), 0x022C0007u);
}

TEST_F(ChannelTableTest, MinusOneIsNeverStoredOrFound) {
    EXPECT_EQ(ksym::CreateChannelContext(-1), nullptr);
    EXPECT_EQ(ksym::FindChannelContext(-1), nullptr);
    EXPECT_EQ(ksym::RemoveChannelContext(-1, 1), 0);
}

TEST_F(ChannelTableTest, FreshContextHasEmptyProjectTextsAndNoSymbols) {
    ChannelContext* context = ksym::CreateChannelContext(5);
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(context->channel.load(), 5);
    EXPECT_EQ(context->symbolIndex, nullptr);
    EXPECT_EQ(context->channelEvent, nullptr);
    const ProjectInfo& info = context->projectInfo;
    EXPECT_EQ(info.infoProjectId, 0u);
    EXPECT_EQ(info.infoNumber, 0u);
    for (const char* text :
         {info.infoText1, info.infoText2, info.infoText3, info.infoText4, info.infoText5}) {
        ASSERT_NE(text, nullptr);
        EXPECT_STREQ(text, "");
    }
    EXPECT_EQ(ksym::FindChannelContext(5), context);
}

TEST_F(ChannelTableTest, RemoveWithoutDeleteKeepsTheContextButClearsItsRecords) {
    ChannelContext* context = ksym::CreateChannelContext(9);
    ASSERT_NE(context, nullptr);
    context->projectId.store(1234);
    context->blockSize = 512;
    EXPECT_EQ(ksym::RemoveChannelContext(9, 0), 1);
    EXPECT_EQ(ksym::FindChannelContext(9), context);
    EXPECT_EQ(context->projectId.load(), 0);
    EXPECT_EQ(context->blockSize, 512u);
    EXPECT_EQ(context->projectInfo.infoText1, nullptr); // cleared, not rebuilt
    EXPECT_EQ(ksym::RemoveChannelContext(9, 1), 1);
    EXPECT_EQ(ksym::FindChannelContext(9), nullptr);
    EXPECT_EQ(ksym::RemoveChannelContext(9, 1), 0);
}

TEST_F(ChannelTableTest, TwoHundredSlotsAndCreationReplacesAnOlderContext) {
    for (int32_t channel = 1; channel <= ksym::kMaxChannelContexts; ++channel) {
        ASSERT_NE(ksym::CreateChannelContext(channel), nullptr) << channel;
    }
    EXPECT_EQ(ksym::CreateChannelContext(1000), nullptr);
    EXPECT_EQ(ksym::FindChannelContext(1000), nullptr);

    // A second creation for a number in the table deletes the old context first, so it
    // succeeds even in a full table and the number is found exactly once.
    ChannelContext* old = ksym::FindChannelContext(7);
    old->projectId.store(77);
    ChannelContext* renewed = ksym::CreateChannelContext(7);
    ASSERT_NE(renewed, nullptr);
    EXPECT_EQ(renewed->projectId.load(), 0);
    EXPECT_EQ(ksym::FindChannelContext(7), renewed);
    ksym::RemoveChannelContext(7, 1);
    EXPECT_EQ(ksym::FindChannelContext(7), nullptr);
}

TEST_F(ChannelTableTest, LookupsScanFromTheLowestSlotAndFreedSlotsAreReused) {
    ChannelContext* a = ksym::CreateChannelContext(11);
    ChannelContext* b = ksym::CreateChannelContext(12);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    ksym::RemoveChannelContext(11, 1);
    ChannelContext* c = ksym::CreateChannelContext(13);
    ASSERT_NE(c, nullptr);
    // The re-open renumbers a context in place; afterwards only the new number finds it.
    b->channel.store(14);
    EXPECT_EQ(ksym::FindChannelContext(12), nullptr);
    EXPECT_EQ(ksym::FindChannelContext(14), b);
    EXPECT_EQ(ksym::FindChannelContext(13), c);
}

TEST_F(ChannelTableTest, DeleteAllReleasesEveryContextOnce) {
    for (int32_t channel = 20; channel < 25; ++channel) {
        ASSERT_NE(ksym::CreateChannelContext(channel), nullptr);
    }
    ksym::DeleteAllChannelContexts();
    for (int32_t channel = 20; channel < 25; ++channel) {
        EXPECT_EQ(ksym::FindChannelContext(channel), nullptr);
    }
    ksym::DeleteAllChannelContexts(); // nothing left: no double release (ASan would say)
}

TEST(ProjectInfoTest, ClearingTwiceIsHarmlessAndDuplicateTextTerminates) {
    ProjectInfo info{};
    ASSERT_TRUE(ksym::ConstructProjectInfo(info));
    ksym::ClearProjectInfo(info);
    ksym::ClearProjectInfo(info);
    EXPECT_EQ(info.infoText3, nullptr);
    char* copy = ksym::DuplicateText("abcdef", 3);
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "abc");
    ksym::ReleaseText(copy);
}

} // namespace
