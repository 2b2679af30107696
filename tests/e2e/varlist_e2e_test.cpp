// Variable lists through the real client library and its embedded simulated controller, in
// both byte orders: every symbol of the sample project read in several telegrams and
// compared with the simulator's memory, and writes read back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "extern/kclient.h"
#include "include/ksymbol.h"
#include "plcsim/memory.h"
#include "formats/name_compare.h"
#include "support/message_wait.h"

namespace {

using ksymtest::kNotifyMsg;
using ksymtest::WaitPosted;

// The element size the library converts a sample symbol's value in, by its type name; the
// arrays listed as "DATA" differ by variable.
uint32_t ElementSize(const SymbolEntry& symbol) {
    static const std::map<std::string, uint32_t> byType = {
        {"BOOL", 1}, {"BYTE", 1},          {"WORD", 2},     {"DWORD", 4},
        {"INT", 2},  {"DINT", 4},          {"REAL", 4},     {"LREAL", 8},
        {"TIME", 4}, {"DATE_AND_TIME", 0}, {"STR20", 0},    {"ANY_PTR", 10},
        {"NONE", 0}, {"INTARR4", 2},       {"INTARR10", 2}, {"COUNTER", 2},
    };
    const std::string name = symbol.name;
    if (name == "Line1.Station3.Grid") {
        return 2; // an array of arrays of INT
    }
    const auto found = byType.find(symbol.typeName);
    return found != byType.end() ? found->second : 0; // data blocks and arrays of them
}

// The value the simulator holds at a fresh start, in host order as the library delivers it.
std::vector<uint8_t> Expected(uint16_t area, uint32_t offset, uint32_t size, uint32_t element,
                              bool big) {
    std::vector<uint8_t> bytes;
    if (size == 0) {
        const uint8_t byte = plcsim::InitialMemoryByte(area, offset / 8);
        bytes.push_back(static_cast<uint8_t>((byte >> (offset % 8)) & 1u));
        return bytes;
    }
    for (uint32_t k = 0; k < size; ++k) {
        bytes.push_back(plcsim::InitialMemoryByte(area, offset + k));
    }
    if (big && size > 1 && element != 0 && size % element == 0) {
        for (uint32_t at = 0; at < size; at += element) {
            std::reverse(bytes.begin() + at, bytes.begin() + at + element);
        }
    }
    return bytes;
}

class VarListEndToEnd : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        ksymtest::UseOwnMachine();
        window_ = CreateWindowExA(0, "STATIC", "e2e", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                  nullptr);
        ASSERT_NE(window_, nullptr);
        big_ = std::string(GetParam()).find("big") != std::string::npos;
        channel_ = KSymOpenChannel(GetParam(), 0, window_, kNotifyMsg);
        ASSERT_NE(channel_, -1);
        ASSERT_EQ(KSymLoadSymbols(channel_, nullptr, &symbols_, &count_), 1);
    }
    void TearDown() override {
        KSymCloseChannel(channel_);
        DestroyWindow(window_);
    }

    // Reads the list; the values in list order (empty vectors for invalid ones).
    std::vector<std::vector<uint8_t>> Read(HVARLIST list, const std::vector<uint32_t>& sizes) {
        EXPECT_EQ(KSymSendVarList(channel_, list), 1);
        const auto posted = WaitPosted(window_, kNotifyMsg);
        EXPECT_TRUE(posted && posted->wParam == COMM_MESSAGEREADY);
        std::vector<std::vector<uint8_t>> out;
        KSymEnterVarListAccess(channel_, list);
        VarValue** values = nullptr;
        uint32_t got = 0;
        EXPECT_EQ(KSymGetValues(channel_, list, &values, &got), 1);
        EXPECT_EQ(got, sizes.size());
        for (uint32_t i = 0; i < got; ++i) {
            out.emplace_back();
            if (values[i]->valid != 0) {
                out.back().assign(values[i]->data, values[i]->data + std::max(1u, sizes[i]));
            }
        }
        KSymLeaveVarListAccess(channel_, list);
        return out;
    }

    bool WriteAccepted(std::vector<const char*> names, std::vector<const void*> buffers) {
        if (KSymWriteVars(channel_, names.data(), static_cast<uint32_t>(names.size()),
                          buffers.data()) != 1) {
            return false;
        }
        const auto posted = WaitPosted(window_, kNotifyMsg);
        return posted && posted->wParam == COMM_MESSAGEREADY && KSymWriteResult(channel_) == 1;
    }

    const SymbolEntry& FirstOfName(const char* name) const {
        for (int32_t i = 0; i < count_; ++i) {
            if (formats::NamesEqual(symbols_[i]->name, name)) {
                return *symbols_[i];
            }
        }
        return *symbols_[0];
    }

    HWND window_ = nullptr;
    int32_t channel_ = -1;
    bool big_ = false;
    SymbolEntry** symbols_ = nullptr;
    int32_t count_ = 0;
};

