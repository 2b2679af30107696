// Variables as Sparkplug B metrics: the data type each type of variable is published as, its
// value in the metric's value field, and the value a command's metric carries as the text
// ksym write takes.
//   BOOL and bits                       Boolean   boolean_value
//   BYTE USINT / WORD UINT /
//   DWORD UDINT TIME (ms)               UInt8 / UInt16 / UInt32   int_value
//   LWORD ULINT                         UInt64    long_value
//   SINT / INT / DINT                   Int8 / Int16 / Int32      int_value (two's complement,
//                                                                 widened to 32 bits)
//   LINT                                Int64     long_value (two's complement)
//   REAL / LREAL                        Float / Double
//   STRING types (STR20, ...)           String    (UTF-8; bytes that are not become U+FFFD)
//   DATE_AND_TIME of 4 or 8 bytes       DateTime  long_value, ms since 1970-01-01 UTC, from the
//                                                 seconds since then in the variable's first
//                                                 four bytes (least significant first); a write
//                                                 sets those and clears the others
//   arrays, data blocks, anything else  Bytes     the value's bytes; the 16-bit elements of
//                                                 integer arrays least significant byte first
// A value the controller did not deliver is a metric with is_null and no value.
#ifndef KSYM_TOOLS_PUBLISH_SPARKPLUG_METRICS_H
#define KSYM_TOOLS_PUBLISH_SPARKPLUG_METRICS_H

#include <cstdint>
#include <string>

#include "sparkplug_payload.pb.h"
#include "tools/ksym/list_read.h"

namespace ksymtool {

using SparkplugMetric = sparkplug::Payload::Metric;

// The data types' numbers on the wire.
enum SparkplugType : uint32_t {
    kSparkplugInt8 = 1,
    kSparkplugInt16 = 2,
    kSparkplugInt32 = 3,
    kSparkplugInt64 = 4,
    kSparkplugUInt8 = 5,
    kSparkplugUInt16 = 6,
    kSparkplugUInt32 = 7,
    kSparkplugUInt64 = 8,
    kSparkplugFloat = 9,
    kSparkplugDouble = 10,
    kSparkplugBoolean = 11,
    kSparkplugString = 12,
    kSparkplugDateTime = 13,
    kSparkplugBytes = 17,
};

SparkplugType SparkplugTypeOf(const Variable& variable);

// Sets the metric's value (or is_null) from a read value of `variable`; the datatype is
// the caller's to set.
void SetMetricValue(const Variable& variable, const ReadValue& value, SparkplugMetric& metric);

// The text ksym write takes for the value `metric` carries, for `variable`; false with the
// reason when the metric carries no value its variable can take.
bool MetricWriteText(const SparkplugMetric& metric, const Variable& variable, std::string& text,
                     std::string& why);

// `bytes` as UTF-8: valid sequences kept, every other byte U+FFFD.
std::string Utf8Text(const std::string& bytes);

} // namespace ksymtool

#endif
