#include <atomic>
#include <cstdio>

#include "frame/channel_table.h"
#include "frame/dispatcher.h"
#include "frame_test_support.h"
#include "include/ksymbol.h"

namespace {

using ksymtest::FrameTest;
using ksymtest::kNotifyMsg;
using ksymtest::NothingPosted;
using ksymtest::WaitPosted;

// Stands in for the upload device: the dispatcher only tests it for null here.
KBufferedFileSerDev* const kSomeDevice = reinterpret_cast<KBufferedFileSerDev*>(0x40);

class DispatcherTest : public FrameTest {
protected:
    void SetUp() override {
        FrameTest::SetUp();
        channel_ = KSymOpenChannel("sim", 0, window_, kNotifyMsg);
        ASSERT_NE(channel_, -1);
        context_ = ksym::FindChannelContext(channel_);
        loaderEvent_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    }
    void TearDown() override {
        context_->uploadDevice.store(nullptr);
        context_->uploadEvent.store(nullptr);
        context_->projectIdEvent.store(nullptr);
        KSymCloseChannel(channel_);
        CloseHandle(loaderEvent_);
        FrameTest::TearDown();
    }

    // The line the dispatcher writes before passing a reply on.
    std::string PassLine(int status, long value) const {
        char line[200];
        std::snprintf(line, sizeof line,
                      "VarHandleReply::PostMessage(hNotifyWnd=%ld, uNotifyMsg=%d, wParam=%d, "
                      "lParam=%ld\n",
                      static_cast<long>(reinterpret_cast<intptr_t>(window_)),
                      static_cast<int>(kNotifyMsg), status, value);
        return line;
    }
    // Waits until the dispatcher has fetched `calls` statuses in all.
    void WaitForStatusCalls(int calls) const {
        for (int i = 0; i < 5000 && fake::ReplyStatusCalls() < calls; ++i) {
            Sleep(1);
        }
        ASSERT_GE(fake::ReplyStatusCalls(), calls);
    }