TEST_P(VarListEndToEnd, EverySymbolAndSomeDirectAddressesReadInSeveralTelegrams) {
    std::vector<const char*> names;
    std::vector<uint32_t> sizes;
    std::vector<std::vector<uint8_t>> expected;
    for (int32_t i = 0; i < count_; ++i) {
        // Names are found without regard to case: the first of names that differ only in
        // case is the one every spelling reaches.
        const SymbolEntry& symbol = FirstOfName(symbols_[i]->name);
        const uint16_t area = symbol.area;
        const uint32_t offset = symbol.offset;
        const uint32_t size = symbol.size;
        names.push_back(symbol.name);
        sizes.push_back(size);
        expected.push_back(Expected(area, offset, size, ElementSize(symbol), big_));
    }
    const struct {
        const char* name;
        uint16_t area;
        uint32_t offset;
        uint32_t size;
    } direct[] = {{"%MW4", 0, 8, 2}, {"%QD3", 2, 12, 4}, {"%IX1.2", 1, 18, 0}, {"%MB7", 0, 7, 1}};
    for (const auto& d : direct) {
        names.push_back(d.name);
        sizes.push_back(d.size);
        // Direct addresses stay in the controller's order.
        expected.push_back(Expected(d.area, d.offset, d.size, 0, big_));
    }
    HVARLIST list = KSymDefineVarList(channel_, names.data(), static_cast<uint32_t>(names.size()));
    ASSERT_NE(list, nullptr) << "error " << KClientGetLastError();
    const std::vector<std::vector<uint8_t>> values = Read(list, sizes);
    ASSERT_EQ(values.size(), names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(values[i], expected[i]) << names[i];
    }
    // A second read of the same list gives the same values again.
    EXPECT_EQ(Read(list, sizes), values);

    // Replies answered one byte short leave their values invalid.
    ASSERT_TRUE(ksymtest::SimControl(channel_, window_, "fault=shortread"));
    const auto cut = Read(list, sizes);
    ASSERT_TRUE(ksymtest::SimControl(channel_, window_, "clear=all"));
    const size_t invalid = static_cast<size_t>(
        std::count_if(cut.begin(), cut.end(), [](const auto& v) { return v.empty(); }));
    EXPECT_EQ(invalid, names.size()) << "every telegram's reply was cut";
    EXPECT_EQ(KSymDeleteVarList(channel_, list), 1);
}

TEST_P(VarListEndToEnd, WritesReadBackInHostAndControllerOrder) {
    const int16_t speed = -1234;
    const uint32_t position = 0x01020304;
    const char text[21] = "written text";
    const uint8_t on = 1;
    const uint8_t bit = 1;
    const int16_t grid[12] = {1, -2, 3, -4, 5, -6, 7, -8, 9, -10, 11, -12};
    std::vector<const char*> names = {"Line1.Station2.Motor1.Speed",
                                      "Line1.Station3.Conveyor.Position",
                                      "Line2.Station2.Display.Text",
                                      "Line2.Running",
                                      "%QX0.13",
                                      "Line1.Station3.Grid"};
    ASSERT_TRUE(WriteAccepted(names, {&speed, &position, text, &on, &bit, grid}))
        << "error " << KClientGetLastError();

    names.insert(names.end(), {"%QB4", "%QB5", "%QB1"});
    HVARLIST list = KSymDefineVarList(channel_, names.data(), static_cast<uint32_t>(names.size()));
    ASSERT_NE(list, nullptr);
    const auto values = Read(list, {2, 4, 21, 1, 0, 24, 1, 1, 1});
    auto bytes = [](const void* at, size_t size) {
        const auto* p = static_cast<const uint8_t*>(at);
        return std::vector<uint8_t>(p, p + size);
    };
    EXPECT_EQ(values[0], bytes(&speed, 2));
    EXPECT_EQ(values[1], bytes(&position, 4));
    EXPECT_EQ(values[2], bytes(text, 21));
    EXPECT_EQ(values[3], bytes(&on, 1));
    EXPECT_EQ(values[4], bytes(&bit, 1));
    EXPECT_EQ(values[5], bytes(grid, 24));
    // What the simulator holds: the speed in its own order; bit 13 is bit 5 of byte 1.
    const auto raw = static_cast<uint16_t>(speed);
    const uint8_t high = static_cast<uint8_t>(raw >> 8);
    const uint8_t low = static_cast<uint8_t>(raw & 0xFF);
    EXPECT_EQ(values[6], std::vector<uint8_t>{big_ ? high : low});
    EXPECT_EQ(values[7], std::vector<uint8_t>{big_ ? low : high});
    EXPECT_EQ(values[8][0] & 0x20, 0x20);
    KSymDeleteVarList(channel_, list);

    // Writes the controller refuses: an address named absent.
    ASSERT_TRUE(ksymtest::SimControl(channel_, window_, "absent=2:4"));
    EXPECT_FALSE(WriteAccepted({"Line1.Station2.Motor1.Speed"}, {&speed}));
    ASSERT_TRUE(ksymtest::SimControl(channel_, window_, "clear=all"));
}

TEST_P(VarListEndToEnd, ProjectIdentificationLoginAndLogout) {
    ASSERT_EQ(KSymPLCProjectId(channel_), 1);
    ASSERT_TRUE(WaitPosted(window_, kNotifyMsg));
    uint32_t id = 0;
    ASSERT_EQ(KSymPLCProjectIdResult(channel_, &id), 1);
    EXPECT_EQ(id, static_cast<uint32_t>(KSymGetProjectId(channel_)));
    const ProjectInfo* info = KSymGetProjectInfo(channel_);
    ASSERT_NE(info->infoText4, nullptr);
    EXPECT_EQ(std::string(info->infoText4), "SAMPLE");
    ASSERT_EQ(KSymLogin(channel_), 1);
    ASSERT_TRUE(WaitPosted(window_, kNotifyMsg));
    EXPECT_EQ(KSymLoginResult(channel_), 1);
    ASSERT_EQ(KSymLogout(channel_), 1);
    ASSERT_TRUE(WaitPosted(window_, kNotifyMsg));
    EXPECT_EQ(KSymLogoutResult(channel_), 1);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, VarListEndToEnd,
                         ::testing::Values("sim:block=128;values=pattern",
                                           "sim:order=big;block=128;values=pattern"));

} // namespace
