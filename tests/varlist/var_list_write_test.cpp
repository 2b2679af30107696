#include <gtest/gtest.h>

#include "var_list_test_support.h"

namespace {

using ksymtest::Bytes;
using ksymtest::kNotifyMsg;
using ksymtest::VarListTest;
using ksymtest::WaitPosted;

TEST_F(VarListTest, WriteTelegramsCarryAddressesValuesAndZeroSpareBytes) {
    const int32_t plain = Open(0);
    const uint16_t word = 0x1234;
    const void* one[] = {&word};
    HVARLIST handle = Define(plain, {"%MW4"});
    ASSERT_EQ(KSymWriteVarList(plain, handle, one), 1);
    EXPECT_EQ(Sent(plain).back(),
              Bytes({0x3C, 0, 1, 0, 0, 0, 0, 0, 8, 0, 0, 0, 2, 0, 0, 0, 0x34, 0x12, 0}));
    EXPECT_EQ(List(handle)->nextTelegram, 0u);
    EXPECT_EQ(Context(plain)->pendingRead.load(), nullptr) << "a write marks no read";
    KSymDeleteVarList(plain, handle);

    // A 2-byte and a 4-byte variable: 6 + 13 + 15 bytes, the last two spare.
    const uint32_t dword = 0xA1B2C3D4;
    const void* two[] = {&word, &dword};
    HVARLIST pair = Define(plain, {"Speed", "Count"});
    ASSERT_EQ(KSymWriteVarList(plain, pair, two), 1);
    EXPECT_EQ(Sent(plain).back(),
              Bytes({0x3C, 0, 2, 0, 0, 0,                         //
                     3,    0, 0, 0, 0, 0, 2, 0, 0, 0, 0x34, 0x12, //
                     3,    0, 4, 0, 0, 0, 4, 0, 0, 0, 0xD4, 0xC3, 0xB2, 0xA1, 0, 0}));
    KSymDeleteVarList(plain, pair);

    // On a swapping channel: the fields and each element reversed, bytes and strings not,
    // a bit with size 0 and one byte, a direct address's value as it stands.
    const int32_t swapped = Open(0, 1);
    const uint8_t arr[6] = {1, 2, 3, 4, 5, 6};
    const char name[9] = "abcdefgh";
    const uint8_t bit = 1;
    const uint16_t direct = 0x5566;
    const void* values[] = {&dword, arr, name, &bit, &direct};
    HVARLIST mixed = Define(swapped, {"Count", "Arr", "Name", "%QX0.3", "%MW7"});
    ASSERT_EQ(KSymWriteVarList(swapped, mixed, values), 1);
    std::vector<uint8_t> expected = {0x3C, 0, 0, 0, 0, 5};
    auto add = [&](std::vector<uint8_t> bytes) {
        expected.insert(expected.end(), bytes.begin(), bytes.end());
    };
    add({0, 3, 0, 0, 0, 4, 0, 0, 0, 4, 0xA1, 0xB2, 0xC3, 0xD4});
    add({0, 3, 0, 0, 0, 8, 0, 0, 0, 6, 2, 1, 4, 3, 6, 5});
    add({0, 3, 0, 0, 0, 14, 0, 0, 0, 9, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 0});
    add({0, 2, 0, 0, 0, 3, 0, 0, 0, 0, 1});
    add({0, 0, 0, 0, 0, 14, 0, 0, 0, 2, 0x66, 0x55});
    add({0, 0, 0, 0, 0});
    EXPECT_EQ(Sent(swapped).back(), expected);
    KSymDeleteVarList(swapped, mixed);
}

TEST_F(VarListTest, WriteRefusalsAndTheirCodes) {
    const int32_t channel = Open(64);
    const uint32_t value = 7;
    const void* buffers[] = {&value, &value, &value, &value};
    KClientSetLastError(0);
    EXPECT_EQ(KSymWriteVarList(channel, nullptr, buffers), 0);
    EXPECT_EQ(KClientGetLastError(), KSYM_ERR_NULL_VARLIST);

    // Four 4-byte values need two telegrams at block size 64.
    const char* four[] = {"%MD0", "%MD1", "%MD2", "%MD3"};
    HVARLIST multi = KSymDefineVarList(channel, four, 4);
    ASSERT_EQ(List(multi)->telegramCount, 2u);
    EXPECT_EQ(KSymWriteVarList(channel, multi, buffers), 0);
    EXPECT_EQ(KClientGetLastError(), KSYM_ERR_MULTI_TELEGRAM);
    const uint32_t listsBefore = ksym::LiveVarLists();
    EXPECT_EQ(KSymWriteVars(channel, four, 4, buffers), 0);
    EXPECT_EQ(KClientGetLastError(), KSYM_ERR_TOO_BIG_WRITE);
    EXPECT_EQ(ksym::LiveVarLists(), listsBefore) << "the temporary list remained";
    const char* unknown[] = {"Nothing"};
    EXPECT_EQ(KSymWriteVars(channel, unknown, 1, buffers), 0);
    EXPECT_EQ(KClientGetLastError(), KSYM_ERR_NO_SYMBOLS);

    // A read in progress refuses writes; the one-shot write leaves that read running.
    HVARLIST reading = Define(channel, {"Speed"});
    ASSERT_EQ(KSymSendVarList(channel, reading), 1);
    HVARLIST single = Define(channel, {"Count"});
    EXPECT_EQ(KSymWriteVarList(channel, single, buffers), 0);
    EXPECT_EQ(KClientGetLastError(), KSYM_ERR_READ_PENDING);
    const char* count[] = {"Count"};
    EXPECT_EQ(KSymWriteVars(channel, count, 1, buffers), 0);
    EXPECT_EQ(KClientGetLastError(), KSYM_ERR_READ_PENDING);
    EXPECT_EQ(Context(channel)->pendingRead.load(), List(reading));
    KSymDeleteVarList(channel, reading);

    // Not taken whole by the client: 0 without a code of its own. Missing buffers: 0, with
    // the code for a null buffer, so that no earlier code lingers.
    fake::SetWriteLimit(5);
    KClientSetLastError(0);
    EXPECT_EQ(KSymWriteVars(channel, count, 1, buffers), 0);
    EXPECT_EQ(KClientGetLastError(), 0);
    fake::SetWriteLimit(-1);
    EXPECT_EQ(KSymWriteVars(channel, count, 1, buffers), 1);
    const size_t sent = Sent(channel).size();
    KClientSetLastError(KSYM_ERR_READ_PENDING);
    EXPECT_EQ(KSymWriteVarList(channel, single, nullptr), 0);
    EXPECT_EQ(KClientGetLastError(), KCLIENT_ERR_INVALID_ARGUMENT);
    const void* missing[] = {nullptr};
    KClientSetLastError(KSYM_ERR_READ_PENDING);
    EXPECT_EQ(KSymWriteVarList(channel, single, missing), 0);
    EXPECT_EQ(KClientGetLastError(), KCLIENT_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(Sent(channel).size(), sent);
    KSymDeleteVarList(channel, single);
    KSymDeleteVarList(channel, multi);
}

TEST_F(VarListTest, WriteResultReadsTheStatusWord) {
    const int32_t plain = Open(0);
    const int32_t swapped = Open(0, 1);
    struct Case {
        int32_t channel;
        std::vector<uint8_t> reply;
        int32_t result;
    };
    const Case cases[] = {
        {plain, {0, 0}, 1},   {plain, {0, 0, 9, 9}, 1}, {plain, {1, 0}, 0},      {plain, {0}, 0},
        {swapped, {0, 0}, 1}, {swapped, {0, 1}, 0},     {swapped, {1, 0, 0}, 0},
    };
    for (const Case& c : cases) {
        fake::QueueReply(c.channel, COMM_MESSAGEREADY, static_cast<uint32_t>(c.reply.size()),
                         c.reply);
        ASSERT_TRUE(WaitPosted(window_, kNotifyMsg)) << "the reply is passed to the caller";
        KClientSetLastError(55);
        EXPECT_EQ(KSymWriteResult(c.channel), c.result);
        EXPECT_EQ(KClientGetLastError(), 0);
    }
    EXPECT_EQ(KSymWriteResult(plain + 1000), 0);
    EXPECT_EQ(KClientGetLastError(), KSYM_ERR_NO_SYMBOLS);
}

} // namespace
