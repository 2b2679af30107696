// Symbol loading through the real client library and its embedded simulated controller:
// the first load uploads, a second finds the local file current, and a project switch on
// the controller makes the next load upload again.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "extern/kclient.h"
#include "extern/kutil.h"
#include "include/ksymbol.h"
#include "formats/sdb_description.h"
#include "formats/sdb_writer.h"
#include "e2e_support.h"
#include "support/message_wait.h"

namespace {

using ksymtest::kNotifyMsg;

std::vector<uint8_t> ReadAll(std::string path, bool& exists) {
    KBufferedFileSerDev device(&path[0], SD_READ);
    exists = device.GetStatus() == 0;
    std::vector<uint8_t> bytes(static_cast<size_t>(std::max(0L, device.GetMaxDefinedSerDev())));
    if (!bytes.empty()) {
        device.GetBlock(reinterpret_cast<char*>(bytes.data()), static_cast<long>(bytes.size()));
    }
    return bytes;
}

void WriteAll(std::string path, std::vector<uint8_t> bytes) {
    KBufferedFileSerDev device(&path[0], SD_WRITE);
    device.PutBlock(reinterpret_cast<char*>(bytes.data()), static_cast<long>(bytes.size()));
}

class SymbolsEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ksymtest::UseOwnMachine();
        char windows[260] = {};
        GetWindowsDirectoryA(windows, sizeof windows);
        windows_ = windows;
        local_ = windows_ + "\\Korvan Files\\Upload\\SAMPLE.sdb";
        DeleteFileA(local_.c_str());
        window_ = CreateWindowExA(0, "STATIC", "e2e", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                  nullptr);
        ASSERT_NE(window_, nullptr);
        channel_ = KSymOpenChannel("sim:chunk=100", 0, window_, kNotifyMsg);
        ASSERT_NE(channel_, -1);
    }
    void TearDown() override {
        KSymCloseChannel(channel_);
        DestroyWindow(window_);
    }

    // The names of every symbol, in file order.
    std::vector<std::string> LoadNames() {
        SymbolEntry** symbols = nullptr;
        int32_t count = 0;
        EXPECT_EQ(KSymLoadSymbols(channel_, nullptr, &symbols, &count), 1)
            << "error " << KClientGetLastError();
        std::vector<std::string> names;
        for (int32_t i = 0; i < count; ++i) {
            const char* name = symbols[i]->name;
            names.emplace_back(name);
        }
        return names;
    }

    bool Control(const std::string& command) {
        return ksymtest::SimControl(channel_, window_, command);
    }

    std::string windows_;
    std::string local_;
    HWND window_ = nullptr;
    int32_t channel_ = -1;
};

TEST_F(SymbolsEndToEnd, FirstLoadUploadsSecondFindsTheFileCurrentSwitchUploadsAgain) {
    const std::vector<std::string> sample = LoadNames();
    ASSERT_GT(sample.size(), 30u);
    EXPECT_EQ(sample[0], "Line1.Station1.StartButton");
    bool exists = false;
    std::vector<uint8_t> file = ReadAll(local_, exists);
    ASSERT_TRUE(exists);

    // Mark the local copy without touching its header: a load that uploads would undo it.
    std::vector<uint8_t> marked = file;
    const std::string first = sample[0];
    auto at = std::search(marked.begin(), marked.end(), first.begin(), first.end());
    ASSERT_NE(at, marked.end());
    *at = 'X';
    WriteAll(local_, marked);
    EXPECT_EQ(LoadNames()[0], "Xine1.Station1.StartButton");

    // The controller takes another project of the same name: the ids differ, so it uploads.
    formats::SdbDescription description;
    std::string error;
    ASSERT_TRUE(
        formats::ParseSdbDescription("project SAMPLE.PRO\nid 0x50C0DE01\ntype INT code 5 size 2\n"
                                     "var Plant2.Pump.Speed type INT area 1 offset 0\n",
                                     description, error))
        << error;
    const std::string other = windows_ + "/other-project/SAMPLE.PRO";
    CreateDirectoryA((windows_ + "/other-project").c_str(), nullptr);
    ASSERT_TRUE(formats::WriteFileBytes(other, formats::WriteSdb(description.project), error))
        << error;
    ASSERT_TRUE(Control("project=" + other));
    EXPECT_EQ(LoadNames(), std::vector<std::string>{"Plant2.Pump.Speed"});
    EXPECT_EQ(ReadAll(local_, exists), formats::WriteSdb(description.project));
}

TEST_F(SymbolsEndToEnd, ARefusedUploadLeavesNoFileAndTheChannelWithoutSymbols) {
    ASSERT_TRUE(Control("fault=refuse"));
    SymbolEntry** symbols = nullptr;
    EXPECT_EQ(KSymLoadSymbols(channel_, nullptr, &symbols, nullptr), 0);
    EXPECT_EQ(KClientGetLastError(), KSYM_ERR_NO_SYMBOLS);
    bool exists = true;
    ReadAll(local_, exists);
    EXPECT_FALSE(exists);
    ASSERT_TRUE(Control("clear=all"));
    EXPECT_FALSE(LoadNames().empty());
}

} // namespace
