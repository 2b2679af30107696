// ksym's typed values without a channel: which display a type gets, the bytes a value text
// parses into (range limits, host order, padding), the texts shown for bytes, and names
// resolved as the library resolves them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/ksym/value_format.h"
#include "tools/ksym/variables.h"

namespace {

using ksymtool::ParseValue;
using ksymtool::ShapeOf;
using ksymtool::ValueKind;
using ksymtool::ValueShape;

template <typename T> std::vector<uint8_t> HostBytes(T value) {
    std::vector<uint8_t> bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

// The parsed bytes, or nothing when the text is refused.
std::optional<std::vector<uint8_t>> Parsed(const std::string& type, uint32_t size,
                                           const std::string& text) {
    std::vector<uint8_t> out = {0xEE};
    if (!ParseValue(ShapeOf(type, size), text, out)) {
        return std::nullopt;
    }
    EXPECT_EQ(out.size(), size) << type << " " << text;
    return out;
}

// The display of exactly `bytes`, from a buffer of their length only, so that a read past
// them is an error under the address sanitizer.
std::string Shown(const std::string& type, const std::vector<uint8_t>& bytes) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size() + (bytes.empty() ? 1 : 0)]);
    if (!bytes.empty()) {
        std::memcpy(exact.get(), bytes.data(), bytes.size());
    }
    return ksymtool::FormatValue(ShapeOf(type, static_cast<uint32_t>(bytes.size())), exact.get());
}

TEST(KsymValueShape, TypeNameAndSizeChooseTheDisplay) {
    struct Case {
        const char* type;
        uint32_t size;
        ValueKind kind;
    };
    const Case cases[] = {
        {"BOOL", 1, ValueKind::kBool},
        {"bool", 1, ValueKind::kBool},
        {"BYTE", 1, ValueKind::kUnsigned},
        {"WORD", 2, ValueKind::kUnsigned},
        {"DWORD", 4, ValueKind::kUnsigned},
        {"TIME", 4, ValueKind::kUnsigned},
        {"INT", 2, ValueKind::kSigned},
        {"DINT", 4, ValueKind::kSigned},
        {"LINT", 8, ValueKind::kSigned},
        {"REAL", 4, ValueKind::kFloat},
        {"LREAL", 8, ValueKind::kFloat},
        {"STR20", 21, ValueKind::kText},
        {"INTARR10", 20, ValueKind::kIntArray},
        {"INTMATRIX3X4", 24, ValueKind::kIntArray},
        // An odd size cannot hold 16-bit elements; a known name of another size is not
        // what it says; data blocks, pointers and empty types are bytes.
        {"INTARR3", 7, ValueKind::kBytes},
        {"INT", 4, ValueKind::kBytes},
        {"REAL", 8, ValueKind::kBytes},
        {"DATA", 16, ValueKind::kBytes},
        {"ANY_PTR", 10, ValueKind::kBytes},
        {"DATE_AND_TIME", 8, ValueKind::kBytes},
        {"NONE", 0, ValueKind::kBytes},
        {"BOOL", 0, ValueKind::kBytes},
    };
    for (const Case& c : cases) {
        const ValueShape shape = ShapeOf(c.type, c.size);
        EXPECT_EQ(shape.kind, c.kind) << c.type << " of " << c.size;
        EXPECT_EQ(shape.size, c.size) << c.type;
    }
}

