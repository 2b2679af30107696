// Lifetimes of lists and channels while a caller holds a list's lock and its reply arrives:
// nothing may wait for something that waits for the caller, and nothing is freed while a
// reply step or a holder can still use it. Every sequence runs under a watchdog.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/watchdog.h"
#include "varlist/pending_read.h"
#include "var_list_test_support.h"

namespace {

using ksymtest::Eventually;
using ksymtest::kNotifyMsg;
using ksymtest::NothingPosted;
using ksymtest::ReadReplyFor;
using ksymtest::VarListTest;
using ksymtest::WaitPosted;
using ksymtest::Watchdog;

constexpr auto kNoHang = std::chrono::seconds(15);

class VarListLifetimeTest : public VarListTest {
protected:
    // Holds `list`'s lock, starts its read and lets its reply arrive: the notification
    // thread then waits in the reply step for the caller.
    void HoldWhileTheReplyArrives(int32_t channel, HVARLIST list) {
        KSymEnterVarListAccess(channel, list);
        ASSERT_EQ(KSymSendVarList(channel, list), 1);
        const int calls = fake::ReplyStatusCalls();
        const std::vector<uint8_t> reply = ReadReplyFor(Sent(channel).back(), 0, 9);
        fake::QueueReply(channel, COMM_MESSAGEREADY, static_cast<uint32_t>(reply.size()), reply);
        ASSERT_TRUE(Eventually([&] { return fake::ReplyStatusCalls() > calls; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // into the list's lock
        EXPECT_EQ(List(list)->valuesReceived.load(), 0u) << "the step ran under the caller";
    }

    // The completion of a read of `varCount` variables, and nothing after it.
    void ExpectTheEndedReadsOneMessage(uint32_t varCount) {
        const auto posted = WaitPosted(window_, kNotifyMsg);
        ASSERT_TRUE(posted) << "the ended read got no message";
        EXPECT_EQ(posted->wParam, static_cast<WPARAM>(COMM_MESSAGEREADY));
        EXPECT_EQ(posted->lParam, static_cast<LPARAM>(10 * varCount + 6));
        EXPECT_TRUE(NothingPosted(window_, 200)) << "a second message";
    }

    // A full read of `list`, answered by the test: true when its completion was posted.
    bool ReadsAgain(int32_t channel, HVARLIST list) {
        if (KSymSendVarList(channel, list) != 1) {
            return false;
        }
        const std::vector<uint8_t> reply = ReadReplyFor(Sent(channel).back(), 0, 10);
        fake::QueueReply(channel, COMM_MESSAGEREADY, static_cast<uint32_t>(reply.size()), reply);
        const auto posted = WaitPosted(window_, kNotifyMsg);
        return posted && posted->wParam == static_cast<WPARAM>(COMM_MESSAGEREADY);
    }
};

TEST_F(VarListLifetimeTest, DeletingAnotherListWhileHoldingTheReadingOneNeitherWaitsNorHangs) {
    const int32_t channel = Open(0);
    HVARLIST reading = Define(channel, {"Speed", "Count"});
    HVARLIST other = Define(channel, {"%MB1"});
    const uint32_t lists = ksym::LiveVarLists();
    HoldWhileTheReplyArrives(channel, reading);
    {
        Watchdog watchdog("KSymDeleteVarList of another list", kNoHang);
        EXPECT_EQ(KSymDeleteVarList(channel, other), 1);
    }
    EXPECT_EQ(ksym::LiveVarLists(), lists - 1);
    EXPECT_EQ(Context(channel)->pendingRead.load(), nullptr) << "any read is ended";
    KSymLeaveVarListAccess(channel, reading);
    // The waiting step finds its read ended: it stores nothing, sends nothing, and ends the
    // read with its one message.
    ExpectTheEndedReadsOneMessage(2);
    EXPECT_EQ(List(reading)->valuesReceived.load(), 0u);
    EXPECT_TRUE(ReadsAgain(channel, reading)) << "the channel and the list still work";
    EXPECT_EQ(List(reading)->valuesReceived.load(), 2u);
    KSymDeleteVarList(channel, reading);
}

TEST_F(VarListLifetimeTest, AOneShotWriteWhileHoldingTheReadingListIsRefusedWithoutHanging) {
    const int32_t channel = Open(0);
    HVARLIST reading = Define(channel, {"Speed", "Count"});
    const uint32_t lists = ksym::LiveVarLists();
    HoldWhileTheReplyArrives(channel, reading);
    const char* names[] = {"Count"};
    const uint32_t value = 5;
    const void* buffers[] = {&value};
    {
        Watchdog watchdog("KSymWriteVars during a held read", kNoHang);
        KClientSetLastError(0);
        EXPECT_EQ(KSymWriteVars(channel, names, 1, buffers), 0);
        EXPECT_EQ(KClientGetLastError(), KSYM_ERR_READ_PENDING);
    }
    EXPECT_EQ(ksym::LiveVarLists(), lists) << "the temporary list remained";
    // The write's temporary list left the read alone: it completes once the caller lets go.
    KSymLeaveVarListAccess(channel, reading);
    const auto posted = WaitPosted(window_, kNotifyMsg);
    ASSERT_TRUE(posted);
    EXPECT_EQ(posted->lParam, static_cast<LPARAM>(10 * 2 + 6));
    EXPECT_EQ(List(reading)->valuesReceived.load(), 2u);
    KSymDeleteVarList(channel, reading);
}

TEST_F(VarListLifetimeTest, ClosingTheChannelWhileHoldingTheReadingListKeepsItsTimeLimit) {
    const uint32_t contexts = ksym::LiveChannelContexts();
    const int32_t channel = Open(0);
    channels_.clear(); // closed here
    HVARLIST reading = Define(channel, {"Speed", "Count"});
    HoldWhileTheReplyArrives(channel, reading);
    {
        Watchdog watchdog("KSymCloseChannel during a held read", kNoHang);
        const DWORD start = GetTickCount();
        KSymCloseChannel(channel);
        EXPECT_LT(GetTickCount() - start, 7000u);
    }
    EXPECT_EQ(ksym::FindChannelContext(channel), nullptr);
    // The step waiting for the caller goes on once it lets go, finds the channel closed,
    // and the thread ends; the list still holds the retired context, and frees it.
    KSymLeaveVarListAccess(channel, reading);
    EXPECT_TRUE(NothingPosted(window_, 300));
    EXPECT_EQ(List(reading)->valuesReceived.load(), 0u);
    EXPECT_EQ(KSymSendVarList(channel, reading), 0);
    EXPECT_EQ(KClientGetLastError(), KSYM_ERR_NO_SYMBOLS);
    EXPECT_EQ(KSymDeleteVarList(channel, reading), 1);
    EXPECT_TRUE(Eventually([&] { return ksym::LiveChannelContexts() == contexts; }));
}

TEST_F(VarListLifetimeTest, DeletingTheHeldListItselfGivesUpTheHoldsAndFreesItLater) {
    const int32_t channel = Open(0);
    HVARLIST reading = Define(channel, {"Speed", "Count"});
    const uint32_t lists = ksym::LiveVarLists();
    HoldWhileTheReplyArrives(channel, reading);
    KSymEnterVarListAccess(channel, reading); // held twice: both holds end with the handle
    {
        Watchdog watchdog("KSymDeleteVarList of the held list", kNoHang);
        EXPECT_EQ(KSymDeleteVarList(channel, reading), 1);
    }
    // The waiting step gets the lock, drops the reply, posts the read's end and lets go of
    // the list last.
    EXPECT_TRUE(Eventually([&] { return ksym::LiveVarLists() == lists - 1; }));
    ExpectTheEndedReadsOneMessage(2);
    HVARLIST next = Define(channel, {"Count"});
    EXPECT_TRUE(ReadsAgain(channel, next)) << "the notification thread still serves the channel";
    KSymDeleteVarList(channel, next);
}

TEST_F(VarListLifetimeTest, AListDeletedOnAnotherThreadLivesUntilItsHolderLetsGo) {
    const int32_t channel = Open(0);
    HVARLIST list = Define(channel, {"Speed"});
    const uint32_t lists = ksym::LiveVarLists();
    std::atomic<int> stage{0};
    std::thread holder([&] {
        KSymEnterVarListAccess(channel, list);
        stage = 1;
        while (stage != 2) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        // The handle was deleted meanwhile; this hold still keeps the list alive.
        VarValue** values = nullptr;
        uint32_t count = 7;
        EXPECT_EQ(KSymGetValues(channel, list, &values, &count), 1);
        EXPECT_EQ(count, 0u);
        KSymLeaveVarListAccess(channel, list);
    });
    ASSERT_TRUE(Eventually([&] { return stage == 1; }));
    {
        Watchdog watchdog("KSymDeleteVarList of a list another thread holds", kNoHang);
        EXPECT_EQ(KSymDeleteVarList(channel, list), 1);
    }
    EXPECT_EQ(ksym::LiveVarLists(), lists) << "freed under its holder";
    // A leave on a thread that never entered is ignored and releases nothing.
    KSymLeaveVarListAccess(channel, list);
    EXPECT_EQ(ksym::LiveVarLists(), lists);
    stage = 2;
    holder.join();
    EXPECT_EQ(ksym::LiveVarLists(), lists - 1);
}

TEST_F(VarListLifetimeTest, AReReadOfTheHeldListWaitsForTheEndedReadsReplyStep) {
    const int32_t channel = Open(0);
    HVARLIST reading = Define(channel, {"Speed", "Count"});
    HVARLIST other = Define(channel, {"%MB1"});
    HoldWhileTheReplyArrives(channel, reading);
    EXPECT_EQ(KSymDeleteVarList(channel, other), 1); // ends the read
    // Still holding the list, the caller starts its read again before the old step ran: the
    // old reply is still being taken in, so the new read would take it for its own.
    const size_t sent = Sent(channel).size();
    KClientSetLastError(0);
    EXPECT_EQ(KSymSendVarList(channel, reading), 0);
    EXPECT_EQ(KClientGetLastError(), KSYM_ERR_READ_PENDING);
    KSymLeaveVarListAccess(channel, reading);
    ExpectTheEndedReadsOneMessage(2);
    EXPECT_EQ(Sent(channel).size(), sent) << "the ended read sent on";
    ASSERT_EQ(KSymSendVarList(channel, reading), 1) << "the message came: the wire is free";
    const std::vector<uint8_t> reply = ReadReplyFor(Sent(channel).back(), 0, 0x77);
    fake::QueueReply(channel, COMM_MESSAGEREADY, static_cast<uint32_t>(reply.size()), reply);
    ASSERT_TRUE(WaitPosted(window_, kNotifyMsg));
    VarValue** values = nullptr;
    uint32_t count = 0;
    ASSERT_EQ(KSymGetValues(channel, reading, &values, &count), 1);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(values[0]->replyWord, 0x77u) << "the values came from the new read's reply";
    KSymDeleteVarList(channel, reading);
}

// Replies carry no request number: the reply to an ended read's telegram still on the wire
// is that read's message, never another read's values, and holds up new reads until it
// came or its time ran out.
TEST_F(VarListLifetimeTest, AReadEndedWithItsTelegramOnTheWireEndsWithThatTelegramsReply) {
    const int32_t channel = Open(64); // three telegrams of three, three and one variables
    HVARLIST reading = Define(channel, {"%MD0", "%MD1", "%MD2", "%MD3", "%MD4", "%MD5", "%MD6"});
    HVARLIST other = Define(channel, {"%MB1"});
    ASSERT_EQ(List(reading)->telegramCount, 3u);
    ASSERT_EQ(KSymSendVarList(channel, reading), 1);
    const std::vector<uint8_t> first = ReadReplyFor(Sent(channel).back(), 0, 1);
    fake::QueueReply(channel, COMM_MESSAGEREADY, static_cast<uint32_t>(first.size()), first);
    ASSERT_TRUE(Eventually([&] { return Sent(channel).size() == 2; })) << "no second telegram";
    EXPECT_TRUE(NothingPosted(window_, 50));

    // The read ends while its second telegram is on the wire.
    EXPECT_EQ(KSymDeleteVarList(channel, other), 1);
    KClientSetLastError(0);
    EXPECT_EQ(KSymSendVarList(channel, reading), 0) << "a new read would take the old reply";
    EXPECT_EQ(KClientGetLastError(), KSYM_ERR_READ_PENDING);
    const std::vector<uint8_t> late = ReadReplyFor(Sent(channel).back(), 0, 2);
    fake::QueueReply(channel, COMM_MESSAGEREADY, static_cast<uint32_t>(late.size()), late);
    auto posted = WaitPosted(window_, kNotifyMsg);
    ASSERT_TRUE(posted) << "the ended read got no message";
    EXPECT_EQ(posted->wParam, static_cast<WPARAM>(COMM_MESSAGEREADY));
    EXPECT_EQ(posted->lParam, static_cast<LPARAM>(late.size())) << "a reply, not a read's end";
    EXPECT_EQ(List(reading)->valuesReceived.load(), 3u) << "the late reply was taken in";
    EXPECT_EQ(Sent(channel).size(), 2u) << "the ended read sent its third telegram";

    // Its reply came: the next read is the list's own, from its first telegram on.
    ASSERT_EQ(KSymSendVarList(channel, reading), 1);
    for (uint32_t telegram = 0; telegram < 3; ++telegram) {
        ASSERT_TRUE(Eventually([&] { return Sent(channel).size() == 3 + telegram; }));
        const std::vector<uint8_t> reply = ReadReplyFor(Sent(channel).back(), 0, 0x70 + telegram);
        fake::QueueReply(channel, COMM_MESSAGEREADY, static_cast<uint32_t>(reply.size()), reply);
    }
    posted = WaitPosted(window_, kNotifyMsg);
    ASSERT_TRUE(posted);
    EXPECT_EQ(posted->lParam, static_cast<LPARAM>(10 * 7 + 6));
    EXPECT_EQ(List(reading)->values[3]->replyWord, 0x71u);
    EXPECT_EQ(List(reading)->values[6]->replyWord, 0x72u);

    // A fatal error answers an owed telegram too, and is then the ended read's message.
    ASSERT_EQ(KSymSendVarList(channel, reading), 1);
    EXPECT_EQ(KSymDeleteVarList(channel, Define(channel, {"%MB1"})), 1);
    fake::QueueReply(channel, COMM_FATALERROR, 8);
    posted = WaitPosted(window_, kNotifyMsg);
    ASSERT_TRUE(posted);
    EXPECT_EQ(posted->wParam, static_cast<WPARAM>(COMM_FATALERROR));
    EXPECT_EQ(posted->lParam, 8);

    // A telegram whose answer never comes holds up new reads only for the time it is owed.
    ksym::SetOwedReplyWait(100);
    ASSERT_EQ(KSymSendVarList(channel, reading), 1);
    EXPECT_EQ(KSymDeleteVarList(channel, Define(channel, {"%MB1"})), 1);
    EXPECT_EQ(KSymSendVarList(channel, reading), 0);
    EXPECT_TRUE(Eventually([&] { return KSymSendVarList(channel, reading) == 1; }, 2000));
    ksym::SetOwedReplyWait(ksym::kOwedReplyWaitMs);
    EXPECT_TRUE(NothingPosted(window_));
    KSymDeleteVarList(channel, reading);
}

} // namespace
