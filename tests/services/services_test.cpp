#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "frame/channel_table.h"
#include "frame_test_support.h"
#include "include/ksymbol.h"
#include "services/project_identification.h"

namespace {

using ksymtest::FrameTest;
using ksymtest::kNotifyMsg;
using ksymtest::WaitPosted;

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<uint8_t> bytes;
    for (int v : values) {
        bytes.push_back(static_cast<uint8_t>(v));
    }
    return bytes;
}

std::string Text(const char* text) {
    return text == nullptr ? "(null)" : text;
}

class ServicesTest : public FrameTest {
protected:
    void SetUp() override {
        FrameTest::SetUp();
        channel_ = KSymOpenChannel("sim", 0, window_, kNotifyMsg);
        ASSERT_NE(channel_, -1);
        context_ = ksym::FindChannelContext(channel_);
    }
    void TearDown() override {
        KSymCloseChannel(channel_);
        FrameTest::TearDown();
    }
    // Makes `reply` the channel's current reply, as its announcement does.
    void Reply(const std::vector<uint8_t>& reply) {
        fake::QueueReply(channel_, COMM_MESSAGEREADY, static_cast<uint32_t>(reply.size()), reply);
        ASSERT_TRUE(WaitPosted(window_, kNotifyMsg));
    }
    std::vector<uint8_t> LastSent() const { return fake::Telegrams().back().bytes; }

    int32_t channel_ = -1;
    ksym::ChannelContext* context_ = nullptr;
};

