// The library with the real client library and its embedded simulator: a notification
// reaches the caller's window on the library's own thread.
#include <gtest/gtest.h>

#include <vector>

#include "extern/kclient.h"
#include "include/ksymbol.h"
#include "support/message_wait.h"

namespace {

using ksymtest::kNotifyMsg;
using ksymtest::WaitPosted;

class ChannelEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        window_ = CreateWindowExA(0, "STATIC", "e2e", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                  nullptr);
        ASSERT_NE(window_, nullptr);
    }
    void TearDown() override { DestroyWindow(window_); }

    // Sends the project-identification request and returns the reply the window was told of.
    std::vector<uint8_t> AskProjectId(int32_t channel) {
        const uint8_t request = 0x11;
        EXPECT_EQ(KClientWrite(channel, &request, 1), 1);
        auto posted = WaitPosted(window_, kNotifyMsg);
        if (!posted || posted->wParam != COMM_MESSAGEREADY) {
            ADD_FAILURE() << "no COMM_MESSAGEREADY";
            return {};
        }
        std::vector<uint8_t> reply(static_cast<size_t>(posted->lParam));
        EXPECT_EQ(KClientRead(channel, reply.data(), static_cast<uint32_t>(reply.size())),
                  static_cast<int32_t>(reply.size()));
        return reply;
    }

    HWND window_ = nullptr;
};

TEST_F(ChannelEndToEnd, RepliesReachTheWindowThroughBothOpenFamilies) {
    EXPECT_EQ(KSymVersion(), 0x0100000Bu);
    const int32_t channel = KSymOpenChannel(nullptr, 0, window_, kNotifyMsg);
    ASSERT_NE(channel, -1);
    const std::vector<uint8_t> reply = AskProjectId(channel);
    ASSERT_GE(reply.size(), 6u);
    EXPECT_EQ(reply[0], 0);
    EXPECT_EQ(KSymCloseChannel(channel), 1);

    const int32_t kChannel = KSymKOpenChannel("sim:order=big", 0, 0, window_, kNotifyMsg);
    ASSERT_NE(kChannel, -1);
    const std::vector<uint8_t> bigReply = AskProjectId(kChannel);
    ASSERT_GE(bigReply.size(), 6u);
    EXPECT_EQ(bigReply[2], 0x20); // the id's most significant byte first
    EXPECT_EQ(KSymCloseChannel(kChannel), 1);
}

TEST_F(ChannelEndToEnd, AFatalErrorOfTheStationIsPassedOn) {
    const int32_t channel = KSymOpenChannel("sim:fault=fatal", 0, window_, kNotifyMsg);
    ASSERT_NE(channel, -1);
    const uint8_t request = 0x02;
    ASSERT_EQ(KClientWrite(channel, &request, 1), 1);
    auto posted = WaitPosted(window_, kNotifyMsg);
    ASSERT_TRUE(posted);
    EXPECT_EQ(posted->wParam, static_cast<WPARAM>(COMM_FATALERROR));
    KSymCloseChannel(channel);
}

TEST_F(ChannelEndToEnd, ABadStationAddressIsRefusedWithTheClientsCode) {
    EXPECT_EQ(KSymOpenChannel("sim:bogus=1", 0, window_, kNotifyMsg), -1);
    EXPECT_EQ(KClientGetLastError(), KCLIENT_ERR_BAD_STATION);
}

} // namespace
