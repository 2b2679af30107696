// Memory running out inside the exported functions: every failing allocation, one after
// the other, ends the call with its failure result and KSYM_ERR_NO_MEMORY (or the
// operation's own code where the interface fixes one), nothing left behind (in the
// address-sanitizer build LeakSanitizer looks after every failed run), and the channel
// working afterwards. No exception may leave the library. Where the work continues on the
// notification thread (uploads, reads, identification), allocations fail there too.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/failing_allocator.h"
#include "symbols/symbol_file_path.h"
#include "support/watchdog.h"
#include "var_list_test_support.h"

namespace {

using ksymtest::FailOn;
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
        EXPECT_FALSE(ksymtest::LeakedSinceStart());
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
    // The reply step may still hold the list for a moment after posting (a slow machine or
    // qemu shows it); the deletion then frees it as the step lets go.
    EXPECT_TRUE(ksymtest::Eventually([&] { return ksym::LiveVarLists() == lists; }));
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
            EXPECT_FALSE(ksymtest::LeakedSinceStart());
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
    // The notification thread's step finds its reply taken in and the read over: it posts
    // the read's completion, once.
    const auto posted = ksymtest::WaitPosted(window_, ksymtest::kNotifyMsg);
    ASSERT_TRUE(posted);
    EXPECT_EQ(posted->lParam, static_cast<LPARAM>(10 * 2 + 6));
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
            EXPECT_FALSE(ksymtest::LeakedSinceStart());
        });
    EXPECT_GT(runs, 0);
    ASSERT_EQ(count, 4);
    EXPECT_STREQ(symbols[0]->name, "Line1.Speed");
    HVARLIST list = Define(channel, {"Line1.Speed"});
    EXPECT_NE(list, nullptr);
    KSymDeleteVarList(channel, list);
}

// The local symbol file of the fake station's project.
std::string LocalFile(int32_t channel) {
    char name[260] = {};
    KClientGetProjectName(channel, name, sizeof name);
    return ksym::SymbolFolder() + "\\" + ksym::SymbolFileName(name);
}

TEST_F(OutOfMemoryTest, UploadsFailWithTheirCodeOnEitherThread) {
    const int32_t channel = Open(0, 0, false);
    const std::vector<uint8_t> file = ksymtest::SmallProject(0x5150);
    const std::vector<std::vector<uint8_t>> chunks = ksymtest::Split(file, 3);
    // The station never confirms a local file, so every load uploads, in three chunks.
    ScriptedStation station(channel, [&](const std::vector<uint8_t>& telegram, size_t) {
        static size_t next = 0;
        if (telegram[0] == 0x11) {
            return std::vector<StationReply>{StationReply{COMM_MESSAGEREADY, {1}}};
        }
        next = telegram[0] == 0x31 ? 0 : next + 1;
        return std::vector<StationReply>{ksymtest::Chunk(chunks[next], next + 1 < chunks.size())};
    });
    const uint32_t contexts = ksym::LiveChannelContexts();
    SymbolEntry** symbols = nullptr;
    int32_t count = 0;
    const int runs = UntilItSucceeds(
        [&] { return KSymLoadSymbolsEx(channel, nullptr, &symbols, &count, 0) == 1; },
        [&](bool) {
            const int32_t error = KClientGetLastError();
            EXPECT_TRUE(error == KSYM_ERR_NO_MEMORY || error == KSYM_ERR_NO_SYMBOLS) << error;
            EXPECT_EQ(Context(channel)->symbolIndex, nullptr) << "a failed load left a table";
            EXPECT_EQ(Context(channel)->uploadDevice.load(), nullptr);
            EXPECT_EQ(ksym::LiveChannelContexts(), contexts);
            EXPECT_FALSE(ksymtest::LeakedSinceStart());
            fake::HarnessScope harness;
            DeleteFileA(LocalFile(channel).c_str()); // so that the next run uploads too
        },
        20000, FailOn::EveryThread);
    EXPECT_GT(runs, 0);
    ASSERT_EQ(count, 5);
    EXPECT_STREQ(symbols[4]->name, "Line2.Block");
    EXPECT_EQ(ksymtest::ReadFileBack(LocalFile(channel)), file);
}