TEST(KsymParseValue, IntegersAreRangeCheckedBySizeAndSignedness) {
    EXPECT_EQ(Parsed("BYTE", 1, "255"), HostBytes<uint8_t>(255));
    EXPECT_EQ(Parsed("BYTE", 1, "0xff"), HostBytes<uint8_t>(255));
    EXPECT_FALSE(Parsed("BYTE", 1, "256"));
    EXPECT_FALSE(Parsed("BYTE", 1, "-1"));
    EXPECT_FALSE(Parsed("BYTE", 1, "0x100"));
    EXPECT_EQ(Parsed("INT", 2, "-32768"), HostBytes<int16_t>(-32768));
    EXPECT_EQ(Parsed("INT", 2, "+32767"), HostBytes<int16_t>(32767));
    EXPECT_FALSE(Parsed("INT", 2, "32768"));
    EXPECT_FALSE(Parsed("INT", 2, "-32769"));
    // Hexadecimal is the bit pattern.
    EXPECT_EQ(Parsed("INT", 2, "0xFFFF"), HostBytes<int16_t>(-1));
    EXPECT_FALSE(Parsed("INT", 2, "0x10000"));
    EXPECT_EQ(Parsed("WORD", 2, "0xBEEF"), HostBytes<uint16_t>(0xBEEF));
    EXPECT_EQ(Parsed("DWORD", 4, "4294967295"), HostBytes<uint32_t>(0xFFFFFFFFu));
    EXPECT_FALSE(Parsed("DWORD", 4, "4294967296"));
    EXPECT_EQ(Parsed("DINT", 4, "-2147483648"), HostBytes<int32_t>(INT32_MIN));
    EXPECT_FALSE(Parsed("DINT", 4, "2147483648"));
    EXPECT_EQ(Parsed("LINT", 8, "-9223372036854775808"), HostBytes<int64_t>(INT64_MIN));
    EXPECT_FALSE(Parsed("LINT", 8, "9223372036854775808"));
    EXPECT_EQ(Parsed("ULINT", 8, "18446744073709551615"), HostBytes<uint64_t>(UINT64_MAX));
    EXPECT_FALSE(Parsed("ULINT", 8, "18446744073709551616")) << "past 64 bits";
    EXPECT_FALSE(Parsed("ULINT", 8, "0x10000000000000000"));
    for (const char* malformed : {"", "+", "-", "0x", "12a", " 1", "1 ", "1.0", "-0x1", "0b1"}) {
        EXPECT_FALSE(Parsed("DINT", 4, malformed)) << "'" << malformed << "'";
    }
}

TEST(KsymParseValue, BoolsFloatsTextsArraysAndBytes) {
    EXPECT_EQ(Parsed("BOOL", 1, "true"), std::vector<uint8_t>{1});
    EXPECT_EQ(Parsed("BOOL", 1, "FALSE"), std::vector<uint8_t>{0});
    EXPECT_EQ(Parsed("BOOL", 1, "1"), std::vector<uint8_t>{1});
    EXPECT_EQ(Parsed("BOOL", 1, "0"), std::vector<uint8_t>{0});
    EXPECT_FALSE(Parsed("BOOL", 1, "2"));
    EXPECT_FALSE(Parsed("BOOL", 1, "yes"));

    EXPECT_EQ(Parsed("REAL", 4, "1.5"), HostBytes<float>(1.5f));
    EXPECT_EQ(Parsed("LREAL", 8, "-0.1"), HostBytes<double>(-0.1));
    EXPECT_EQ(Parsed("LREAL", 8, "1e300"), HostBytes<double>(1e300));
    EXPECT_FALSE(Parsed("REAL", 4, "1e39")) << "beyond a float";
    // The largest float is shown as 3.4028235e+38, just above FLT_MAX: it reads back.
    const float largest = std::numeric_limits<float>::max();
    EXPECT_EQ(Parsed("REAL", 4, Shown("REAL", HostBytes<float>(largest))), HostBytes(largest));
    EXPECT_FALSE(Parsed("REAL", 4, "3.4028236e+38")) << "rounds beyond the largest float";
    EXPECT_EQ(Parsed("REAL", 4, "1e-45"), HostBytes(std::numeric_limits<float>::denorm_min()));
    EXPECT_FALSE(Parsed("REAL", 4, "\v1.5"));
    EXPECT_FALSE(Parsed("LREAL", 8, "\r1.5"));
    EXPECT_FALSE(Parsed("LREAL", 8, "1e999")) << "beyond a double";
    EXPECT_FALSE(Parsed("REAL", 4, "1.5x"));
    EXPECT_FALSE(Parsed("REAL", 4, ""));

    // A text leaves room for its NUL; the rest of the variable is zeros.
    std::vector<uint8_t> text(21, 0);
    std::memcpy(text.data(), "hi", 2);
    EXPECT_EQ(Parsed("STR20", 21, "hi"), text);
    EXPECT_TRUE(Parsed("STR20", 21, std::string(20, 'x')));
    EXPECT_FALSE(Parsed("STR20", 21, std::string(21, 'x')));
    EXPECT_EQ(Parsed("STR20", 21, ""), std::vector<uint8_t>(21, 0));

    std::vector<uint8_t> array;
    for (const int16_t v : std::vector<int16_t>{1, -2, 32767, -32768}) {
        const std::vector<uint8_t> bytes = HostBytes<int16_t>(v);
        array.insert(array.end(), bytes.begin(), bytes.end());
    }
    EXPECT_EQ(Parsed("INTARR4", 8, "[1, -2, 32767, -32768]"), array);
    EXPECT_EQ(Parsed("INTARR4", 8, "1,-2,32767,-32768"), array);
    EXPECT_FALSE(Parsed("INTARR4", 8, "[1, 2, 3]")) << "too few";
    EXPECT_FALSE(Parsed("INTARR4", 8, "[1, 2, 3, 4, 5]")) << "too many";
    EXPECT_FALSE(Parsed("INTARR4", 8, "[1, 2, 3, 32768]"));
    EXPECT_FALSE(Parsed("INTARR4", 8, "[1, , 3, 4]"));

    EXPECT_EQ(Parsed("DATA", 3, "00a0FF"), (std::vector<uint8_t>{0x00, 0xA0, 0xFF}));
    EXPECT_EQ(Parsed("DATA", 3, "0x00a0ff"), (std::vector<uint8_t>{0x00, 0xA0, 0xFF}));
    EXPECT_FALSE(Parsed("DATA", 3, "00a0"));
    EXPECT_FALSE(Parsed("DATA", 3, "00a0ff00"));
    EXPECT_FALSE(Parsed("DATA", 3, "00a0fg"));
    EXPECT_FALSE(Parsed("NONE", 0, "")) << "nothing fits a variable of no bytes";
}

