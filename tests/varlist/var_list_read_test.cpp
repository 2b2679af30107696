#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "var_list_test_support.h"

namespace {

using ksymtest::Bytes;
using ksymtest::kNotifyMsg;
using ksymtest::MemoryByte;
using ksymtest::NothingPosted;
using ksymtest::ReadReplyFor;
using ksymtest::ScriptedStation;
using ksymtest::StationReply;
using ksymtest::VarListTest;
using ksymtest::WaitPosted;

// A station that answers every read request as ReadReplyFor does, with `edit` applied to the
// reply of each telegram (by its number among the channel's telegrams).
ScriptedStation::Answer Reads(int32_t swap,
                              std::function<void(std::vector<uint8_t>&, size_t)> edit = {}) {
    return [swap, edit](const std::vector<uint8_t>& telegram, size_t n) {
        StationReply reply;
        reply.bytes = ReadReplyFor(telegram, swap, static_cast<uint32_t>(0x100 + n));
        if (edit) {
            edit(reply.bytes, n);
        }
        return std::vector<StationReply>{reply};
    };
}

std::vector<uint8_t> Data(const VarValue* value, size_t size) {
    return std::vector<uint8_t>(value->data, value->data + size);
}

// The bytes of `size` at area 3, offset, as the station holds them.
std::vector<uint8_t> Memory(uint32_t offset, uint32_t size, uint16_t area = 3) {
    std::vector<uint8_t> bytes;
    for (uint32_t k = 0; k < size; ++k) {
        bytes.push_back(MemoryByte(area, offset + k));
    }
    return bytes;
}

TEST_F(VarListTest, ThreeTelegramReadIsDrivenByTheNotificationThreadAndPostedOnce) {
    const int32_t channel = Open(64);
    ScriptedStation station(channel, Reads(0));
    HVARLIST handle = Define(channel, {"%MD0", "%MD1", "%MD2", "%MD3", "%MD4", "%MD5", "Count"});
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(KSymSendVarList(channel, handle), 1);
    const auto posted = WaitPosted(window_, kNotifyMsg);
    ASSERT_TRUE(posted);
    EXPECT_EQ(posted->wParam, static_cast<WPARAM>(COMM_MESSAGEREADY));
    EXPECT_EQ(posted->lParam, static_cast<LPARAM>(10 * 7 + 6));
    EXPECT_TRUE(NothingPosted(window_)) << "the completion was posted more than once";
    const auto sent = Sent(channel);
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0], List(handle)->requests[0]);
    EXPECT_EQ(sent[2], Bytes({0x2E, 0, 1, 0, 0, 0, 3, 0, 4, 0, 0, 0, 4, 0, 0, 0}));
    EXPECT_EQ(Context(channel)->pendingRead.load(), nullptr);

    KSymEnterVarListAccess(channel, handle);
    VarValue** values = nullptr;
    uint32_t count = 99;
    ASSERT_EQ(KSymGetValues(channel, handle, &values, &count), 1);
    EXPECT_EQ(count, 7u);
    for (uint32_t i = 0; i < 6; ++i) {
        EXPECT_EQ(values[i]->valid, 1) << i;
        EXPECT_EQ(Data(values[i], 4), Memory(4 * i, 4, 0)) << i;
        EXPECT_EQ(values[i]->replyWord, 0x100u + i / 3) << i;
    }
    EXPECT_EQ(Data(values[6], 4), Memory(4, 4));
    KSymLeaveVarListAccess(channel, handle);
    EXPECT_EQ(Sent(channel).size(), 3u) << "a complete read reads nothing more";
    KSymDeleteVarList(channel, handle);
}

