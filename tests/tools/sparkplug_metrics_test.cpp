// The Sparkplug B value mapping both ways, where the wire hides it: signed integers as their
// 32-bit two's complement, times that no DateTime can hold, integer arrays byte by byte, and
// texts that are not UTF-8.
#include <gtest/gtest.h>

#include <cstring>

#include "tools/ksym/publish/sparkplug_metrics.h"

namespace {

using ksymtool::MetricWriteText;
using ksymtool::ReadValue;
using ksymtool::SetMetricValue;
using ksymtool::SparkplugMetric;
using ksymtool::Variable;

Variable Typed(const std::string& type, uint32_t size) {
    return {"V", type, ksymtool::ShapeOf(type, size)};
}

ReadValue Bytes(std::vector<uint8_t> bytes) {
    return {true, std::move(bytes)};
}

// The text MetricWriteText gives for the metric a read value makes, for the same variable.
std::string RoundTrip(const Variable& variable, const ReadValue& value) {
    SparkplugMetric metric;
    metric.set_datatype(ksymtool::SparkplugTypeOf(variable));
    SetMetricValue(variable, value, metric);
    std::string text;
    std::string why;
    EXPECT_TRUE(MetricWriteText(metric, variable, text, why)) << why;
    return text;
}

TEST(KsymSparkplugMetrics, ValuesMapToTheirFieldsAndBackToWhatWriteTakes) {
    const Variable integer = Typed("INT", 2);
    SparkplugMetric metric;
    SetMetricValue(integer, Bytes({0xFE, 0xFF}), metric); // -2
    EXPECT_EQ(metric.int_value(), 0xFFFFFFFEu);
    EXPECT_EQ(RoundTrip(integer, Bytes({0xFE, 0xFF})), "-2");
    EXPECT_EQ(RoundTrip(Typed("DWORD", 4), Bytes({0xFF, 0xFF, 0xFF, 0xFF})), "4294967295");
    EXPECT_EQ(RoundTrip(Typed("LINT", 8), Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})),
              "-1");
    EXPECT_EQ(RoundTrip(Typed("BOOL", 1), Bytes({1})), "true");

    // Arrays go element by element, least significant byte first; back as their elements.
    const Variable array = Typed("INTARR4", 8);
    const uint16_t elements[4] = {1, 0xFFFE, 0x1234, 0};
    ReadValue arrayValue{true, std::vector<uint8_t>(8)};
    std::memcpy(arrayValue.bytes.data(), elements, sizeof elements);
    SparkplugMetric arrayMetric;
    SetMetricValue(array, arrayValue, arrayMetric);
    EXPECT_EQ(arrayMetric.bytes_value(), std::string("\x01\x00\xFE\xFF\x34\x12\x00\x00", 8));
    EXPECT_EQ(RoundTrip(array, arrayValue), "1,-2,4660,0");
    SparkplugMetric odd;
    odd.set_bytes_value(std::string("\x01\x00\x02", 3));
    std::string text;
    std::string why;
    EXPECT_FALSE(MetricWriteText(odd, array, text, why));

    // A DateTime in ms from the seconds in the first four bytes, and back to those bytes; a
    // time past what four bytes of seconds hold is refused.
    const Variable time = Typed("DATE_AND_TIME", 8);
    SparkplugMetric timeMetric;
    SetMetricValue(time, Bytes({0x10, 0x27, 0, 0, 0, 0, 0, 0}), timeMetric); // 10000 s
    EXPECT_EQ(timeMetric.long_value(), 10000000u);
    EXPECT_EQ(RoundTrip(time, Bytes({0x10, 0x27, 0, 0, 0, 0, 0, 0})), "1027000000000000");
    SparkplugMetric latest;
    SetMetricValue(time, Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xAA, 0xBB, 0xCC, 0xDD}), latest);
    EXPECT_EQ(latest.long_value(), uint64_t{0xFFFFFFFF} * 1000);
    SparkplugMetric tooLate;
    tooLate.set_long_value(uint64_t{0x100000000} * 1000);
    EXPECT_FALSE(MetricWriteText(tooLate, time, text, why));

    // Not delivered: null, no value.
    SparkplugMetric missing;
    SetMetricValue(integer, ReadValue{}, missing);
    EXPECT_TRUE(missing.is_null());
    EXPECT_EQ(missing.value_case(), SparkplugMetric::VALUE_NOT_SET);
    EXPECT_FALSE(MetricWriteText(missing, integer, text, why));
    // Short bytes are never read past.
    SparkplugMetric shortValue;
    SetMetricValue(Typed("LREAL", 8), Bytes({1, 2}), shortValue);
    EXPECT_TRUE(shortValue.is_null());
}

TEST(KsymSparkplugMetrics, TextsBecomeUtf8WithEveryOtherByteReplaced) {
    EXPECT_EQ(ksymtool::Utf8Text("Brot \xC3\xA4"), "Brot \xC3\xA4");
    EXPECT_EQ(ksymtool::Utf8Text("\xE4 1"), "\xEF\xBF\xBD 1");             // Latin-1
    EXPECT_EQ(ksymtool::Utf8Text("\xC3"), "\xEF\xBF\xBD");                 // cut short
    EXPECT_EQ(ksymtool::Utf8Text("\xC0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD"); // overlong
    EXPECT_EQ(ksymtool::Utf8Text("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(ksymtool::Utf8Text("\xF0\x9F\x8D\x9E"), "\xF0\x9F\x8D\x9E");
}

} // namespace
