// Recordings of what a station showed (docs/recording-format.md): one JSON object a line, a
// header, then snapshots, changes, gaps and the end. Written by ksym record, read by the
// simulator's replay. The reader takes untrusted text and refuses, with the line number and
// the reason, anything the format does not allow.
#ifndef KSYM_FORMATS_RECORDING_H
#define KSYM_FORMATS_RECORDING_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace formats {

inline constexpr uint32_t kRecordingVersion = 1;
// The largest recording read (a day at 100 ms of a few hundred changing variables fits).
inline constexpr uint64_t kMaxRecordingBytes = 512ull * 1024 * 1024;

// A recorded variable: where the controller holds it and how many bytes (0: a bit, whose
// value is one byte).
struct RecordedVariable {
    std::string name;
    std::string type;
    uint16_t area = 0;
    uint32_t offset = 0;
    uint32_t size = 0;

    bool operator==(const RecordedVariable& other) const;
};

struct RecordingHeader {
    std::string started; // ISO 8601 UTC
    std::string station;
    // The station's name for its project (the client's project name, e.g. "SAMPLE.PRO"):
    // the local symbol file is named after it.
    std::string projectName;
    uint32_t projectId = 0;
    uint32_t projectNumber = 0;
    // project, version, description, author, date: the station's bytes
    std::array<std::string, 5> texts;
    bool bigEndian = false;
    uint32_t blockSize = 0;
    std::vector<uint8_t> sdb;
    std::vector<RecordedVariable> variables;

    bool operator==(const RecordingHeader& other) const;
};

// One variable's value in a record: its index in the header's variables, and its bytes in
// the controller's order, or none when the controller did not deliver it.
struct RecordedValue {
    uint32_t variable = 0;
    bool present = false;
    std::vector<uint8_t> bytes;

    bool operator==(const RecordedValue& other) const;
};

struct Record {
    enum class Kind { Snapshot, Changes, Gap, End };
    Kind kind = Kind::Snapshot;
    uint64_t t = 0;   // milliseconds since the start
    std::string time; // the same moment, ISO 8601 UTC
    // Snapshot: every variable, in header order; Changes: the changed ones, in header order.
    std::vector<RecordedValue> values;
    std::string reason; // Gap
    // End: the records before it, the changed values and the gaps.
    uint64_t records = 0;
    uint64_t changes = 0;
    uint64_t gaps = 0;

    bool operator==(const Record& other) const;
};

struct Recording {
    RecordingHeader header;
    std::vector<Record> records; // the end record last

    bool operator==(const Recording& other) const;
};

// The lines of a recording, each with its line feed.
std::string HeaderLine(const RecordingHeader& header);
std::string RecordLine(const RecordingHeader& header, const Record& record);

// Reads a whole recording; false with `error` ("line N: reason") when it is not one.
bool ParseRecording(const std::string& text, Recording& recording, std::string& error);

// The bytes a value of `variable` takes in a record.
inline uint32_t RecordedBytes(const RecordedVariable& variable) {
    return variable.size == 0 ? 1u : variable.size;
}

} // namespace formats

#endif