TEST_F(VarListTest, ShortRepliesAndAbsentItemsInvalidateOnlyTheirValues) {
    const int32_t channel = Open(64);
    // Second read: telegram 1's reply is one byte short, and telegram 0's first item absent.
    ScriptedStation station(channel, Reads(0, [&](std::vector<uint8_t>& reply, size_t n) {
                                if (n == 3) {
                                    reply[6] = 0;
                                    reply[7] ^= 0xFF;
                                }
                                if (n == 4) {
                                    reply.pop_back();
                                }
                            }));
    HVARLIST handle = Define(channel, {"%MD0", "%MD1", "%MD2", "%MD3", "%MD4", "%MD5", "Count"});
    ASSERT_EQ(KSymSendVarList(channel, handle), 1);
    ASSERT_TRUE(WaitPosted(window_, kNotifyMsg));
    VarValue** values = nullptr;
    uint32_t count = 0;
    KSymGetValues(channel, handle, &values, &count);
    for (uint32_t i = 0; i < 7; ++i) {
        ASSERT_EQ(values[i]->valid, 1);
        std::memset(values[i]->data, 0xEE, 4); // marks what a later read leaves alone
    }

    ASSERT_EQ(KSymSendVarList(channel, handle), 1) << "a completed read starts again";
    const auto posted = WaitPosted(window_, kNotifyMsg);
    ASSERT_TRUE(posted);
    EXPECT_EQ(posted->lParam, static_cast<LPARAM>(76));
    ASSERT_EQ(KSymGetValues(channel, handle, &values, &count), 1);
    EXPECT_EQ(count, 7u);
    EXPECT_EQ(values[0]->valid, 0);
    EXPECT_EQ(Data(values[0], 4), Bytes({0xEE, 0xEE, 0xEE, 0xEE}));
    EXPECT_EQ(values[0]->replyWord, 0x100u) << "an absent value keeps its reply word";
    for (uint32_t i : {1u, 2u, 6u}) {
        EXPECT_EQ(values[i]->valid, 1) << i;
    }
    EXPECT_EQ(Data(values[6], 4), Memory(4, 4));
    for (uint32_t i : {3u, 4u, 5u}) {
        EXPECT_EQ(values[i]->valid, 0) << i;
        EXPECT_EQ(Data(values[i], 4), Bytes({0xEE, 0xEE, 0xEE, 0xEE})) << i;
    }
    KSymDeleteVarList(channel, handle);
}

TEST_F(VarListTest, ValuesAreConvertedElementByElement) {
    for (const int32_t swap : {0, 1}) {
        const int32_t channel = Open(0, swap);
        ScriptedStation station(channel, Reads(swap));
        HVARLIST handle =
            Define(channel, {"Speed", "Count", "Arr", "Name", "Block", "Odd", "%MW4", "%IX1.2"});
        ASSERT_NE(handle, nullptr);
        ASSERT_EQ(KSymSendVarList(channel, handle), 1);
        ASSERT_TRUE(WaitPosted(window_, kNotifyMsg));
        VarValue** values = nullptr;
        uint32_t count = 0;
        ASSERT_EQ(KSymGetValues(channel, handle, &values, &count), 1);
        ASSERT_EQ(count, 8u);
        auto reversed = [&](std::vector<uint8_t> bytes, size_t unit) {
            for (size_t at = 0; swap != 0 && at < bytes.size(); at += unit) {
                std::reverse(bytes.begin() + static_cast<long>(at),
                             bytes.begin() + static_cast<long>(at + unit));
            }
            return bytes;
        };
        EXPECT_EQ(Data(values[0], 2), reversed(Memory(0, 2), 2));
        EXPECT_EQ(Data(values[1], 4), reversed(Memory(4, 4), 4));
        EXPECT_EQ(Data(values[2], 6), reversed(Memory(8, 6), 2)) << "element order kept";
        EXPECT_EQ(Data(values[3], 9), Memory(14, 9)) << "strings are never converted";
        EXPECT_EQ(Data(values[4], 16), Memory(24, 16)) << "data blocks are never converted";
        EXPECT_EQ(Data(values[5], 7), Memory(40, 7)) << "elements that do not divide the size";
        EXPECT_EQ(Data(values[6], 2), Memory(8, 2, 0)) << "direct address: controller order";
        EXPECT_EQ(Data(values[7], 1), Bytes({1}));
        EXPECT_EQ(values[0]->replyWord, 0x100u) << "the reply word in host order";
        KSymDeleteVarList(channel, handle);
    }
}