TEST(KsymFormatValue, ShowsTheBytesByTheirType) {
    EXPECT_EQ(Shown("BOOL", {0x7A}), "true");
    EXPECT_EQ(Shown("BOOL", {0}), "false");
    EXPECT_EQ(Shown("BYTE", {0xFF}), "255");
    EXPECT_EQ(Shown("INT", HostBytes<int16_t>(-17998)), "-17998");
    EXPECT_EQ(Shown("WORD", HostBytes<uint16_t>(0x9A93)), "39571");
    EXPECT_EQ(Shown("DINT", HostBytes<int32_t>(INT32_MIN)), "-2147483648");
    EXPECT_EQ(Shown("LINT", HostBytes<int64_t>(INT64_MIN)), "-9223372036854775808");
    EXPECT_EQ(Shown("ULINT", HostBytes<uint64_t>(UINT64_MAX)), "18446744073709551615");
    // The shortest text that reads back as the same value.
    EXPECT_EQ(Shown("REAL", HostBytes<float>(0.1f)), "0.1");
    EXPECT_EQ(Shown("LREAL", HostBytes<double>(0.1)), "0.1");
    EXPECT_EQ(std::strtof(Shown("REAL", HostBytes<float>(1.0f / 3)).c_str(), nullptr), 1.0f / 3);
    EXPECT_EQ(Shown("REAL", HostBytes<float>(std::numeric_limits<float>::quiet_NaN())), "nan");
    EXPECT_EQ(Shown("LREAL", HostBytes<double>(-std::numeric_limits<double>::infinity())), "-inf");
    EXPECT_EQ(Shown("INTARR4", {1, 0, 0xFE, 0xFF, 0, 0x80, 0xFF, 0x7F}), "[1, -2, -32768, 32767]");
    EXPECT_EQ(Shown("DATA", {0x00, 0x5B, 0xFF}), "005bff");
    EXPECT_EQ(Shown("NONE", {}), "(empty)");

    // Texts end at the first NUL, or at the variable's end when it has none.
    EXPECT_EQ(Shown("STR5", {'a', 'b', 0, 'c', 'd'}), "\"ab\"");
    EXPECT_EQ(Shown("STR5", {'a', 'b', 'c', 'd', 'e'}), "\"abcde\"");
    EXPECT_EQ(Shown("STR5", {'"', '\\', '\n', 0xE9, 0}), "\"\\\"\\\\\\x0a\\xe9\"");

    // JSON: numbers, bools, strings and arrays; a REAL as its own digits.
    const float tenth = 0.1f;
    EXPECT_EQ(ksymtool::ValueJson(ShapeOf("REAL", 4), HostBytes(tenth).data()).dump(), "0.1");
    EXPECT_EQ(ksymtool::ValueJson(ShapeOf("INT", 2), HostBytes<int16_t>(-5).data()), -5);
    EXPECT_EQ(ksymtool::ValueJson(ShapeOf("BOOL", 1), HostBytes<uint8_t>(2).data()), true);
    EXPECT_EQ(ksymtool::ValueJson(ShapeOf("REAL", 4),
                                  HostBytes(std::numeric_limits<float>::infinity()).data()),
              "inf");
    const uint8_t text[4] = {'o', 'k', 0, 'x'};
    EXPECT_EQ(ksymtool::ValueJson(ShapeOf("STR3", 4), text), "ok");
}

