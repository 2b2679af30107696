#include <algorithm>
#include <cstdint>
#include <vector>

#include "extern/kclient.h"
#include "frame/channel_table.h"
#include "frame_test_support.h"
#include "include/ksymbol.h"
#include "support/close_channels.h"
#include "support/watchdog.h"

namespace {

using ksymtest::FrameTest;
using ksymtest::kNotifyMsg;
using ksymtest::WaitPosted;

class ChannelOpenTest : public FrameTest {
protected:
    void TearDown() override {
        ksymtest::CloseChannelsSideBySide(open_);
        FrameTest::TearDown();
    }
    int32_t Open(uint32_t blockSize = 0) {
        const int32_t channel = KSymOpenChannelEx("sim", 0, window_, kNotifyMsg, blockSize);
        if (channel != -1) {
            open_.push_back(channel);
        }
        return channel;
    }
    void Forget(int32_t channel) {
        open_.erase(std::remove(open_.begin(), open_.end(), channel), open_.end());
    }

    std::vector<int32_t> open_;
};

TEST_F(ChannelOpenTest, BlockSizeComesFromTheCallerTheStationOrNoLimit) {
    const int32_t unlimited = Open(0);
    ASSERT_NE(unlimited, -1);
    EXPECT_EQ(ksym::FindChannelContext(unlimited)->blockSize, 0xFFFFFFFFu);

    fake::SetDWord(KCLIENT_DWORD_BLOCK_SIZE, 256);
    const int32_t station = Open(0);
    EXPECT_EQ(ksym::FindChannelContext(station)->blockSize, 256u);

    const size_t queriesBefore = fake::DWordQueries().size();
    const int32_t given = Open(512);
    EXPECT_EQ(ksym::FindChannelContext(given)->blockSize, 512u);
    EXPECT_EQ(fake::DWordQueries().size(), queriesBefore) << "setting asked although given";

    const std::vector<fake::OpenCall> calls = fake::OpenCalls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_STREQ(calls[0].station, "sim");
    EXPECT_EQ(calls[0].second, 0);
    EXPECT_EQ(calls[0].window, window_);
    EXPECT_EQ(calls[0].message, kNotifyMsg);
    EXPECT_NE(calls[0].event, nullptr);
}

TEST_F(ChannelOpenTest, RefusedOpenKeepsTheClientsErrorAndMakesNoContext) {
    KClientSetLastError(0);
    fake::FailNextOpen(KCLIENT_ERR_CONNECT);
    EXPECT_EQ(Open(), -1);
    EXPECT_EQ(KClientGetLastError(), KCLIENT_ERR_CONNECT);
    EXPECT_EQ(ksym::FindChannelContext(1), nullptr);
}

TEST_F(ChannelOpenTest, AnExistingContextKeepsItsStateAndWindowIsSetAnew) {
    ksym::ChannelContext* early = ksym::CreateChannelContext(1); // as a symbol load makes it
    ASSERT_NE(early, nullptr);
    early->projectId.store(4242);
    const int32_t channel = Open();
    ASSERT_EQ(channel, 1);
    ksym::ChannelContext* context = ksym::FindChannelContext(channel);
    EXPECT_EQ(context, early);
    EXPECT_EQ(context->projectId.load(), 4242);
    EXPECT_EQ(context->hNotifyWnd, window_);
    EXPECT_NE(context->channelEvent, nullptr);
}

TEST_F(ChannelOpenTest, TheOpenBeyondTwoHundredContextsIsClosedAgainWithError18) {
    for (int i = 0; i < ksym::kMaxChannelContexts; ++i) {
        ASSERT_NE(Open(), -1) << i;
    }
    const int32_t next = static_cast<int32_t>(ksym::kMaxChannelContexts) + 1; // the fake's number
    EXPECT_EQ(Open(), -1);
    EXPECT_EQ(KClientGetLastError(), KSYM_ERR_NO_CONTEXT_SPACE);
    EXPECT_FALSE(fake::IsOpen(next));
    const std::vector<int32_t> closed = fake::ClosedChannels();
    EXPECT_EQ(std::count(closed.begin(), closed.end(), next), 1);
}

TEST_F(ChannelOpenTest, KVariantPassesItsArgumentsThrough) {
    const int32_t channel = KSymKOpenChannel("sim:order=big", 1500, 0, window_, kNotifyMsg);
    ASSERT_NE(channel, -1);
    open_.push_back(channel);
    const fake::OpenCall call = fake::OpenCalls().back();
    EXPECT_TRUE(call.kVariant);
    EXPECT_STREQ(call.station, "sim:order=big");
    EXPECT_EQ(call.second, 1500);
    EXPECT_EQ(call.third, 0);
    // Its notification thread works like the other family's.
    fake::QueueReply(channel, 9, 3);
    auto posted = WaitPosted(window_, kNotifyMsg);
    ASSERT_TRUE(posted);
    EXPECT_EQ(posted->wParam, 9u);
}

#ifndef _WIN32
TEST_F(ChannelOpenTest, ThreadThatCannotStartClosesTheChannelWithError35) {
    KPlatformFailThreadStarts(1);
    const DWORD start = GetTickCount();
    EXPECT_EQ(Open(), -1);
    const DWORD took = GetTickCount() - start;
    KPlatformFailThreadStarts(0);
    EXPECT_EQ(KClientGetLastError(), KSYM_ERR_NO_THREAD);
    EXPECT_EQ(ksym::FindChannelContext(1), nullptr);
    EXPECT_FALSE(fake::IsOpen(1));
    // No thread acknowledges, so the close inside the open waits its full time.
    EXPECT_GE(took, 4900u);
}
#endif

TEST_F(ChannelOpenTest, ReopenMovesTheContextAndKeepsThreadWindowAndEvent) {
    const int32_t first = Open(300);
    ASSERT_NE(first, -1);
    ksym::ChannelContext* context = ksym::FindChannelContext(first);
    HANDLE event = context->channelEvent;
    HWND otherWindow = reinterpret_cast<HWND>(0x1234);

    const int32_t moved = KSymOpenChannel("sim", 0x10000000 + first, otherWindow, kNotifyMsg + 1);
    ASSERT_NE(moved, -1);
    ASSERT_NE(moved, first);
    Forget(first);
    open_.push_back(moved);

    EXPECT_EQ(ksym::FindChannelContext(first), nullptr);
    EXPECT_EQ(ksym::FindChannelContext(moved), context);
    EXPECT_EQ(context->channelEvent, event);
    EXPECT_EQ(context->blockSize, 300u);
    const fake::OpenCall call = fake::OpenCalls().back();
    EXPECT_EQ(call.second, first);
    EXPECT_EQ(call.event, event);
    EXPECT_EQ(call.window, otherWindow); // only the client library sees the new window

    // The one thread, on the one event, still posts to the first window and message.
    fake::QueueReply(moved, 7, 1);
    auto posted = WaitPosted(window_, kNotifyMsg);
    ASSERT_TRUE(posted);
    EXPECT_EQ(posted->wParam, 7u);
    // The re-open wakes the thread once to look under the new number; a second thread on
    // the event would fetch more often.
    EXPECT_TRUE(ksymtest::NothingPosted(window_));
    EXPECT_LE(fake::ReplyStatusCalls(), 2) << "a second thread fetched a status";
}

TEST_F(ChannelOpenTest, AReopenWhileTheThreadFetchesUnderTheOldNumberLosesNoReply) {
    const int32_t first = Open();
    ASSERT_NE(first, -1);
    // The thread wakes for a reply and is held inside its fetch, under the old number.
    fake::BlockReplyStatus(true);
    const std::vector<uint8_t> reply = {0xE8, 0x03};
    fake::QueueReply(first, COMM_MESSAGEREADY, 2, reply);
    ASSERT_TRUE(ksymtest::Eventually([] { return fake::ReplyStatusCalls() == 1; }));
    // Meanwhile the channel moves, and the waiting reply with it (the client signals
    // nothing, as its queue is not empty).
    const int32_t moved = KSymOpenChannel("sim", 0x10000000 + first, window_, kNotifyMsg);
    ASSERT_NE(moved, -1);
    Forget(first);
    open_.push_back(moved);
    fake::BlockReplyStatus(false);
    // The fetch under the old number finds nothing, which nobody is told of; the reply
    // comes under the new one.
    const auto posted = WaitPosted(window_, kNotifyMsg);
    ASSERT_TRUE(posted) << "the moved reply was never fetched: the channel is deaf";
    EXPECT_EQ(posted->wParam, static_cast<WPARAM>(COMM_MESSAGEREADY));
    EXPECT_EQ(posted->lParam, 2);
    EXPECT_TRUE(ksymtest::NothingPosted(window_)) << "a message for the empty fetch";
}

TEST_F(ChannelOpenTest, ReopenOfAnUnknownChannelFailsWith19AndChangesNothing) {
    const int32_t channel = Open();
    const size_t calls = fake::OpenCalls().size();
    EXPECT_EQ(KSymOpenChannel("sim", 0x10000000 + 999, window_, kNotifyMsg), -1);
    EXPECT_EQ(KClientGetLastError(), KSYM_ERR_NO_SYMBOLS);
    // Far below the base no difference is a channel number (nor may it overflow).
    for (const int32_t reopen : {INT32_MIN, INT32_MIN + 0x0FFFFFFF, -1}) {
        KClientSetLastError(0);
        EXPECT_EQ(KSymOpenChannel("sim", reopen, window_, kNotifyMsg), -1) << reopen;
        EXPECT_EQ(KClientGetLastError(), KSYM_ERR_NO_SYMBOLS) << reopen;
    }
    EXPECT_EQ(fake::OpenCalls().size(), calls);
    EXPECT_NE(ksym::FindChannelContext(channel), nullptr);
}

TEST_F(ChannelOpenTest, RefusedReopenAbandonsTheReadAndKeepsTheOldNumber) {
    const int32_t channel = Open();
    ksym::ChannelContext* context = ksym::FindChannelContext(channel);
    context->pendingRead.store(reinterpret_cast<ksym::VarList*>(0x10)); // never dereferenced
    KClientCloseChannel(channel); // the client no longer knows it, so the re-open fails
    EXPECT_EQ(KSymOpenChannel("sim", 0x10000000 + channel, window_, kNotifyMsg), -1);
    EXPECT_EQ(context->pendingRead.load(), nullptr);
    EXPECT_EQ(ksym::FindChannelContext(channel), context);
}

} // namespace
