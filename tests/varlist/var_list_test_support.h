// What the variable-list and service tests share: a channel on the fake client with a small
// symbol table, a station that answers read requests, and field helpers.
#ifndef KSYM_TESTS_VARLIST_VAR_LIST_TEST_SUPPORT_H
#define KSYM_TESTS_VARLIST_VAR_LIST_TEST_SUPPORT_H

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "extern/kutil.h"
#include "fakes/fake_kclient.h"
#include "frame/channel_table.h"
#include "frame_test_support.h"
#include "include/ksymbol.h"
#include "loader_test_support.h"
#include "formats/sdb_writer.h"
#include "symbols/sdb_reader.h"
#include "symbols/symbol_table.h"
#include "varlist/var_list.h"

namespace ksymtest {

// Symbols of the test project, all in area 3, with their sizes and element sizes.
//   Speed    INT, 2 bytes (2)        Count   DINT, 4 (4)        Arr   3 x INT, 6 (2)
//   Name     string, 9 (0)           Block   data block, 16 (0) Odd   7 bytes of INT (2)
//   Huge     0xFFFFFFF8 (from a hostile file)                   Big64, Big54: data blocks
//   %MW4     DINT at 100 (also a direct address)                %IX1  INT at 120 (not one)
inline std::vector<uint8_t> VarListProject() {
    formats::SdbProject project;
    project.projectId = 0x1234;
    project.types = {
        {5, 2, "INT", 0, 0, {}, 0},
        {6, 4, "DINT", 0, 0, {}, 0},
        {formats::kSdbCodeArray, 6, "INTARR3", 0, 3, {}, 0},
        {formats::kSdbCodePlain8, 9, "STR8", 0, 0, {}, 0},
        {formats::kSdbCodeDataBlock, 16, "DB16", 0, 0, {}, 0},
        {formats::kSdbCodeArray, 7, "ODD7", 0, 3, {}, 0},
        {5, 0xFFFFFFF8u, "HUGE", 0, 0, {}, 0},
        {formats::kSdbCodeDataBlock, 64, "DB64", 0, 0, {}, 0},
        {formats::kSdbCodeDataBlock, 54, "DB54", 0, 0, {}, 0},
    };
    project.variables = {
        {"Speed", 0, 0, 3, 0},  {"Count", 1, 0, 3, 4},   {"Arr", 2, 0, 3, 8},
        {"Name", 3, 0, 3, 14},  {"Block", 4, 0, 3, 24},  {"Odd", 5, 0, 3, 40},
        {"Huge", 6, 0, 3, 0},   {"Big64", 7, 0, 3, 200}, {"Big54", 8, 0, 3, 300},
        {"%MW4", 1, 0, 3, 100}, {"%IX1", 0, 0, 3, 120},
    };
    return formats::WriteSdb(project);
}

// A channel opened through the library on the fake client, with the test project's symbols.
class VarListTest : public FrameTest {
protected:
    void TearDown() override {
        for (int32_t channel : channels_) {
            KSymCloseChannel(channel);
        }
        FrameTest::TearDown();
    }

    int32_t Open(uint32_t blockSize, int32_t swap = 0, bool symbols = true) {
        const int32_t channel = KSymOpenChannelEx("sim", 0, window_, kNotifyMsg, blockSize);
        EXPECT_NE(channel, -1);
        channels_.push_back(channel);
        ksym::ChannelContext* context = ksym::FindChannelContext(channel);
        context->swapBytes = swap;
        if (symbols) {
            std::vector<uint8_t> bytes = VarListProject();
            KMemSerDev device(reinterpret_cast<char*>(bytes.data()),
                              static_cast<long>(bytes.size()), SD_READ);
            EXPECT_EQ(ksym::ReadSdbFile(device, *context), 1);
            EXPECT_TRUE(ksym::BuildSymbolIndex(*context));
        }
        return channel;
    }

    static ksym::ChannelContext* Context(int32_t channel) {
        return ksym::FindChannelContext(channel);
    }
    static ksym::VarList* List(HVARLIST handle) { return static_cast<ksym::VarList*>(handle); }

    HVARLIST Define(int32_t channel, std::vector<const char*> names) {
        return KSymDefineVarList(channel, names.data(), static_cast<uint32_t>(names.size()));
    }

    // The telegrams written on `channel` so far.
    static std::vector<std::vector<uint8_t>> Sent(int32_t channel) {
        std::vector<std::vector<uint8_t>> sent;
        for (const fake::Telegram& telegram : fake::Telegrams()) {
            if (telegram.channel == channel) {
                sent.push_back(telegram.bytes);
            }
        }
        return sent;
    }

    std::vector<int32_t> channels_;
};

inline std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<uint8_t> bytes;
    for (int v : values) {
        bytes.push_back(static_cast<uint8_t>(v));
    }
    return bytes;
}

} // namespace ksymtest

#endif
