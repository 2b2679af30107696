// Sparkplug B payloads on the wire, read and written by the tests from the protocol's field
// numbers alone (not through the publisher's own classes): Payload timestamp 1, metrics 2,
// seq 3; Metric name 1, alias 2, timestamp 3, datatype 4, is_historical 5, is_null 7, and the
// value in 10 (int), 11 (long), 12 (float), 13 (double), 14 (boolean), 15 (string) or
// 16 (bytes).
#ifndef KSYM_TESTS_TOOLS_SPARKPLUG_WIRE_H
#define KSYM_TESTS_TOOLS_SPARKPLUG_WIRE_H

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace ksymtest {

struct WireMetric {
    std::optional<std::string> name;
    std::optional<uint64_t> alias;
    std::optional<uint64_t> timestamp;
    std::optional<uint64_t> datatype;
    bool historical = false;
    bool null = false;
    int valueField = 0;  // 10..16; 0: no value
    uint64_t number = 0; // fields 10, 11, 14
    double real = 0;     // fields 12, 13
    std::string bytes;   // fields 15, 16
};

struct WirePayload {
    std::optional<uint64_t> timestamp;
    std::optional<uint64_t> seq;
    std::vector<WireMetric> metrics;
};

// Reads the protocol's encoding; false for anything malformed (cut varints, lengths past the
// end, wire types a field cannot have).
class WireReader {
public:
    explicit WireReader(const std::string& bytes) : bytes_(bytes) {}

    bool done() const { return at_ >= bytes_.size(); }
    bool Varint(uint64_t& value) {
        value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (done()) {
                return false;
            }
            const auto byte = static_cast<unsigned char>(bytes_[at_++]);
            value |= uint64_t{byte & 0x7Fu} << shift;
            if ((byte & 0x80) == 0) {
                return true;
            }
        }
        return false;
    }
    bool Fixed(size_t size, uint64_t& value) {
        if (bytes_.size() - at_ < size) {
            return false;
        }
        value = 0;
        for (size_t i = 0; i < size; ++i) {
            value |= uint64_t{static_cast<unsigned char>(bytes_[at_ + i])} << (8 * i);
        }
        at_ += size;
        return true;
    }
    bool Length(std::string& out) {
        uint64_t length = 0;
        if (!Varint(length) || length > bytes_.size() - at_) {
            return false;
        }
        out = bytes_.substr(at_, static_cast<size_t>(length));
        at_ += static_cast<size_t>(length);
        return true;
    }

private:
    const std::string& bytes_;
    size_t at_ = 0;
};

inline bool DecodeMetric(const std::string& bytes, WireMetric& metric) {
    WireReader in(bytes);
    while (!in.done()) {
        uint64_t key = 0;
        if (!in.Varint(key)) {
            return false;
        }
        const uint64_t field = key >> 3;
        const uint64_t wire = key & 7;
        uint64_t number = 0;
        std::string text;
        bool ok = false;
        if (wire == 0) {
            ok = in.Varint(number);
        } else if (wire == 1) {
            ok = in.Fixed(8, number);
        } else if (wire == 5) {
            ok = in.Fixed(4, number);
        } else if (wire == 2) {
            ok = in.Length(text);
        }
        if (!ok) {
            return false;
        }
        switch (field) {
        case 1:
            metric.name = text;
            break;
        case 2:
            metric.alias = number;
            break;
        case 3:
            metric.timestamp = number;
            break;
        case 4:
            metric.datatype = number;
            break;
        case 5:
            metric.historical = number != 0;
            break;
        case 7:
            metric.null = number != 0;
            break;
        case 10:
        case 11:
        case 14:
            metric.valueField = static_cast<int>(field);
            metric.number = number;
            break;
        case 12: {
            float value = 0;
            const auto bits = static_cast<uint32_t>(number);
            std::memcpy(&value, &bits, sizeof value);
            metric.valueField = 12;
            metric.real = value;
            break;
        }
        case 13:
            metric.valueField = 13;
            std::memcpy(&metric.real, &number, sizeof metric.real);
            break;
        case 15:
        case 16:
            metric.valueField = static_cast<int>(field);
            metric.bytes = text;
            break;
        default:
            break;
        }
    }
    return true;
}

inline bool DecodePayload(const std::string& bytes, WirePayload& payload) {
    WireReader in(bytes);
    while (!in.done()) {
        uint64_t key = 0;
        if (!in.Varint(key)) {
            return false;
        }
        std::string metric;
        uint64_t number = 0;
        switch (key) {
        case (1 << 3) | 0:
            if (!in.Varint(number))
                return false;
            payload.timestamp = number;
            break;
        case (2 << 3) | 2:
            if (!in.Length(metric))
                return false;
            payload.metrics.emplace_back();
            if (!DecodeMetric(metric, payload.metrics.back()))
                return false;
            break;
        case (3 << 3) | 0:
            if (!in.Varint(number))
                return false;
            payload.seq = number;
            break;
        default:
            return false; // the payload has no other fields
        }
    }
    return true;
}

// The bytes a hexadecimal text stands for.
inline std::string FromHex(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

// Writing commands: a key, a varint, a length-delimited field.
inline void PutVarint(std::string& out, uint64_t value) {
    do {
        const auto byte = static_cast<unsigned char>(value & 0x7F);
        value >>= 7;
        out.push_back(static_cast<char>(value != 0 ? byte | 0x80 : byte));
    } while (value != 0);
}
inline void PutNumber(std::string& out, int field, uint64_t value) {
    PutVarint(out, static_cast<uint64_t>(field) << 3);
    PutVarint(out, value);
}
inline void PutBytes(std::string& out, int field, const std::string& bytes) {
    PutVarint(out, (static_cast<uint64_t>(field) << 3) | 2);
    PutVarint(out, bytes.size());
    out += bytes;
}

} // namespace ksymtest

#endif