    int32_t channel_ = -1;
    ksym::ChannelContext* context_ = nullptr;
    HANDLE loaderEvent_ = nullptr;
};

TEST_F(DispatcherTest, RepliesWithNothingInProgressGoToTheWindowWithTheirDebugLines) {
    struct Case {
        int32_t status;
        uint32_t value;
        bool logged;
    };
    const Case cases[] = {
        {COMM_MESSAGEREADY, 12, true}, {COMM_FATALERROR, 7, false}, {5, 3, true}, {9, 4, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        const size_t linesBefore = fake::DebugLines().size();
        fake::QueueReply(channel_, c.status, c.value);
        auto posted = WaitPosted(window_, kNotifyMsg);
        ASSERT_TRUE(posted);
        EXPECT_EQ(posted->wParam, static_cast<WPARAM>(c.status));
        EXPECT_EQ(posted->lParam, static_cast<LPARAM>(c.value));
        const std::vector<fake::DebugLine> lines = fake::DebugLines();
        if (c.logged) {
            ASSERT_EQ(lines.size(), linesBefore + 1);
            EXPECT_EQ(lines.back().text, PassLine(c.status, static_cast<long>(c.value)));
            EXPECT_EQ(lines.back().channel, channel_);
        } else {
            EXPECT_EQ(lines.size(), linesBefore);
        }
    }
}

TEST_F(DispatcherTest, SeveralRepliesQueuedAtOnceAreEachDispatched) {
    for (uint32_t i = 1; i <= 5; ++i) {
        fake::QueueReply(channel_, COMM_MESSAGEREADY, i);
    }
    for (uint32_t i = 1; i <= 5; ++i) {
        auto posted = WaitPosted(window_, kNotifyMsg);
        ASSERT_TRUE(posted) << i;
        EXPECT_EQ(posted->lParam, static_cast<LPARAM>(i));
    }
}

TEST_F(DispatcherTest, FatalErrorEndsAnUploadOrProjectIdCheckWithoutPosting) {
    context_->uploadEvent.store(loaderEvent_);
    context_->uploadDevice.store(kSomeDevice);
    context_->loadStatus.store(ksym::LoadFailed);
    fake::QueueReply(channel_, COMM_FATALERROR, 0);
    ASSERT_EQ(WaitForSingleObject(loaderEvent_, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(context_->loadStatus.load(), ksym::LoadFatalError);
    EXPECT_TRUE(NothingPosted(window_));

    context_->uploadDevice.store(nullptr);
    context_->projectIdEvent.store(loaderEvent_);
    context_->loadStatus.store(ksym::LoadFailed);
    fake::QueueReply(channel_, COMM_FATALERROR, 0);
    ASSERT_EQ(WaitForSingleObject(loaderEvent_, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(context_->loadStatus.load(), ksym::LoadFatalError);
    EXPECT_TRUE(NothingPosted(window_));
}

TEST_F(DispatcherTest, EmptyReplyFailsTheLoadersTransaction) {
    context_->uploadEvent.store(loaderEvent_);
    context_->uploadDevice.store(kSomeDevice);
    context_->loadStatus.store(ksym::LoadDone);
    fake::QueueReply(channel_, COMM_MESSAGEREADY, 0);
    ASSERT_EQ(WaitForSingleObject(loaderEvent_, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(context_->loadStatus.load(), ksym::LoadFailed);

    context_->uploadDevice.store(nullptr);
    context_->projectIdEvent.store(loaderEvent_);
    context_->loadStatus.store(ksym::LoadDone);
    fake::QueueReply(channel_, COMM_MESSAGEREADY, 0);
    ASSERT_EQ(WaitForSingleObject(loaderEvent_, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(context_->loadStatus.load(), ksym::LoadFailed);
    EXPECT_TRUE(NothingPosted(window_));
}

TEST_F(DispatcherTest, Status5DuringAnUploadIsPassedOnAndLeavesTheUploadAlone) {
    context_->uploadEvent.store(loaderEvent_);
    context_->uploadDevice.store(kSomeDevice);
    context_->loadStatus.store(ksym::LoadFailed);
    fake::QueueReply(channel_, 5, 44);
    auto posted = WaitPosted(window_, kNotifyMsg);
    ASSERT_TRUE(posted);
    EXPECT_EQ(posted->wParam, 5u);
    EXPECT_EQ(posted->lParam, 44);
    EXPECT_EQ(WaitForSingleObject(loaderEvent_, 0), WAIT_TIMEOUT);
    EXPECT_EQ(context_->uploadDevice.load(), kSomeDevice);
    EXPECT_EQ(context_->loadStatus.load(), ksym::LoadFailed);
}

// Counts every post attempt; the first `failures` fail.
std::atomic<int> postAttempts{0};
std::atomic<int> postFailures{0};
BOOL WINAPI CountingPost(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    ++postAttempts;
    if (postFailures.load() > 0) {
        --postFailures;
        return FALSE;
    }
    return PostMessageA(window, message, wParam, lParam);
}

TEST_F(DispatcherTest, ACompletedReadIsPostedAgainWhenTheFirstPostFails) {
    ksym::SetPostMessageFunction(&CountingPost);
    postAttempts = 0;
    postFailures = 1;
    ksym::PostReadComplete(*context_, 2);
    EXPECT_EQ(postAttempts.load(), 2);
    auto posted = WaitPosted(window_, kNotifyMsg);
    ASSERT_TRUE(posted);
    EXPECT_EQ(posted->wParam, static_cast<WPARAM>(COMM_MESSAGEREADY));
    EXPECT_EQ(posted->lParam, 26); // 10 x 2 variables + 6
    EXPECT_NE(fake::DebugLines().back().text.find("PostMessage COMM_MESSAGEREADY: "),
              std::string::npos);

    // Every other post is made once, whatever its outcome.
    postAttempts = 0;
    postFailures = 1;
    fake::QueueReply(channel_, COMM_MESSAGEREADY, 8);
    WaitForStatusCalls(1);
    for (int i = 0; i < 2000 && postAttempts.load() == 0; ++i) {
        Sleep(1);
    }
    EXPECT_TRUE(NothingPosted(window_));
    EXPECT_EQ(postAttempts.load(), 1);
    ksym::SetPostMessageFunction(nullptr);
}

} // namespace
