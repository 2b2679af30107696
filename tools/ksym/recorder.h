// Writing a recording (docs/recording-format.md) while ksym record reads: the header first,
// then a snapshot, then per read only what changed since the record before, a gap where the
// connection broke (the next read is a snapshot again), and the end record with the counts.
// Every line goes out when it is made, so that a recorder that dies leaves what it saw.
#ifndef KSYM_TOOLS_RECORDER_H
#define KSYM_TOOLS_RECORDER_H

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "formats/recording.h"
#include "formats/sdb_symbols.h"

namespace ksymtool {

// A variable's value as read: its bytes in the controller's order, or none when the
// controller did not deliver it.
using RecordedBytes = std::optional<std::vector<uint8_t>>;

class Recorder {
public:
    // Takes each line; false when it could not be written (the recorder then stops).
    using Sink = std::function<bool(const std::string&)>;

    Recorder(formats::RecordingHeader header, Sink sink);

    // The header line; false when it could not be written.
    bool Begin();
    // One read, `values` in the header's order.
    bool Read(uint64_t t, const std::string& time, const std::vector<RecordedBytes>& values);
    bool Gap(uint64_t t, const std::string& time, const std::string& reason);
    bool End(uint64_t t, const std::string& time);

    const formats::RecordingHeader& header() const { return header_; }
    uint64_t records() const { return records_; }
    uint64_t changes() const { return changes_; }
    uint64_t gaps() const { return gaps_; }
    uint64_t bytes() const { return bytes_; }

private:
    bool Put(const formats::Record& record);

    formats::RecordingHeader header_;
    Sink sink_;
    std::vector<RecordedBytes> last_; // empty before the first read and after a gap
    uint64_t lastT_ = 0;
    uint64_t records_ = 0;
    uint64_t changes_ = 0;
    uint64_t gaps_ = 0;
    uint64_t bytes_ = 0;
};

// What the recording says of a variable, and the unit of its byte-order conversion, as the
// library sees them: a direct address is its own place (the symbol of the same name, if
// any, gives the conversion unit, as in the library); a symbol name is the first symbol of
// the file with that name (letters in any case). False for a name that is neither.
bool RecordedVariableOf(const std::string& name, const std::string& typeName,
                        const std::vector<formats::SdbSymbol>& symbols,
                        formats::RecordedVariable& variable, uint8_t& elementSize);

// Turns a value between host and controller order the way the library does: each element
// of `elementSize` bytes reversed, nothing when the size is 0 or 1 or does not divide the
// value's.
void ReverseElements(std::vector<uint8_t>& value, uint8_t elementSize);

} // namespace ksymtool

#endif