TEST_F(VarListTest, ReadRefusalsAndTheirCodes) {
    const int32_t channel = Open(0);
    HVARLIST first = Define(channel, {"Speed"});
    HVARLIST second = Define(channel, {"Count"});
    KClientSetLastError(0);
    EXPECT_EQ(KSymSendVarList(channel, nullptr), 0);
    EXPECT_EQ(KClientGetLastError(), KSYM_ERR_NULL_VARLIST);
    VarValue** values = reinterpret_cast<VarValue**>(0x10);
    uint32_t count = 5;
    EXPECT_EQ(KSymGetValues(channel, nullptr, &values, &count), 0);
    EXPECT_EQ(values, nullptr);
    EXPECT_EQ(count, 0u);

    ASSERT_EQ(KSymSendVarList(channel, first), 1);
    KClientSetLastError(0);
    EXPECT_EQ(KSymSendVarList(channel, second), 0);
    EXPECT_EQ(KClientGetLastError(), KSYM_ERR_READ_PENDING);
    EXPECT_EQ(KSymSendVarList(channel, first), 0);
    EXPECT_EQ(Sent(channel).size(), 1u);
    // Deleting any list of the channel ends the read in progress; its telegram is still on
    // the wire, so reads are refused until its reply came (as the ended read's message).
    KSymDeleteVarList(channel, second);
    second = Define(channel, {"Count"});
    KClientSetLastError(0);
    EXPECT_EQ(KSymSendVarList(channel, second), 0);
    EXPECT_EQ(KClientGetLastError(), KSYM_ERR_READ_PENDING);
    const std::vector<uint8_t> late = ReadReplyFor(Sent(channel).back(), 0, 1);
    fake::QueueReply(channel, COMM_MESSAGEREADY, static_cast<uint32_t>(late.size()), late);
    const auto posted = WaitPosted(window_, kNotifyMsg);
    ASSERT_TRUE(posted);
    EXPECT_EQ(posted->lParam, static_cast<LPARAM>(late.size())) << "as a reply, not a read";
    EXPECT_EQ(List(first)->valuesReceived.load(), 0u);

    // A telegram the client does not take whole: the read stays pending until a deletion.
    fake::SetWriteLimit(3);
    EXPECT_EQ(KSymSendVarList(channel, second), 0);
    fake::SetWriteLimit(-1);
    EXPECT_EQ(KSymSendVarList(channel, first), 0);
    EXPECT_EQ(KClientGetLastError(), KSYM_ERR_READ_PENDING);
    KSymDeleteVarList(channel, second);
    EXPECT_EQ(KSymSendVarList(channel, first), 1);
    KSymDeleteVarList(channel, first);
}

TEST_F(VarListTest, ACallerHoldingTheListHoldsUpTheReplyStep) {
    const int32_t channel = Open(0);
    HVARLIST handle = Define(channel, {"Speed", "%MB9"});
    ASSERT_EQ(KSymSendVarList(channel, handle), 1);
    KSymEnterVarListAccess(channel, handle);
    const std::vector<uint8_t> reply = ReadReplyFor(Sent(channel).back(), 0, 7);
    fake::QueueReply(channel, COMM_MESSAGEREADY, static_cast<uint32_t>(reply.size()), reply);
    EXPECT_FALSE(WaitPosted(window_, kNotifyMsg, 200)) << "values changed under the caller";
    EXPECT_EQ(List(handle)->valuesReceived, 0u);
    KSymLeaveVarListAccess(channel, handle);
    ASSERT_TRUE(WaitPosted(window_, kNotifyMsg));
    VarValue** values = nullptr;
    uint32_t count = 0;
    ASSERT_EQ(KSymGetValues(channel, handle, &values, &count), 1);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(values[1]->valid, 1);
    EXPECT_EQ(values[1]->data[0], MemoryByte(0, 9));
    KSymDeleteVarList(channel, handle);
}

} // namespace