TEST_F(OutOfMemoryTest, AReadOfThreeTelegramsEndsWithExactlyOneNotificationOrNone) {
    const int32_t channel = Open(64);
    HVARLIST list =
        KSymDefineVarList(channel, kEveryKind.data(), static_cast<uint32_t>(kEveryKind.size()));
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(List(list)->telegramCount, 3u);
    ScriptedStation station(channel, [](const std::vector<uint8_t>& telegram, size_t n) {
        StationReply reply;
        reply.bytes = ReadReplyFor(telegram, 0, static_cast<uint32_t>(n));
        return std::vector<StationReply>{reply};
    });
    bool sent = false;
    bool notified = false;
    const int runs = UntilItSucceeds(
        [&] {
            sent = KSymSendVarList(channel, list) == 1;
            notified = false;
            if (!sent) {
                return false;
            }
            {
                fake::HarnessScope harness;
                notified = WaitPosted(window_, kNotifyMsg, 3000).has_value();
            }
            VarValue** values = nullptr;
            uint32_t count = 0;
            if (!notified || KSymGetValues(channel, list, &values, &count) != 1 || count != 9) {
                return false;
            }
            for (uint32_t i = 0; i < count; ++i) {
                if (values[i]->valid != 1) {
                    return false;
                }
            }
            return true;
        },
        [&](bool) {
            fake::HarnessScope harness;
            if (!sent) {
                EXPECT_EQ(KClientGetLastError(), KSYM_ERR_NO_MEMORY);
            }
            EXPECT_TRUE(!sent || notified) << "a read that began never ended";
            EXPECT_TRUE(ksymtest::NothingPosted(window_, 0)) << "a second notification";
            EXPECT_FALSE(ksymtest::LeakedSinceStart());
        },
        20000, FailOn::EveryThread);
    EXPECT_GE(runs, 0);
    KSymDeleteVarList(channel, list);
}

TEST_F(OutOfMemoryTest, ProjectIdentificationFailsWholeAndWorksAfterwards) {
    const int32_t channel = Open(0, 0, false);
    std::vector<uint8_t> reply = {0, 0, 0x44, 0x33, 0x22, 0x11, 7, 0, 0, 0};
    for (const char* text : {"Line 1", "1.2", "Bakery", "Someone", "2026-12-08"}) {
        reply.insert(reply.end(), text, text + std::strlen(text) + 1);
    }
    ScriptedStation station(channel, [&](const std::vector<uint8_t>&, size_t) {
        return std::vector<StationReply>{StationReply{COMM_MESSAGEREADY, reply}};
    });
    uint32_t id = 0;
    int32_t asked = 0;
    const int runs = UntilItSucceeds(
        [&] {
            asked = KSymPLCProjectId(channel);
            if (asked != 1) {
                return false;
            }
            {
                fake::HarnessScope harness;
                if (!WaitPosted(window_, kNotifyMsg, 3000)) {
                    return false;
                }
            }
            return KSymPLCProjectIdResult(channel, &id) == 1;
        },
        [&](bool) {
            EXPECT_EQ(KClientGetLastError(), KSYM_ERR_NO_MEMORY);
            EXPECT_FALSE(ksymtest::LeakedSinceStart());
        },
        20000, FailOn::EveryThread);
    EXPECT_GT(runs, 0);
    EXPECT_EQ(id, 0x11223344u);
    ProjectInfo* info = KSymGetProjectInfo(channel);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->infoNumber, 7u);
    EXPECT_STREQ(info->infoText4, "Line 1");
    EXPECT_STREQ(info->infoText3, "2026-12-08");
}

} // namespace
