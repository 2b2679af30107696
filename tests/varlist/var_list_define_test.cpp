#include <gtest/gtest.h>

#include "var_list_test_support.h"

namespace {

using ksymtest::Bytes;
using ksymtest::VarListTest;

TEST_F(VarListTest, OneWordListHasTheRequestBytesInEitherOrder) {
    const int32_t plain = Open(0);
    const int32_t swapped = Open(0, 1);
    for (const int32_t channel : {plain, swapped}) {
        KClientSetLastError(77);
        HVARLIST handle = Define(channel, {"%MW4"});
        ASSERT_NE(handle, nullptr);
        EXPECT_EQ(KClientGetLastError(), 0);
        const ksym::VarList* list = List(handle);
        ASSERT_EQ(list->telegramCount, 1u);
        const std::vector<uint8_t> expected =
            channel == plain ? Bytes({0x2E, 0, 1, 0, 0, 0, 0, 0, 8, 0, 0, 0, 2, 0, 0, 0})
                             : Bytes({0x2E, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 8, 0, 0, 0, 2});
        EXPECT_EQ(list->requests[0], expected);
        EXPECT_EQ(list->requestLengths[0], 16u);
        EXPECT_EQ(list->replyLengths[0], 9u);
        EXPECT_EQ(list->writeLengths[0], 19u);
        EXPECT_EQ(list->receiveBuffer.size(), 9u);
        // A symbol of the same name: address from the direct address, element size from the
        // symbol (a DINT's 4).
        EXPECT_EQ(list->varElementSizes[0], 4);
        EXPECT_EQ(KSymGetNumOfVars(channel, handle), 1u);
        EXPECT_EQ(KSymDeleteVarList(channel, handle), 1);
    }

    HVARLIST empty = KSymDefineVarList(plain, nullptr, 0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(List(empty)->telegramCount, 1u);
    EXPECT_EQ(List(empty)->requests[0], Bytes({0x2E, 0, 0, 0, 0, 0}));
    EXPECT_EQ(List(empty)->replyLengths[0], 6u);
    EXPECT_EQ(List(empty)->writeLengths[0], 6u);
    // Its values are an empty array, but an array: callers test the pointer.
    VarValue** values = nullptr;
    uint32_t count = 9;
    ASSERT_EQ(KSymGetValues(plain, empty, &values, &count), 1);
    EXPECT_NE(values, nullptr);
    EXPECT_EQ(count, 0u);
    KSymDeleteVarList(plain, empty);

    HVARLIST bits = Define(plain, {"%IX1.2", "%MB3", "Speed", "%IX1"});
    ASSERT_NE(bits, nullptr);
    const ksym::VarList* list = List(bits);
    // The bit travels with size 0 and one byte; %IX1 is no address but a symbol here.
    EXPECT_EQ(list->requests[0], Bytes({0x2E, 0, 4,   0, 0, 0,             //
                                        1,    0, 18,  0, 0, 0, 0, 0, 0, 0, //
                                        0,    0, 3,   0, 0, 0, 1, 0, 0, 0, //
                                        3,    0, 0,   0, 0, 0, 2, 0, 0, 0, //
                                        3,    0, 120, 0, 0, 0, 2, 0, 0, 0}));
    EXPECT_EQ(list->replyLengths[0], 6u + 2 + 2 + 3 + 3);
    EXPECT_EQ(list->varElementSizes, Bytes({255, 255, 2, 2}));
    KSymDeleteVarList(plain, bits);
}

TEST_F(VarListTest, SevenDwordsAtBlockSize64PackIntoThreeTelegrams) {
    const int32_t channel = Open(64);
    HVARLIST handle = Define(channel, {"%MD0", "%MD1", "%MD2", "%MD3", "%MD4", "%MD5", "Count"});
    ASSERT_NE(handle, nullptr);
    const ksym::VarList* list = List(handle);
    ASSERT_EQ(list->telegramCount, 3u);
    EXPECT_EQ(list->requestLengths, (std::vector<uint32_t>{36, 36, 16}));
    EXPECT_EQ(list->replyLengths, (std::vector<uint32_t>{21, 21, 11}));
    EXPECT_EQ(list->writeLengths, (std::vector<uint32_t>{51, 51, 21}));
    EXPECT_EQ(list->receiveBuffer.size(), 21u);
    for (uint32_t t = 0; t < 3; ++t) {
        EXPECT_EQ(list->requests[t].size(), list->requestLengths[t]);
    }
    // Telegram 1 begins with the fourth variable, %MD3 at byte 12.
    EXPECT_EQ(list->requests[1][2], 3);
    EXPECT_EQ(list->requests[1][8], 12);
    EXPECT_EQ(list->requests[2][6], 3); // Count, area 3
    EXPECT_EQ(list->nextTelegram, 0u);
    EXPECT_EQ(list->valuesReceived, 0u);
    KSymDeleteVarList(channel, handle);
}

TEST_F(VarListTest, DefinitionFailuresRecordTheirCodeAndLeaveNothing) {
    const int32_t channel = Open(64);
    const int32_t bare = Open(0, 0, false);
    struct Failure {
        int32_t channel;
        std::vector<const char*> names;
        int32_t code;
    };
    const Failure failures[] = {
        {channel + 1000, {"%MW4"}, KSYM_ERR_NO_SYMBOLS},      // no context
        {bare, {"%MW4"}, KSYM_ERR_NO_SYMBOLS},                // no symbols, even for this
        {channel, {"Speed", "Nothing"}, KSYM_ERR_NO_SYMBOLS}, // neither address nor symbol
        {channel, {"%MX1.16"}, KSYM_ERR_NO_SYMBOLS},          // no address, no symbol
        {channel, {"%mw5"}, KSYM_ERR_NO_SYMBOLS},
        {channel, {nullptr}, KSYM_ERR_NO_SYMBOLS},
        {channel, {"Big64"}, KSYM_ERR_TOO_BIG_READ},                      // 64 + 1 > 64
        {channel, {"Speed", "Big54", "Nothing"}, KSYM_ERR_TOO_BIG_WRITE}, // 54 + 11 > 64
        {channel, {"Huge"}, KSYM_ERR_TOO_BIG_READ},                       // 0xFFFFFFF8 never fits
    };
    const uint32_t listsBefore = ksym::LiveVarLists();
    for (const Failure& failure : failures) {
        KClientSetLastError(0);
        EXPECT_EQ(Define(failure.channel, failure.names), nullptr);
        EXPECT_EQ(KClientGetLastError(), failure.code) << failure.names.back();
    }
    EXPECT_EQ(ksym::LiveVarLists(), listsBefore) << "a failed list stayed behind";

    // s' between B - 16 and B - 11 passes both per-variable checks yet fits no telegram.
    const int32_t tight = Open(70);
    for (const char* name : {"Big54"}) { // 54 = 70 - 16
        EXPECT_EQ(Define(tight, {"Speed", name}), nullptr);
        EXPECT_EQ(KClientGetLastError(), KSYM_ERR_TOO_BIG_WRITE);
    }
    const int32_t fits = Open(71); // 54 + 17
    HVARLIST handle = Define(fits, {"Speed", "Big54"});
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(List(handle)->telegramCount, 2u);
    KSymDeleteVarList(fits, handle);
    // Below 17 bytes nothing fits an empty telegram.
    const int32_t tiny = Open(16);
    EXPECT_EQ(Define(tiny, {"%MB0"}), nullptr);
    EXPECT_EQ(KClientGetLastError(), KSYM_ERR_TOO_BIG_WRITE);
    // Without a block limit a telegram is still at most 2^31 - 1 bytes: the hostile size
    // does not even fit a reply.
    const int32_t unlimited = Open(0);
    EXPECT_EQ(Define(unlimited, {"Huge"}), nullptr);
    EXPECT_EQ(KClientGetLastError(), KSYM_ERR_TOO_BIG_READ);
}

TEST_F(VarListTest, DescriptorsNullHandlesAndDebugLines) {
    const int32_t channel = Open(0);
    const KSymVarDesc speed{"Speed"};
    const KSymVarDesc count{"Count"};
    const KSymVarDesc* descriptors[] = {&speed, &count};
    HVARLIST handle = KSymDefineVarListByDesc(channel, descriptors, 2);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(KSymGetNumOfVars(channel, handle), 2u);
    std::vector<std::string> lines;
    for (const fake::DebugLine& line : fake::DebugLines()) {
        lines.push_back(line.text);
    }
    ASSERT_GE(lines.size(), 3u);
    char byDesc[100];
    std::snprintf(byDesc, sizeof byDesc, "KSymDefineVarListByDesc(C=%d, hVarList=%ld)\n", channel,
                  static_cast<long>(reinterpret_cast<intptr_t>(handle)));
    EXPECT_EQ(lines[lines.size() - 3], "KSymDefineVarList(C=" + std::to_string(channel) + ")\n");
    EXPECT_EQ(lines[lines.size() - 2], byDesc);

    KClientSetLastError(0);
    EXPECT_EQ(KSymGetNumOfVars(channel, nullptr), 0u);
    EXPECT_EQ(KClientGetLastError(), KSYM_ERR_NULL_VARLIST);
    KClientSetLastError(0);
    EXPECT_EQ(KSymDeleteVarList(channel, nullptr), 0);
    EXPECT_EQ(KClientGetLastError(), KSYM_ERR_NULL_VARLIST);
    KSymEnterVarListAccess(channel, nullptr); // ignored
    KSymLeaveVarListAccess(channel, nullptr);

    const KSymVarDesc unknown{"Nothing"};
    const KSymVarDesc* bad[] = {&speed, &unknown};
    EXPECT_EQ(KSymDefineVarListByDesc(channel, bad, 2), nullptr);
    EXPECT_EQ(KClientGetLastError(), KSYM_ERR_NO_SYMBOLS);
    EXPECT_EQ(fake::DebugLines().back().text,
              "KSymDefineVarListByDesc(C=" + std::to_string(channel) + ", hVarList=0)\n");

    // Deleting any list of the channel ends the read in progress, whichever list it is.
    const uint32_t listsBefore = ksym::LiveVarLists();
    HVARLIST other = Define(channel, {"Count"});
    ASSERT_EQ(KSymSendVarList(channel, handle), 1);
    EXPECT_EQ(KSymDeleteVarList(channel, other), 1);
    EXPECT_EQ(Context(channel)->pendingRead.load(), nullptr);
    KSymDeleteVarList(channel, handle);
    EXPECT_EQ(ksym::LiveVarLists(), listsBefore - 1);
}

TEST_F(VarListTest, ListsOutliveTheirChannelAndSymbols) {
    const int32_t channel = Open(0);
    HVARLIST handle = Define(channel, {"Speed", "%MW4"});
    ASSERT_NE(handle, nullptr);
    KSymDeleteSymbols(channel);
    EXPECT_EQ(KSymGetNumOfVars(channel, handle), 2u);
    EXPECT_EQ(KSymSendVarList(channel, handle), 1) << "unloading symbols leaves the list usable";
    KSymCloseChannel(channel);
    channels_.clear();
    // The channel is gone: the list neither reads nor writes, and deleting it is safe.
    EXPECT_EQ(KSymSendVarList(channel, handle), 0);
    EXPECT_EQ(KClientGetLastError(), KSYM_ERR_NO_SYMBOLS);
    const void* buffers[] = {"\1\2", "\3\4"};
    EXPECT_EQ(KSymWriteVarList(channel, handle, buffers), 0);
    EXPECT_EQ(KClientGetLastError(), KSYM_ERR_NO_SYMBOLS);
    EXPECT_TRUE(List(handle)->context->closed.load());
    EXPECT_EQ(ksym::FindChannelContext(channel), nullptr);
    // The list kept the retired context alive, and it goes with the list.
    const uint32_t contexts = ksym::LiveChannelContexts();
    EXPECT_EQ(KSymDeleteVarList(channel, handle), 1);
    EXPECT_EQ(ksym::LiveChannelContexts(), contexts - 1);
}

} // namespace
