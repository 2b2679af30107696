#include <atomic>
#include <thread>

#include "extern/kclient.h"
#include "frame/channel_table.h"
#include "frame_test_support.h"
#include "include/ksymbol.h"

namespace {

using ksymtest::FrameTest;
using ksymtest::kNotifyMsg;
using ksymtest::WaitPosted;

class ChannelCloseTest : public FrameTest {};

TEST_F(ChannelCloseTest, IdleChannelClosesSoonAfterTheThreadAcknowledges) {
    const int32_t channel = KSymOpenChannel("sim", 0, window_, kNotifyMsg);
    ASSERT_NE(channel, -1);
    const DWORD start = GetTickCount();
    EXPECT_EQ(KSymCloseChannel(channel), 1); // what the client library returned
    const DWORD took = GetTickCount() - start;
    EXPECT_LT(took, 1500u) << "the close waited for no acknowledgement";
    EXPECT_EQ(ksym::FindChannelContext(channel), nullptr);
    EXPECT_FALSE(fake::IsOpen(channel));
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

TEST_F(ChannelCloseTest, CloseWaitsForAThreadStuckInTheDispatcher) {
    const int32_t channel = KSymOpenChannel("sim", 0, window_, kNotifyMsg);
    ASSERT_NE(channel, -1);
    fake::BlockReplyStatus(true);
    fake::QueueReply(channel, COMM_MESSAGEREADY, 5);
    for (int i = 0; i < 5000 && fake::ReplyStatusCalls() == 0; ++i) {
        Sleep(1);
    }
    ASSERT_EQ(fake::ReplyStatusCalls(), 1); // the thread is inside the dispatcher now

    std::atomic<bool> closed{false};
    std::thread closer([&] {
        KSymCloseChannel(channel);
        closed = true;
    });
    Sleep(5600); // past the acknowledgement wait
    EXPECT_FALSE(closed.load()) << "the close gave up on a thread that still runs";
    fake::BlockReplyStatus(false); // the dispatcher now reads the context it was given
    closer.join();
    EXPECT_TRUE(closed.load());
    EXPECT_EQ(ksym::FindChannelContext(channel), nullptr);
}

} // namespace
