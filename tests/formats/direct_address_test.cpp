#include <gtest/gtest.h>

#include "formats/direct_address.h"

namespace {

using formats::ParseDirectAddress;
using formats::VarAddress;

struct AddressCase {
    const char* text;
    uint16_t area;
    uint32_t offset;
    uint32_t size;
};

TEST(DirectAddress, AreasSizesAndNumbersResolve) {
    const AddressCase cases[] = {
        {"%IX1.2", 1, 18, 0},
        {"%I1.2", 1, 18, 0},
        {"%MW4", 0, 8, 2},
        {"%QD3", 2, 12, 4},
        {"%MB7", 0, 7, 1},
        {"%QX0.15", 2, 15, 0},
        {"%QX0.0", 2, 0, 0},
        // Numbers as strtoul reads them: white space, a sign, saturation.
        {"%MW 4", 0, 8, 2},
        {"%MW+4", 0, 8, 2},
        {"%MB-1", 0, 0xFFFFFFFFu, 1},
        {"%MW-1", 0, 0xFFFFFFFEu, 2},
        {"%MB99999999999", 0, 0xFFFFFFFFu, 1},
        {"%MD1073741824", 0, 0, 4}, // counts elements: the byte offset wraps like the field
        {"%IX 1. 3", 1, 19, 0},
        {"%IX268435456.0", 1, 0, 0},
        {"%IX1.-0", 1, 16, 0},
    };
    for (const AddressCase& c : cases) {
        VarAddress address{9, 9, 9};
        ASSERT_EQ(ParseDirectAddress(c.text, address), 1) << c.text;
        EXPECT_EQ(address.area, c.area) << c.text;
        EXPECT_EQ(address.offset, c.offset) << c.text;
        EXPECT_EQ(address.size, c.size) << c.text;
    }
}

TEST(DirectAddress, AnythingElseIsNoAddressAndLeavesTheResultAlone) {
    const char* const texts[] = {
        "%IX1",
        "%MX1.16",
        "%MW4.1",
        "%mw4",
        "%AW1",
        "%MW",
        "%M",
        "%",
        "",
        "MW4",
        "%MW4 ",
        "%MW4x",
        "%IX.",
        "%IX1.",
        "%IX1.2.3",
        "%IXa.1",
        "%IX1.+16",
        "%MW--4",
        "%MX1.99999999999",
        " %MW4",
    };
    for (const char* text : texts) {
        VarAddress address{9, 9, 9};
        EXPECT_EQ(ParseDirectAddress(text, address), 0) << text;
        EXPECT_EQ(address.area, 9) << text;
        EXPECT_EQ(address.offset, 9u) << text;
    }
    VarAddress address;
    EXPECT_EQ(ParseDirectAddress(nullptr, address), 0);
}

} // namespace
