// Memory running out inside the exported functions: every failing allocation, one after
// the other, ends the call with its failure result and KSYM_ERR_NO_MEMORY (or the
// operation's own code where the interface fixes one), nothing left behind, and the
// channel working afterwards. No exception may leave the library.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/failing_allocator.h"
#include "support/watchdog.h"
#include "var_list_test_support.h"

namespace {

using ksymtest::kNotifyMsg;
using ksymtest::ReadReplyFor;
using ksymtest::ScriptedStation;
using ksymtest::StationReply;
using ksymtest::UntilItSucceeds;
using ksymtest::VarListTest;
using ksymtest::WaitPosted;

// Every kind of variable: integers, an array, a string, a data block, direct addresses of
// every size and a bit.
const std::vector<const char*> kEveryKind = {"Speed", "Count", "Arr",  "Name",  "Block",
                                             "%MW4",  "%QD3",  "%MB7", "%IX1.2"};

class OutOfMemoryTest : public VarListTest {};

TEST_F(OutOfMemoryTest, ListDefinitionsFailWhole) {
    const int32_t channel = Open(64);
    const uint32_t lists = ksym::LiveVarLists();
    auto checkFailed = [&](bool) {
        EXPECT_EQ(KClientGetLastError(), KSYM_ERR_NO_MEMORY);
        EXPECT_EQ(ksym::LiveVarLists(), lists) << "a partly built list stayed behind";
    };
    HVARLIST list = nullptr;
    const int byName = UntilItSucceeds(
        [&] {
            list = KSymDefineVarList(channel, kEveryKind.data(),
                                     static_cast<uint32_t>(kEveryKind.size()));
            return list != nullptr;
        },
        checkFailed);
    EXPECT_GT(byName, 0);
    EXPECT_EQ(List(list)->telegramCount, 3u);
    KSymDeleteVarList(channel, list);

    std::vector<KSymVarDesc> descriptors;
    for (const char* name : kEveryKind) {
        descriptors.push_back(KSymVarDesc{name});
    }
    std::vector<const KSymVarDesc*> pointers;
    for (const KSymVarDesc& descriptor : descriptors) {
        pointers.push_back(&descriptor);
    }
    const int byDesc = UntilItSucceeds(
        [&] {
            list = KSymDefineVarListByDesc(channel, pointers.data(),
                                           static_cast<uint32_t>(pointers.size()));
            return list != nullptr;
        },
        checkFailed);
    EXPECT_GT(byDesc, 0);
    // The list made at last works.
    ScriptedStation station(channel, [](const std::vector<uint8_t>& telegram, size_t n) {
        StationReply reply;
        reply.bytes = ReadReplyFor(telegram, 0, static_cast<uint32_t>(n));
        return std::vector<StationReply>{reply};
    });
    ASSERT_EQ(KSymSendVarList(channel, list), 1);
    ASSERT_TRUE(WaitPosted(window_, kNotifyMsg));
    KSymDeleteVarList(channel, list);
    EXPECT_EQ(ksym::LiveVarLists(), lists);
}

TEST_F(OutOfMemoryTest, WritesSendNothingUntilTheyCanSendEverything) {
    const int32_t channel = Open(0);
    const std::vector<const char*> names = {"Speed", "Count", "%MW4", "%IX1.2"};
    const uint16_t speed = 1;
    const uint32_t count = 2;
    const uint16_t word = 3;
    const uint8_t bit = 1;
    const void* buffers[] = {&speed, &count, &word, &bit};
    const uint32_t lists = ksym::LiveVarLists();
    const int runs = UntilItSucceeds(
        [&] {
            return KSymWriteVars(channel, names.data(), static_cast<uint32_t>(names.size()),
                                 buffers) == 1;
        },
        [&](bool) {
            EXPECT_EQ(KClientGetLastError(), KSYM_ERR_NO_MEMORY);
            EXPECT_TRUE(Sent(channel).empty()) << "a write went out although it failed";
            EXPECT_EQ(ksym::LiveVarLists(), lists);
        });
    EXPECT_GT(runs, 0);
    ASSERT_EQ(Sent(channel).size(), 1u);
    EXPECT_EQ(Sent(channel)[0].size(), 6u + 13u + 15u + 13u + 12u);
}

TEST_F(OutOfMemoryTest, TakingInAReplyOnTheCallersThreadFailsCleanly) {
    const int32_t channel = Open(0);
    HVARLIST list = Define(channel, {"Speed", "Count"});
    // The caller holds the list while its reply arrives, and takes the reply in itself: its
    // step reads into a buffer of its own, which it must allocate.
    KSymEnterVarListAccess(channel, list);
    ASSERT_EQ(KSymSendVarList(channel, list), 1);
    const int calls = fake::ReplyStatusCalls();
    const std::vector<uint8_t> reply = ReadReplyFor(Sent(channel).back(), 0, 5);
    fake::QueueReply(channel, COMM_MESSAGEREADY, static_cast<uint32_t>(reply.size()), reply);
    ASSERT_TRUE(ksymtest::Eventually([&] { return fake::ReplyStatusCalls() > calls; }));
    VarValue** values = nullptr;
    uint32_t received = 0;
    const int runs =
        UntilItSucceeds([&] { return KSymGetValues(channel, list, &values, &received) == 1; },
                        [&](bool) {
                            EXPECT_EQ(KClientGetLastError(), KSYM_ERR_NO_MEMORY);
                            EXPECT_EQ(values, nullptr);
                            EXPECT_EQ(received, 0u);
                            EXPECT_EQ(List(list)->valuesReceived.load(), 0u)
                                << "a failed step stored values";
                        });
    EXPECT_GT(runs, 0);
    EXPECT_EQ(received, 2u);
    EXPECT_EQ(values[0]->valid, 1);
    EXPECT_EQ(values[0]->replyWord, 5u);
    KSymLeaveVarListAccess(channel, list);
    // The notification thread's step finds its reply taken in: nothing more happens.
    EXPECT_TRUE(ksymtest::NothingPosted(window_, 300));
    KSymDeleteVarList(channel, list);
}

TEST_F(OutOfMemoryTest, SymbolLoadsFailWithTheirCodeAndLeaveNoTable) {
    const int32_t channel = Open(0, 0, false);
    const std::vector<uint8_t> file = ksymtest::SmallProject(0x5150);
    // The station confirms the local file's identifier, and uploads it when asked.
    ScriptedStation station(channel, [&](const std::vector<uint8_t>& telegram, size_t) {
        if (telegram[0] == 0x11) {
            return std::vector<StationReply>{ksymtest::ProjectIdReply(0, 0x5150)};
        }
        return std::vector<StationReply>{ksymtest::Chunk(file, false)};
    });
    ASSERT_EQ(KSymLoadSymbolsEx(channel, nullptr, nullptr, nullptr, 0), 1); // the local file
    SymbolEntry** symbols = nullptr;
    int32_t count = 0;
    const uint32_t contexts = ksym::LiveChannelContexts();
    const int runs = UntilItSucceeds(
        [&] { return KSymLoadSymbolsEx(channel, "Line1", &symbols, &count, 0) == 1; },
        [&](bool) {
            const int32_t error = KClientGetLastError();
            EXPECT_TRUE(error == KSYM_ERR_NO_MEMORY || error == KSYM_ERR_NO_SYMBOLS) << error;
            EXPECT_EQ(Context(channel)->symbolIndex, nullptr) << "a failed load left a table";
            EXPECT_EQ(ksym::LiveChannelContexts(), contexts);
        });
    EXPECT_GT(runs, 0);
    ASSERT_EQ(count, 4);
    EXPECT_STREQ(symbols[0]->name, "Line1.Speed");
    HVARLIST list = Define(channel, {"Line1.Speed"});
    EXPECT_NE(list, nullptr);
    KSymDeleteVarList(channel, list);
}

} // namespace
