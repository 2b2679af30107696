#include <atomic>
#include <thread>
#include <vector>

#include "extern/kclient.h"
#include "frame/channel_table.h"
#include "frame_test_support.h"
#include "include/ksymbol.h"
#include "support/watchdog.h"

namespace {

using ksymtest::FrameTest;
using ksymtest::kNotifyMsg;

class ChannelCloseTest : public FrameTest {};

TEST_F(ChannelCloseTest, IdleChannelClosesSoonAfterTheThreadAcknowledges) {
    const int32_t channel = KSymOpenChannel("sim", 0, window_, kNotifyMsg);
    ASSERT_NE(channel, -1);
    KClientSetLastError(77);
    const DWORD start = GetTickCount();
    EXPECT_EQ(KSymCloseChannel(channel), 1); // what the client library returned
    const DWORD took = GetTickCount() - start;
    EXPECT_LT(took, 1500u) << "the close waited for no acknowledgement";
    EXPECT_EQ(KClientGetLastError(), 77) << "the close records nothing";
    EXPECT_EQ(ksym::FindChannelContext(channel), nullptr);
    EXPECT_FALSE(fake::IsOpen(channel));
    // The client may signal the channel's event until it has closed the channel: the event
    // must still be open then (on Windows its handle value would go to the next object).
    EXPECT_EQ(fake::EventsOpenAtClose(), std::vector<bool>{true});
    // A closed channel is unknown: only the client library is asked, and it says 0.
    EXPECT_EQ(KSymCloseChannel(channel), 0);
}

#ifndef _WIN32
TEST_F(ChannelCloseTest, TheWaitIsRightAcrossTheTickCounterWrap) {
    KPlatformSetTickOffset(0xFFFFFFFFu - GetTickCount() - 50); // wraps 50 ms from now
    const int32_t channel = KSymOpenChannel("sim", 0, window_, kNotifyMsg);
    ASSERT_NE(channel, -1);
    Sleep(20);
    const DWORD start = GetTickCount();
    KSymCloseChannel(channel);
    EXPECT_LT(GetTickCount() - start, 1500u);
    KPlatformSetTickOffset(0);
}
#endif

TEST_F(ChannelCloseTest, ContextWithoutThreadWaitsTheFullTime) {
    ASSERT_NE(ksym::CreateChannelContext(77), nullptr); // as a symbol load alone makes it
    const DWORD start = GetTickCount();
    KSymCloseChannel(77);
    EXPECT_GE(GetTickCount() - start, 4900u);
    EXPECT_EQ(ksym::FindChannelContext(77), nullptr);
}

TEST_F(ChannelCloseTest, CloseGivesUpOnAStuckThreadWhichThenReleasesTheContext) {
    const uint32_t contexts = ksym::LiveChannelContexts();
    const int32_t channel = KSymOpenChannel("sim", 0, window_, kNotifyMsg);
    ASSERT_NE(channel, -1);
    fake::BlockReplyStatus(true);
    fake::QueueReply(channel, COMM_MESSAGEREADY, 5);
    ASSERT_TRUE(ksymtest::Eventually([] { return fake::ReplyStatusCalls() == 1; }));
    // The thread is inside the dispatcher now and stays there.

    {
        ksymtest::Watchdog watchdog("the close of a channel whose thread is stuck",
                                    std::chrono::seconds(20));
        const DWORD start = GetTickCount();
        EXPECT_EQ(KSymCloseChannel(channel), 1);
        const DWORD took = GetTickCount() - start;
        EXPECT_GE(took, 4900u) << "the close did not wait for the acknowledgement";
        EXPECT_LT(took, 7000u) << "the close waited beyond its limit";
    }
    EXPECT_EQ(ksym::FindChannelContext(channel), nullptr);
    EXPECT_FALSE(fake::IsOpen(channel));
    EXPECT_EQ(ksym::LiveChannelContexts(), contexts + 1) << "freed under the running thread";

    // The dispatcher goes on with the context it holds: it finds nothing waiting for the
    // closed channel, posts nothing (to a window the caller may have destroyed by now), sees
    // the stop and ends; the context and its event go with the thread's hold.
    fake::BlockReplyStatus(false);
    EXPECT_TRUE(ksymtest::Eventually([&] { return ksym::LiveChannelContexts() == contexts; }));
    EXPECT_TRUE(ksymtest::NothingPosted(window_));
}

} // namespace
