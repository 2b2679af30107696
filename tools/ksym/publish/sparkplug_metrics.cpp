#include "tools/ksym/publish/sparkplug_metrics.h"

#include <cinttypes>
#include <cstdio>
#include <limits>

#include "formats/name_compare.h"
#include "tools/ksym/value_format.h"

namespace ksymtool {

namespace {

// A DATE_AND_TIME holds the seconds since 1970-01-01 UTC in its first four bytes.
constexpr uint32_t kDateAndTimeSeconds = 4;

bool IsDateAndTime(const Variable& variable) {
    return formats::NamesEqual(variable.typeName.c_str(), "DATE_AND_TIME") &&
           (variable.shape.size == 4 || variable.shape.size == 8);
}

// An unsigned integer of `size` bytes, least significant first, and back.
uint64_t LoadLittleEndian(const uint8_t* data, uint32_t size) {
    uint64_t value = 0;
    for (uint32_t i = size; i-- > 0;) {
        value = (value << 8) | data[i];
    }
    return value;
}

std::string Hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0F]);
    }
    return text;
}

bool IsSignedType(uint32_t datatype) {
    return datatype == kSparkplugInt8 || datatype == kSparkplugInt16 ||
           datatype == kSparkplugInt32 || datatype == kSparkplugInt64;
}

std::string Decimal(uint64_t bits, bool isSigned, uint32_t width) {
    char text[32];
    if (isSigned) {
        const int64_t value = width == 32 ? static_cast<int32_t>(static_cast<uint32_t>(bits))
                                          : static_cast<int64_t>(bits);
        std::snprintf(text, sizeof text, "%" PRId64, value);
    } else {
        std::snprintf(text, sizeof text, "%" PRIu64, bits);
    }
    return text;
}

std::string Real(double value, int digits) {
    char text[40];
    std::snprintf(text, sizeof text, "%.*g", digits, value);
    return text;
}

// The length of the valid UTF-8 sequence at `text[at]`, 0 when there is none.
size_t Utf8SequenceAt(const std::string& text, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    size_t length = 0;
    uint32_t lowest = 0;
    uint32_t code = 0;
    if (lead < 0x80) {
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, lowest = 0x80, code = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, lowest = 0x800, code = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, lowest = 0x10000, code = lead & 0x07;
    } else {
        return 0;
    }
    if (text.size() - at < length) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (byte(at + i) & 0x3F);
    }
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return code >= lowest && code <= 0x10FFFF && !surrogate ? length : 0;
}

} // namespace

std::string Utf8Text(const std::string& bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (size_t at = 0; at < bytes.size();) {
        const size_t length = Utf8SequenceAt(bytes, at);
        if (length == 0) {
            text += "\xEF\xBF\xBD";
            ++at;
        } else {
            text.append(bytes, at, length);
            at += length;
        }
    }
    return text;
}

SparkplugType SparkplugTypeOf(const Variable& variable) {
    if (IsDateAndTime(variable)) {
        return kSparkplugDateTime;
    }
    const uint32_t size = variable.shape.size;
    switch (variable.shape.kind) {
    case ValueKind::kBool:
        return kSparkplugBoolean;
    case ValueKind::kUnsigned:
        return size == 1   ? kSparkplugUInt8
               : size == 2 ? kSparkplugUInt16
               : size == 4 ? kSparkplugUInt32
                           : kSparkplugUInt64;
    case ValueKind::kSigned:
        return size == 1   ? kSparkplugInt8
               : size == 2 ? kSparkplugInt16
               : size == 4 ? kSparkplugInt32
                           : kSparkplugInt64;
    case ValueKind::kFloat:
        return size == 4 ? kSparkplugFloat : kSparkplugDouble;
    case ValueKind::kText:
        return kSparkplugString;
    case ValueKind::kIntArray:
    case ValueKind::kBytes:
        break;
    }
    return kSparkplugBytes;
}

