// The real KSymbol module (its own entry point, its export table) bound to a client library
// that is not the real one, by the client's file name alone: the scripted client, exporting
// of the client's interface only the functions KSymbol calls. It loads symbols, reads a list
// of three telegrams, writes and identifies the project through it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "fakes/fake_kclient.h"
#include "include/ksymbol.h"
#include "symbols/loader_test_support.h"
#include "support/message_wait.h"

namespace {

using ksymtest::kNotifyMsg;
using ksymtest::StationReply;
using ksymtest::WaitPosted;

constexpr uint32_t kProjectId = 0x51A7;

// The station: identification, the upload of the small project, reads and writes.
std::vector<StationReply> Answer(const std::vector<uint8_t>& telegram, size_t) {
    switch (telegram[0]) {
    case 0x11:
        return {ksymtest::ProjectIdReply(0, kProjectId)};
    case 0x31:
        return {ksymtest::Chunk(ksymtest::SmallProject(kProjectId), false)};
    case 0x2E:
        return {StationReply(COMM_MESSAGEREADY, ksymtest::ReadReplyFor(telegram, 0, 0x42))};
    default: // the write
        return {StationReply(COMM_MESSAGEREADY, {0, 0})};
    }
}

TEST(SwappedClient, TheRealLibraryServesThroughAnyClientWithTheInterfaceItCalls) {
#ifdef _WIN32
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Quorvane\\Korvan Server\\Config");
#endif
    fake::Reset();
    const HWND window = CreateWindowExA(0, "STATIC", "swapped", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                        nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(KSymVersion(), 0x0100000Bu) << "the module's own entry point did not run";
    const int32_t channel = KSymOpenChannelEx("station", 0, window, kNotifyMsg, 64);
    ASSERT_NE(channel, -1);
    EXPECT_EQ(fake::OpenCalls().size(), 1u) << "another client library served the open";
    {
        ksymtest::ScriptedStation station(channel, &Answer);
        SymbolEntry** symbols = nullptr;
        int32_t count = 0;
        ASSERT_EQ(KSymLoadSymbols(channel, nullptr, &symbols, &count), 1);
        EXPECT_EQ(count, 5);

        const char* const names[] = {"%MD0", "%MD1", "%MD2", "%MD3", "%MD4", "%MD5", "%MD6"};
        HVARLIST list = KSymDefineVarList(channel, names, 7);
        ASSERT_NE(list, nullptr);
        ASSERT_EQ(KSymSendVarList(channel, list), 1);
        const auto done = WaitPosted(window, kNotifyMsg);
        ASSERT_TRUE(done);
        EXPECT_EQ(done->lParam, 10 * 7 + 6);
        VarValue** values = nullptr;
        uint32_t received = 0;
        KSymEnterVarListAccess(channel, list);
        ASSERT_EQ(KSymGetValues(channel, list, &values, &received), 1);
        EXPECT_EQ(received, 7u);
        EXPECT_EQ(values[6]->data[0], ksymtest::MemoryByte(0, 24));
        KSymLeaveVarListAccess(channel, list);
        KSymDeleteVarList(channel, list);

        const uint16_t word = 0x1234;
        const void* buffers[] = {&word};
        const char* const written[] = {"%MW4"};
        ASSERT_EQ(KSymWriteVars(channel, written, 1, buffers), 1);
        ASSERT_TRUE(WaitPosted(window, kNotifyMsg));
        EXPECT_EQ(KSymWriteResult(channel), 1);

        ASSERT_EQ(KSymPLCProjectId(channel), 1);
        ASSERT_TRUE(WaitPosted(window, kNotifyMsg));
        uint32_t id = 0;
        EXPECT_EQ(KSymPLCProjectIdResult(channel, &id), 1);
        EXPECT_EQ(id, kProjectId);
    }
    size_t reads = 0;
    for (const fake::Telegram& telegram : fake::Telegrams()) {
        reads += telegram.bytes[0] == 0x2E ? 1 : 0;
    }
    EXPECT_EQ(reads, 3u);
    EXPECT_EQ(KSymCloseChannel(channel), 1);
    DestroyWindow(window);
}

} // namespace