TEST_F(ServicesTest, RequestTelegramsInEitherOrder) {
    ASSERT_EQ(KSymLogin(channel_), 1);
    EXPECT_EQ(LastSent(), Bytes({1, 3, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    ASSERT_EQ(KSymLogout(channel_), 1);
    EXPECT_EQ(LastSent(), Bytes({2}));
    ASSERT_EQ(KSymPLCProjectId(channel_), 1);
    EXPECT_EQ(LastSent(), Bytes({0x11}));
    context_->swapBytes = 1;
    ASSERT_EQ(KSymLogin(channel_), 1);
    EXPECT_EQ(LastSent(), Bytes({1, 0, 0, 0, 3, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0}));
    fake::SetWriteLimit(0);
    EXPECT_EQ(KSymLogin(channel_), 0);
    EXPECT_EQ(KSymLogout(channel_), 0);
    EXPECT_EQ(KSymPLCProjectId(channel_), 0);
    EXPECT_EQ(KClientGetLastError(), 0);
    const std::string c = std::to_string(channel_);
    const auto lines = fake::DebugLines();
    EXPECT_EQ(lines[lines.size() - 1].text, "KSymPLCProjectId(C=" + c + ")\n");
    EXPECT_EQ(lines[lines.size() - 2].text, "KSymLogout(C=" + c + ")\n");
    EXPECT_EQ(lines[lines.size() - 3].text, "KSymLogin(C=" + c + ")\n");
}

TEST_F(ServicesTest, LoginAndLogoutResultsCompareTheStatusWord) {
    Reply(Bytes({0xE8, 0x03}));
    EXPECT_EQ(KSymLoginResult(channel_), 1);
    EXPECT_EQ(KSymLogoutResult(channel_), 0);
    Reply(Bytes({0, 0, 0xE8}));
    EXPECT_EQ(KSymLogoutResult(channel_), 1);
    EXPECT_EQ(KSymLoginResult(channel_), 0);
    Reply(Bytes({0xE8}));
    EXPECT_EQ(KSymLoginResult(channel_), 0);
    context_->swapBytes = 1;
    Reply(Bytes({0x03, 0xE8}));
    EXPECT_EQ(KSymLoginResult(channel_), 1);
    EXPECT_EQ(KClientGetLastError(), 0);
}

TEST_F(ServicesTest, ProjectIdentificationRepliesOfEveryLength) {
    const ProjectInfo* info = KSymGetProjectInfo(channel_);
    ASSERT_EQ(info, &context_->projectInfo);
    EXPECT_EQ(info->infoProjectId, 0u);
    EXPECT_EQ(info->infoNumber, 0u);
    for (const char* text :
         {info->infoText1, info->infoText2, info->infoText3, info->infoText4, info->infoText5}) {
        EXPECT_EQ(Text(text), "");
    }
    context_->projectId.store(0x77);
    uint32_t id = 0;

    // The full layout: numbers, then five texts in the order 4, 5, 1, 2, 3.
    std::vector<uint8_t> full = Bytes({0, 0, 0x44, 0x33, 0x22, 0x11, 9, 0, 0, 0});
    for (const char* text : {"project", "version", "description", "author", "date"}) {
        full.insert(full.end(), text, text + std::strlen(text) + 1);
    }
    Reply(full);
    ASSERT_EQ(KSymPLCProjectIdResult(channel_, &id), 1);
    EXPECT_EQ(id, 0x11223344u);
    EXPECT_EQ(info->infoNumber, 9u);
    EXPECT_EQ(Text(info->infoText4), "project");
    EXPECT_EQ(Text(info->infoText5), "version");
    EXPECT_EQ(Text(info->infoText1), "description");
    EXPECT_EQ(Text(info->infoText2), "author");
    EXPECT_EQ(Text(info->infoText3), "date");
    EXPECT_EQ(KSymGetProjectId(channel_), 0x77) << "the symbol table's identifier is separate";

    // 5 bytes: the identifier after a one-byte status; 6 bytes: after two. Texts null.
    Reply(Bytes({0, 1, 2, 3, 4}));
    ASSERT_EQ(KSymPLCProjectIdResult(channel_, &id), 1);
    EXPECT_EQ(id, 0x04030201u);
    EXPECT_EQ(info->infoNumber, 0u);
    EXPECT_EQ(info->infoText1, nullptr);
    EXPECT_EQ(info->infoText4, nullptr);
    Reply(Bytes({0, 0, 1, 2, 3, 4}));
    ASSERT_EQ(KSymPLCProjectIdResult(channel_, &id), 1);
    EXPECT_EQ(id, 0x04030201u);
    // 4 bytes: refused; record and cell keep what they hold.
    id = 5;
    Reply(Bytes({0, 0, 1, 2}));
    EXPECT_EQ(KSymPLCProjectIdResult(channel_, &id), 0);
    EXPECT_EQ(id, 5u);
    EXPECT_EQ(info->infoProjectId, 0x04030201u);

    // Cut inside the layout: a number cut short is 0, texts missing or unterminated empty.
    Reply(Bytes({0, 0, 1, 0, 0, 0, 7, 0}));
    ASSERT_EQ(KSymPLCProjectIdResult(channel_, &id), 1);
    EXPECT_EQ(info->infoNumber, 0u);
    EXPECT_EQ(Text(info->infoText4), "");
    EXPECT_EQ(Text(info->infoText3), "");
    Reply(Bytes({0, 0, 1, 0, 0, 0, 7, 0, 0, 0, 'a', 'b', 0, 'c', 'd'}));
    ASSERT_EQ(KSymPLCProjectIdResult(channel_, &id), 1);
    EXPECT_EQ(info->infoNumber, 7u);
    EXPECT_EQ(Text(info->infoText4), "ab");
    EXPECT_EQ(Text(info->infoText5), "") << "not terminated inside the reply";
    EXPECT_EQ(Text(info->infoText1), "");
    EXPECT_EQ(Text(info->infoText3), "");

    // Swapped numbers.
    context_->swapBytes = 1;
    Reply(Bytes({0, 0, 0x11, 0x22, 0x33, 0x44, 0, 0, 0, 2, 0, 0, 0, 0, 0}));
    ASSERT_EQ(KSymPLCProjectIdResult(channel_, &id), 1);
    EXPECT_EQ(id, 0x11223344u);
    EXPECT_EQ(info->infoNumber, 2u);
    EXPECT_EQ(KSymGetProjectId(channel_), 0x77);
}

TEST_F(ServicesTest, ChannelsWithoutContextRecord19) {
    const int32_t none = channel_ + 1000;
    uint32_t id = 3;
    KClientSetLastError(0);
    EXPECT_EQ(KSymGetProjectId(none), 0);
    EXPECT_EQ(KClientGetLastError(), KSYM_ERR_NO_SYMBOLS);
    KClientSetLastError(0);
    EXPECT_EQ(KSymGetProjectInfo(none), nullptr);
    EXPECT_EQ(KClientGetLastError(), KSYM_ERR_NO_SYMBOLS);
    using Service = int32_t (*)(int32_t);
    for (Service service :
         {&KSymPLCProjectId, &KSymLogin, &KSymLoginResult, &KSymLogout, &KSymLogoutResult}) {
        KClientSetLastError(0);
        EXPECT_EQ(service(none), 0);
        EXPECT_EQ(KClientGetLastError(), KSYM_ERR_NO_SYMBOLS);
    }
    KClientSetLastError(0);
    EXPECT_EQ(KSymPLCProjectIdResult(none, &id), 0);
    EXPECT_EQ(KClientGetLastError(), KSYM_ERR_NO_SYMBOLS);
    EXPECT_EQ(id, 3u);
    // With a context and no symbols: 0 and error 0.
    KClientSetLastError(9);
    EXPECT_EQ(KSymGetProjectId(channel_), 0);
    EXPECT_EQ(KClientGetLastError(), 0);
    // After the symbols are deleted the record's texts are null; reading it stays safe.
    KSymDeleteSymbols(channel_);
    EXPECT_EQ(KSymGetProjectInfo(channel_)->infoText1, nullptr);
}

TEST_F(ServicesTest, ReservedEntryPointsDoNothingAtAll) {
    using Reserved = int32_t (*)(int32_t, ...);
    const Reserved reserved[] = {
        &KSymStart,          &KSymStartResult,
        &KSymStop,           &KSymStopResult,
        &KSymReset,          &KSymResetResult,
        &KSymResetCold,      &KSymResetColdResult,
        &KSymResetOrigin,    &KSymResetOriginResult,
        &KSymDefineODList,   &KSymDefineODListByFile,
        &KSymDeleteODList,   &KSymODResult,
        &KSymODCreate,       &KSymODDelete,
        &KSymODQuery,        &KSymODRead,
        &KSymODWrite,        &KSymBuildODCSV,
        &KSymBuildODCSVFile,
    };
    const size_t lines = fake::DebugLines().size();
    const size_t sent = fake::Telegrams().size();
    for (Reserved entry : reserved) {
        KClientSetLastError(123);
        EXPECT_EQ(entry(channel_, "anything", 4, nullptr), 0);
        EXPECT_EQ(entry(-1), 0);
        EXPECT_EQ(KClientGetLastError(), 123);
    }
    EXPECT_EQ(fake::DebugLines().size(), lines);
    EXPECT_EQ(fake::Telegrams().size(), sent);
}

} // namespace