void SetMetricValue(const Variable& variable, const ReadValue& value, SparkplugMetric& metric) {
    const uint32_t size = variable.shape.size;
    if (!value.valid || value.bytes.size() < size) {
        metric.set_is_null(true);
        return;
    }
    const uint8_t* data = value.bytes.data();
    switch (SparkplugTypeOf(variable)) {
    case kSparkplugBoolean:
        metric.set_boolean_value(data[0] != 0);
        return;
    case kSparkplugUInt8:
    case kSparkplugUInt16:
    case kSparkplugUInt32:
        metric.set_int_value(static_cast<uint32_t>(formats::LoadUnsigned(data, size)));
        return;
    case kSparkplugInt8:
    case kSparkplugInt16:
    case kSparkplugInt32:
        metric.set_int_value(
            static_cast<uint32_t>(static_cast<int32_t>(formats::LoadSigned(data, size))));
        return;
    case kSparkplugUInt64:
    case kSparkplugInt64:
        metric.set_long_value(formats::LoadUnsigned(data, size));
        return;
    case kSparkplugFloat:
        metric.set_float_value(static_cast<float>(formats::LoadFloat(data, size)));
        return;
    case kSparkplugDouble:
        metric.set_double_value(formats::LoadFloat(data, size));
        return;
    case kSparkplugString:
        metric.set_string_value(Utf8Text(ValueJson(variable.shape, data).get<std::string>()));
        return;
    case kSparkplugDateTime:
        metric.set_long_value(LoadLittleEndian(data, kDateAndTimeSeconds) * 1000);
        return;
    case kSparkplugBytes:
        break;
    }
    std::string bytes(reinterpret_cast<const char*>(data), size);
    if (variable.shape.kind == ValueKind::kIntArray) {
        for (uint32_t i = 0; i + 1 < size; i += 2) {
            const auto element = static_cast<uint16_t>(formats::LoadUnsigned(data + i, 2));
            bytes[i] = static_cast<char>(element & 0xFF);
            bytes[i + 1] = static_cast<char>(element >> 8);
        }
    }
    metric.set_bytes_value(std::move(bytes));
}

bool MetricWriteText(const SparkplugMetric& metric, const Variable& variable, std::string& text,
                     std::string& why) {
    const uint32_t datatype = metric.has_datatype() ? metric.datatype() : SparkplugTypeOf(variable);
    const bool isSigned = IsSignedType(datatype);
    switch (metric.value_case()) {
    case SparkplugMetric::kIntValue:
        text = Decimal(metric.int_value(), isSigned, 32);
        return true;
    case SparkplugMetric::kLongValue:
        if (IsDateAndTime(variable)) {
            // Seconds since 1970, least significant byte first, as the variable holds them.
            uint64_t seconds = metric.long_value() / 1000;
            if (seconds > std::numeric_limits<uint32_t>::max()) {
                why = "the time does not fit " + variable.name;
                return false;
            }
            std::string bytes(variable.shape.size, '\0');
            for (uint32_t i = 0; i < kDateAndTimeSeconds; ++i, seconds >>= 8) {
                bytes[i] = static_cast<char>(seconds & 0xFF);
            }
            text = Hex(bytes);
            return true;
        }
        text = Decimal(metric.long_value(), isSigned, 64);
        return true;
    case SparkplugMetric::kFloatValue:
        text = Real(metric.float_value(), 9);
        return true;
    case SparkplugMetric::kDoubleValue:
        text = Real(metric.double_value(), 17);
        return true;
    case SparkplugMetric::kBooleanValue:
        text = metric.boolean_value() ? "true" : "false";
        return true;
    case SparkplugMetric::kStringValue:
        text = metric.string_value();
        return true;
    case SparkplugMetric::kBytesValue: {
        const std::string& bytes = metric.bytes_value();
        if (variable.shape.kind != ValueKind::kIntArray) {
            text = Hex(bytes);
            return true;
        }
        if (bytes.size() % 2 != 0) {
            why = "an odd number of bytes is no array of 16-bit elements for " + variable.name;
            return false;
        }
        // The elements, least significant byte first, as the array is published.
        text.clear();
        for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
            const auto element = static_cast<int16_t>(
                static_cast<uint16_t>(static_cast<unsigned char>(bytes[i]) |
                                      (static_cast<unsigned char>(bytes[i + 1]) << 8)));
            text += (text.empty() ? "" : ",") + std::to_string(element);
        }
        return true;
    }
    case SparkplugMetric::VALUE_NOT_SET:
        break;
    }
    why = "the metric for " + variable.name + " carries no value";
    return false;
}

} // namespace ksymtool
