#include "tools/ksym/recorder.h"

#include <algorithm>

#include "formats/direct_address.h"
#include "formats/name_compare.h"

namespace ksymtool {

using formats::Record;
using formats::RecordedValue;

Recorder::Recorder(formats::RecordingHeader header, Sink sink)
    : header_(std::move(header)), sink_(std::move(sink)) {}

bool Recorder::Begin() {
    const std::string line = formats::HeaderLine(header_);
    bytes_ += line.size();
    return sink_(line);
}

bool Recorder::Put(const Record& record) {
    const std::string line = formats::RecordLine(header_, record);
    bytes_ += line.size();
    lastT_ = record.t;
    ++records_;
    return sink_(line);
}

bool Recorder::Read(uint64_t t, const std::string& time, const std::vector<RecordedBytes>& values) {
    Record record;
    record.t = std::max(t, lastT_); // a clock that steps back must not break the order
    record.time = time;
    const bool snapshot = last_.empty();
    record.kind = snapshot ? Record::Kind::Snapshot : Record::Kind::Changes;
    for (size_t i = 0; i < values.size() && i < header_.variables.size(); ++i) {
        if (!snapshot && values[i] == last_[i]) {
            continue;
        }
        RecordedValue value;
        value.variable = static_cast<uint32_t>(i);
        value.present = values[i].has_value();
        if (value.present) {
            value.bytes = *values[i];
        }
        record.values.push_back(std::move(value));
    }
    if (!snapshot) {
        changes_ += record.values.size();
    }
    last_ = values;
    last_.resize(header_.variables.size());
    return Put(record);
}

bool Recorder::Gap(uint64_t t, const std::string& time, const std::string& reason) {
    Record record;
    record.kind = Record::Kind::Gap;
    record.t = std::max(t, lastT_);
    record.time = time;
    record.reason = reason;
    last_.clear();
    ++gaps_;
    return Put(record);
}

bool Recorder::End(uint64_t t, const std::string& time) {
    Record record;
    record.kind = Record::Kind::End;
    record.t = std::max(t, lastT_);
    record.time = time;
    record.records = records_;
    record.changes = changes_;
    record.gaps = gaps_;
    const std::string line = formats::RecordLine(header_, record);
    bytes_ += line.size();
    return sink_(line);
}

bool RecordedVariableOf(const std::string& name, const std::string& typeName,
                        const std::vector<formats::SdbSymbol>& symbols,
                        formats::RecordedVariable& variable, uint8_t& elementSize) {
    const formats::SdbSymbol* symbol = nullptr;
    for (const formats::SdbSymbol& candidate : symbols) {
        if (!candidate.name.empty() && formats::NamesEqual(candidate.name.c_str(), name.c_str())) {
            symbol = &candidate;
            break;
        }
    }
    elementSize = symbol != nullptr ? symbol->elementSize : 0;
    variable.name = name;
    variable.type = typeName;
    formats::VarAddress address;
    if (formats::ParseDirectAddress(name.c_str(), address) != 0) {
        variable.area = address.area;
        variable.offset = address.offset;
        variable.size = address.size;
        return true;
    }
    if (symbol == nullptr) {
        return false;
    }
    variable.area = symbol->area;
    variable.offset = symbol->offset;
    variable.size = symbol->size;
    return true;
}

void ReverseElements(std::vector<uint8_t>& value, uint8_t elementSize) {
    if (elementSize < 2 || value.size() % elementSize != 0) {
        return;
    }
    for (size_t at = 0; at < value.size(); at += elementSize) {
        std::reverse(value.begin() + static_cast<std::ptrdiff_t>(at),
                     value.begin() + static_cast<std::ptrdiff_t>(at + elementSize));
    }
}

} // namespace ksymtool
