// Feeds untrusted text to the recording reader (formats::ParseRecording), the reader of what
// plcsim --replay serves.
//
// Checked: whatever is accepted, written again (HeaderLine, RecordLine) and read again, gives
// the same recording, and the written text is a fixed point (written a second time, the same
// bytes): nothing the reader lets through is lost or changed by the writer. The symbol file
// it carries goes through the walk the replaying station checks its variables with.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "formats/recording.h"
#include "formats/sdb_symbols.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    formats::Recording recording;
    std::string error;
    if (!formats::ParseRecording(text, recording, error)) {
        FUZZ_CHECK(error.rfind("line ", 0) == 0);
        return 0;
    }
    std::string written = formats::HeaderLine(recording.header);
    for (const formats::Record& record : recording.records) {
        written += formats::RecordLine(recording.header, record);
    }
    formats::Recording again;
    FUZZ_CHECK(formats::ParseRecording(written, again, error));
    FUZZ_CHECK(again == recording);
    std::string rewritten = formats::HeaderLine(again.header);
    for (const formats::Record& record : again.records) {
        rewritten += formats::RecordLine(again.header, record);
    }
    FUZZ_CHECK(rewritten == written);
    uint32_t projectId = 0;
    std::vector<formats::SdbSymbol> symbols;
    if (!formats::ReadSdbSymbols(recording.header.sdb, projectId, symbols)) {
        FUZZ_CHECK(symbols.empty());
    }
    return 0;
}
