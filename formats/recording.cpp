#include "formats/recording.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <memory>
#include <unordered_map>

namespace formats {

namespace {

using Json = nlohmann::ordered_json;

// The station's bytes as a JSON text: each byte is the character of its number.
std::string BytesText(const std::string& bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            text += c;
        } else {
            text += static_cast<char>(0xC0 | (byte >> 6));
            text += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return text;
}

// The reverse: false for a character beyond U+00FF (the UTF-8 itself the JSON reader checked).
bool TextBytes(const std::string& text, std::string& bytes) {
    bytes.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            bytes += text[i];
        } else if ((lead == 0xC2 || lead == 0xC3) && i + 1 < text.size()) {
            const auto next = static_cast<unsigned char>(text[++i]);
            bytes += static_cast<char>(((lead & 0x03) << 6) | (next & 0x3F));
        } else {
            return false;
        }
    }
    return true;
}

constexpr char kHexDigits[] = "0123456789ABCDEF";

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const uint8_t byte : bytes) {
        text += kHexDigits[byte >> 4];
        text += kHexDigits[byte & 0x0F];
    }
    return text;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool Unhex(const std::string& text, std::vector<uint8_t>& bytes) {
    if (text.size() % 2 != 0) {
        return false;
    }
    bytes.resize(text.size() / 2);
    for (size_t i = 0; i < bytes.size(); ++i) {
        const int high = HexDigit(text[2 * i]);
        const int low = HexDigit(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        bytes[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Base64(const std::vector<uint8_t>& bytes) {
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t left = bytes.size() - i;
        const uint32_t word = uint32_t{bytes[i]} << 16 |
                              (left > 1 ? uint32_t{bytes[i + 1]} << 8 : 0u) |
                              (left > 2 ? uint32_t{bytes[i + 2]} : 0u);
        text += kBase64[word >> 18 & 0x3F];
        text += kBase64[word >> 12 & 0x3F];
        text += left > 1 ? kBase64[word >> 6 & 0x3F] : '=';
        text += left > 2 ? kBase64[word & 0x3F] : '=';
    }
    return text;
}

bool Unbase64(const std::string& text, std::vector<uint8_t>& bytes) {
    if (text.size() % 4 != 0) {
        return false;
    }
    bytes.clear();
    bytes.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        uint32_t word = 0;
        int padding = 0;
        for (size_t j = 0; j < 4; ++j) {
            const char c = text[i + j];
            const char* at = c == '\0' ? nullptr : std::strchr(kBase64, c);
            // Padding only at the end of the last group, and at most two.
            if (c == '=' && i + 4 == text.size() && j >= 2 && (j == 3 || text[i + 3] == '=')) {
                ++padding;
                word <<= 6;
                continue;
            }
            if (at == nullptr || padding != 0) {
                return false;
            }
            word = word << 6 | static_cast<uint32_t>(at - kBase64);
        }
        bytes.push_back(static_cast<uint8_t>(word >> 16));
        if (padding < 2) {
            bytes.push_back(static_cast<uint8_t>(word >> 8));
        }
        if (padding < 1) {
            bytes.push_back(static_cast<uint8_t>(word));
        }
    }
    return true;
}

Json ValuesObject(const RecordingHeader& header, const std::vector<RecordedValue>& values) {
    Json object = Json::object();
    for (const RecordedValue& value : values) {
        const std::string name = BytesText(header.variables.at(value.variable).name);
        object[name] = value.present ? Json(Hex(value.bytes)) : Json(nullptr);
    }
    return object;
}

// Reads one line's fields; each failure says what was wrong, the caller adds the line.
class LineReader {
public:
    explicit LineReader(std::string& error) : error_(error) {}

    bool Fail(const std::string& why) {
        error_ = why;
        return false;
    }

    // A member that must be there, of the kind `check` accepts.
    template <typename Check>
    const Json* Member(const Json& object, const char* key, const char* kind, Check check) {
        const auto found = object.find(key);
        if (found == object.end()) {
            Fail(std::string("\"") + key + "\" is missing");
            return nullptr;
        }
        if (!check(*found)) {
            Fail(std::string("\"") + key + "\" is not " + kind);
            return nullptr;
        }
        return &*found;
    }

    bool Unsigned(const Json& object, const char* key, uint64_t limit, uint64_t& value) {
        const Json* member = Member(object, key, "an unsigned number",
                                    [](const Json& j) { return j.is_number_unsigned(); });
        if (member == nullptr) {
            return false;
        }
        value = member->get<uint64_t>();
        if (value > limit) {
            return Fail(std::string("\"") + key + "\" is larger than " + std::to_string(limit));
        }
        return true;
    }

    bool Text(const Json& object, const char* key, std::string& value) {
        const Json* member =
            Member(object, key, "a text", [](const Json& j) { return j.is_string(); });
        if (member == nullptr) {
            return false;
        }
        if (!TextBytes(member->get_ref<const std::string&>(), value)) {
            return Fail(std::string("\"") + key + "\" holds a character beyond U+00FF");
        }
        return true;
    }

private:
    std::string& error_;
};

bool ReadVariable(LineReader& reader, const Json& entry, RecordedVariable& variable) {
    if (!entry.is_object()) {
        return reader.Fail("a variable is not an object");
    }
    uint64_t area = 0;
    uint64_t offset = 0;
    uint64_t size = 0;
    if (!reader.Text(entry, "name", variable.name) || !reader.Text(entry, "type", variable.type) ||
        !reader.Unsigned(entry, "area", 0xFFFF, area) ||
        !reader.Unsigned(entry, "offset", 0xFFFFFFFFu, offset) ||
        !reader.Unsigned(entry, "size", 0xFFFFFFFFu, size)) {
        return false;
    }
    variable.area = static_cast<uint16_t>(area);
    variable.offset = static_cast<uint32_t>(offset);
    variable.size = static_cast<uint32_t>(size);
    return true;
}

bool ReadHeader(LineReader& reader, const Json& line, RecordingHeader& header) {
    std::string kind;
    if (!reader.Text(line, "recording", kind)) {
        return false;
    }
    if (kind != "ksym") {
        return reader.Fail("not a ksym recording");
    }
    uint64_t version = 0;
    if (!reader.Unsigned(line, "version", UINT32_MAX, version)) {
        return false;
    }
    if (version != kRecordingVersion) {
        return reader.Fail("a recording of version " + std::to_string(version) +
                           "; this program reads version " + std::to_string(kRecordingVersion));
    }
    const auto isObject = [](const Json& j) { return j.is_object(); };
    const auto isArray = [](const Json& j) { return j.is_array(); };
    std::string order;
    std::string sdb;
    uint64_t id = 0;
    uint64_t number = 0;
    uint64_t block = 0;
    const Json* project = nullptr;
    const Json* texts = nullptr;
    const Json* variables = nullptr;
    if (!reader.Text(line, "started", header.started) ||
        !reader.Text(line, "station", header.station) ||
        (project = reader.Member(line, "project", "an object", isObject)) == nullptr ||
        !reader.Text(*project, "name", header.projectName) ||
        !reader.Unsigned(*project, "identifier", UINT32_MAX, id) ||
        !reader.Unsigned(*project, "number", UINT32_MAX, number) ||
        (texts = reader.Member(*project, "texts", "a list", isArray)) == nullptr ||
        !reader.Text(line, "byteOrder", order) ||
        !reader.Unsigned(line, "blockSize", UINT32_MAX, block) || !reader.Text(line, "sdb", sdb) ||
        (variables = reader.Member(line, "variables", "a list", isArray)) == nullptr) {
        return false;
    }
    if (texts->size() != header.texts.size()) {
        return reader.Fail("the project identification has not five texts");
    }
    for (size_t i = 0; i < header.texts.size(); ++i) {
        if (!(*texts)[i].is_string() ||
            !TextBytes((*texts)[i].get_ref<const std::string&>(), header.texts[i])) {
            return reader.Fail("a text of the project identification is no text of bytes");
        }
    }
    if (order != "big" && order != "little") {
        return reader.Fail("\"byteOrder\" is neither \"big\" nor \"little\"");
    }
    if (!Unbase64(sdb, header.sdb)) {
        return reader.Fail("\"sdb\" is not base64");
    }
    header.projectId = static_cast<uint32_t>(id);
    header.projectNumber = static_cast<uint32_t>(number);
    header.bigEndian = order == "big";
    header.blockSize = static_cast<uint32_t>(block);
    header.variables.resize(variables->size());
    std::unordered_map<std::string, size_t> seen;
    for (size_t i = 0; i < variables->size(); ++i) {
        if (!ReadVariable(reader, (*variables)[i], header.variables[i])) {
            return false;
        }
        if (!seen.emplace(header.variables[i].name, i).second) {
            return reader.Fail("the variable '" + header.variables[i].name + "' is recorded twice");
        }
    }
    return true;
}

// The records' reader: the state that one record's rules need from the ones before.
class RecordReader {
public:
    RecordReader(const RecordingHeader& header, LineReader& reader)
        : header_(header), reader_(reader) {
        for (size_t i = 0; i < header.variables.size(); ++i) {
            index_.emplace(header.variables[i].name, static_cast<uint32_t>(i));
        }
    }

    bool Read(const Json& line, Record& record) {
        if (ended_) {
            return reader_.Fail("a line after the end record");
        }
        if (!reader_.Unsigned(line, "t", UINT64_MAX, record.t) ||
            !reader_.Text(line, "time", record.time)) {
            return false;
        }
        if (record.t < lastT_) {
            return reader_.Fail("the time " + std::to_string(record.t) +
                                " ms comes before the record before it (" + std::to_string(lastT_) +
                                " ms)");
        }
        lastT_ = record.t;
        const bool snapshot = line.contains("snapshot");
        const bool changes = line.contains("changes");
        const bool gap = line.contains("gap");
        const bool end = line.contains("end");
        if (int{snapshot} + int{changes} + int{gap} + int{end} != 1) {
            return reader_.Fail("a record is one of snapshot, changes, gap and end");
        }
        if (end) {
            return ReadEnd(line, record);
        }
        if (gap) {
            record.kind = Record::Kind::Gap;
            known_ = false;
            return reader_.Text(line, "gap", record.reason);
        }
        if (changes && !known_) {
            return reader_.Fail("changes without a snapshot before them (the first record, "
                                "and the first after a gap, is a snapshot)");
        }
        record.kind = snapshot ? Record::Kind::Snapshot : Record::Kind::Changes;
        known_ = true;
        return ReadValues(line[snapshot ? "snapshot" : "changes"], record);
    }

    bool Ended() const { return ended_; }

private:
    bool ReadEnd(const Json& line, Record& record) {
        const Json* end =
            reader_.Member(line, "end", "an object", [](const Json& j) { return j.is_object(); });
        record.kind = Record::Kind::End;
        ended_ = true;
        return end != nullptr && reader_.Unsigned(*end, "records", UINT64_MAX, record.records) &&
               reader_.Unsigned(*end, "changes", UINT64_MAX, record.changes) &&
               reader_.Unsigned(*end, "gaps", UINT64_MAX, record.gaps);
    }

    bool ReadValues(const Json& values, Record& record) {
        if (!values.is_object()) {
            return reader_.Fail("the values are not an object");
        }
        for (const auto& [key, value] : values.items()) {
            std::string name;
            if (!TextBytes(key, name)) {
                return reader_.Fail("a name holds a character beyond U+00FF");
            }
            const auto found = index_.find(name);
            if (found == index_.end()) {
                return reader_.Fail("'" + name + "' is not a recorded variable");
            }
            RecordedValue entry;
            entry.variable = found->second;
            if (!value.is_null()) {
                const RecordedVariable& variable = header_.variables[found->second];
                if (!value.is_string() ||
                    !Unhex(value.get_ref<const std::string&>(), entry.bytes)) {
                    return reader_.Fail("the value of '" + name + "' is not hexadecimal");
                }
                if (entry.bytes.size() != RecordedBytes(variable)) {
                    return reader_.Fail(
                        "the value of '" + name + "' has " + std::to_string(entry.bytes.size()) +
                        " bytes, its variable " + std::to_string(RecordedBytes(variable)));
                }
                entry.present = true;
            }
            record.values.push_back(std::move(entry));
        }
        std::sort(
            record.values.begin(), record.values.end(),
            [](const RecordedValue& a, const RecordedValue& b) { return a.variable < b.variable; });
        if (record.kind == Record::Kind::Snapshot &&
            record.values.size() != header_.variables.size()) {
            return reader_.Fail("the snapshot lacks " +
                                std::to_string(header_.variables.size() - record.values.size()) +
                                " of the recorded variables");
        }
        return true;
    }

    const RecordingHeader& header_;
    LineReader& reader_;
    std::unordered_map<std::string, uint32_t> index_;
    uint64_t lastT_ = 0;
    bool known_ = false; // a snapshot came, and no gap after it
    bool ended_ = false;
};

} // namespace

bool RecordedVariable::operator==(const RecordedVariable& o) const {
    return name == o.name && type == o.type && area == o.area && offset == o.offset &&
           size == o.size;
}

bool RecordingHeader::operator==(const RecordingHeader& o) const {
    return started == o.started && station == o.station && projectName == o.projectName &&
           projectId == o.projectId && projectNumber == o.projectNumber && texts == o.texts &&
           bigEndian == o.bigEndian && blockSize == o.blockSize && sdb == o.sdb &&
           variables == o.variables;
}

bool RecordedValue::operator==(const RecordedValue& o) const {
    return variable == o.variable && present == o.present && bytes == o.bytes;
}

bool Record::operator==(const Record& o) const {
    return kind == o.kind && t == o.t && time == o.time && values == o.values &&
           reason == o.reason && records == o.records && changes == o.changes && gaps == o.gaps;
}

bool Recording::operator==(const Recording& o) const {
    return header == o.header && records == o.records;
}

std::string HeaderLine(const RecordingHeader& header) {
    Json texts = Json::array();
    for (const std::string& text : header.texts) {
        texts.push_back(BytesText(text));
    }
    Json variables = Json::array();
    for (const RecordedVariable& v : header.variables) {
        variables.push_back({{"name", BytesText(v.name)},
                             {"type", BytesText(v.type)},
                             {"area", v.area},
                             {"offset", v.offset},
                             {"size", v.size}});
    }
    Json line = {{"recording", "ksym"},
                 {"version", kRecordingVersion},
                 {"started", BytesText(header.started)},
                 {"station", BytesText(header.station)},
                 {"project",
                  {{"name", BytesText(header.projectName)},
                   {"identifier", header.projectId},
                   {"number", header.projectNumber},
                   {"texts", texts}}},
                 {"byteOrder", header.bigEndian ? "big" : "little"},
                 {"blockSize", header.blockSize},
                 {"sdb", Base64(header.sdb)},
                 {"variables", variables}};
    return line.dump() + "\n";
}

std::string RecordLine(const RecordingHeader& header, const Record& record) {
    Json line = {{"t", record.t}, {"time", BytesText(record.time)}};
    switch (record.kind) {
    case Record::Kind::Snapshot:
        line["snapshot"] = ValuesObject(header, record.values);
        break;
    case Record::Kind::Changes:
        line["changes"] = ValuesObject(header, record.values);
        break;
    case Record::Kind::Gap:
        line["gap"] = BytesText(record.reason);
        break;
    case Record::Kind::End:
        line["end"] = {
            {"records", record.records}, {"changes", record.changes}, {"gaps", record.gaps}};
        break;
    }
    return line.dump() + "\n";
}

bool ParseRecording(const std::string& text, Recording& recording, std::string& error) {
    recording = Recording();
    std::string why;
    LineReader reader(why);
    std::unique_ptr<RecordReader> records;
    size_t number = 0;
    size_t at = 0;
    while (at < text.size()) {
        ++number;
        const size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            error = "line " + std::to_string(number) +
                    ": the last line has no line feed (the recording was cut short)";
            return false;
        }
        const Json line =
            Json::parse(text.begin() + static_cast<std::ptrdiff_t>(at),
                        text.begin() + static_cast<std::ptrdiff_t>(end), nullptr, false);
        at = end + 1;
        bool ok = false;
        if (!line.is_object()) {
            ok = reader.Fail("not a JSON object");
        } else if (number == 1) {
            ok = ReadHeader(reader, line, recording.header);
            records = std::make_unique<RecordReader>(recording.header, reader);
        } else {
            recording.records.emplace_back();
            ok = records->Read(line, recording.records.back());
        }
        if (!ok) {
            error = "line " + std::to_string(number) + ": " + why;
            return false;
        }
    }
    if (records == nullptr || !records->Ended()) {
        error = "line " + std::to_string(number + 1) +
                ": the end record is missing (the recording was cut short)";
        return false;
    }
    return true;
}

} // namespace formats