TEST(KsymVariables, NamesResolveAsTheLibraryResolvesThem) {
    struct Direct {
        const char* name;
        const char* type;
        uint32_t size;
    };
    for (const Direct& d :
         {Direct{"%MW4", "WORD", 2}, Direct{"%QD1", "DWORD", 4}, Direct{"%IB0", "BYTE", 1},
          Direct{"%IX1.2", "BOOL", 1}, Direct{"%M3.15", "BOOL", 1}, Direct{"%MW 4", "WORD", 2}}) {
        const std::optional<ksymtool::Variable> v = ksymtool::DirectAddress(d.name);
        ASSERT_TRUE(v) << d.name;
        EXPECT_EQ(v->typeName, d.type) << d.name;
        EXPECT_EQ(v->shape.size, d.size) << d.name;
    }
    for (const char* notDirect :
         {"%MW4.1", "%IX1.16", "%IX1", "%mw4", "%MW", "%ZB1", "%MW4x", "MW4", "%"}) {
        EXPECT_FALSE(ksymtool::DirectAddress(notDirect)) << notDirect;
    }

    char modeName[] = "Line1.Mode";
    char modeUpper[] = "LINE1.MODE";
    char byteType[] = "BYTE";
    char intType[] = "INT";
    char directName[] = "%MW4";
    char stringType[] = "STR20";
    SymbolEntry mode{modeName, byteType, 3, 0, 1, {0, 0}};
    SymbolEntry upper{modeUpper, intType, 3, 2, 2, {0, 0}};
    SymbolEntry direct{directName, stringType, 3, 4, 21, {0, 0}};
    SymbolEntry* symbols[] = {&mode, &upper, &direct};

    // Letters fold: the first symbol in file order is the one the library reads.
    const auto folded = ksymtool::ResolveVariable("line1.MODE", symbols, 3);
    ASSERT_TRUE(folded);
    EXPECT_EQ(folded->name, "line1.MODE") << "the user's name goes to the library";
    EXPECT_EQ(folded->typeName, "BYTE");
    const auto second = ksymtool::ResolveVariable("LINE1.MODE", symbols, 3);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->shape.size, 1u) << "a later symbol of the same folded name is hidden";
    // A direct address wins over a symbol of that name.
    const auto address = ksymtool::ResolveVariable("%MW4", symbols, 3);
    ASSERT_TRUE(address);
    EXPECT_EQ(address->typeName, "WORD");
    EXPECT_FALSE(ksymtool::ResolveVariable("Line1.Mod", symbols, 3));
    EXPECT_FALSE(ksymtool::ResolveVariable("Line1.Modes", symbols, 3));
    EXPECT_FALSE(ksymtool::ResolveVariable("Line1.Mode", symbols, 0));
}

} // namespace
