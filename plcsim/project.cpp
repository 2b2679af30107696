#include "plcsim/project.h"

#include "formats/byte_order.h"
#include "formats/direct_address.h"
#include "formats/file_bytes.h"
#include "plcsim/sample_description.h"
#include "formats/sdb_description.h"
#include "formats/sdb_symbols.h"
#include "formats/sdb_writer.h"
#include "formats/name_compare.h"

namespace plcsim {

namespace {

// The header section's fields at the start of the file.
constexpr size_t kKindField = 0;
constexpr size_t kVersionField = 8;
constexpr size_t kValueField = 12;

Project BuildSampleProject() {
    Project project;
    project.number = 7;
    project.texts = {"SAMPLE", "1.0.0", "Sample plant with two lines", "Quorvane", "2026-12-08"};
    formats::SdbDescription description;
    std::string error;
    // The embedded text is checked by the tests; should it ever not parse, the sample has no
    // name, identifier 0 and no file, which every client notices at once.
    if (formats::ParseSdbDescription(SampleDescriptionText(), description, error)) {
        project.fileName = description.projectName;
        project.id = static_cast<int32_t>(description.project.projectId);
        project.sdb =
            std::make_shared<const std::vector<uint8_t>>(formats::WriteSdb(description.project));
        project.plant =
            std::make_shared<const formats::PlantDescription>(std::move(description.plant));
    }
    return project;
}

// Why a recorded variable is not what the recorded symbol file says, or "": a direct
// address stands for itself; a symbol name must lead (as the library looks names up: the
// first equal name, letters in any case) to a symbol of the same area, offset and size.
std::string Mismatch(const formats::RecordedVariable& variable,
                     const std::vector<formats::SdbSymbol>& symbols) {
    formats::VarAddress address;
    if (formats::ParseDirectAddress(variable.name.c_str(), address) != 0) {
        return address.area == variable.area && address.offset == variable.offset &&
                       address.size == variable.size
                   ? ""
                   : "the direct address '" + variable.name + "' is recorded at another place";
    }
    for (const formats::SdbSymbol& symbol : symbols) {
        if (!symbol.name.empty() &&
            formats::NamesEqual(symbol.name.c_str(), variable.name.c_str())) {
            return symbol.area == variable.area && symbol.offset == variable.offset &&
                           symbol.size == variable.size
                       ? ""
                       : "'" + variable.name +
                             "' lies elsewhere in the recorded symbol file (area " +
                             std::to_string(symbol.area) + ", offset " +
                             std::to_string(symbol.offset) + ", size " +
                             std::to_string(symbol.size) + ")";
        }
    }
    return "'" + variable.name + "' is not a symbol of the recorded symbol file";
}

} // namespace

Project SampleProject() {
    static const Project sample = BuildSampleProject();
    return sample;
}

bool HasSdbHeader(const std::vector<uint8_t>& bytes) {
    return bytes.size() >= formats::kSdbSectionHeaderSize &&
           formats::Get(&bytes[kKindField], 4, formats::ByteOrder::Little) ==
               formats::kSdbHeaderSection &&
           formats::Get(&bytes[kVersionField], 4, formats::ByteOrder::Little) <= 1;
}

bool ProjectOfRecording(const formats::Recording& recording, Project& project, std::string& error) {
    const formats::RecordingHeader& header = recording.header;
    if (!HasSdbHeader(header.sdb)) {
        error = "line 1: the recorded symbol file has no valid header";
        return false;
    }
    uint32_t fileId = 0;
    std::vector<formats::SdbSymbol> symbols;
    if (!formats::ReadSdbSymbols(header.sdb, fileId, symbols)) {
        error = "line 1: the recorded symbol file is damaged: the library would not read it";
        return false;
    }
    for (const formats::RecordedVariable& variable : header.variables) {
        const std::string mismatch = Mismatch(variable, symbols);
        if (!mismatch.empty()) {
            error = "line 1: " + mismatch;
            return false;
        }
    }
    Project loaded;
    loaded.fileName = header.projectName;
    loaded.sdb = std::make_shared<const std::vector<uint8_t>>(header.sdb);
    loaded.id = static_cast<int32_t>(header.projectId);
    loaded.number = header.projectNumber;
    loaded.texts = header.texts;
    project = std::move(loaded);
    return true;
}

bool LoadProject(const std::string& sdbPath, Project& project, std::string& error) {
    std::vector<uint8_t> bytes;
    if (!formats::ReadFileBytes(sdbPath, bytes)) {
        error = "cannot read the symbol file " + sdbPath;
        return false;
    }
    const size_t slash = sdbPath.find_last_of("/\\");
    const std::string fileName = slash == std::string::npos ? sdbPath : sdbPath.substr(slash + 1);
    Project loaded = SampleProject();
    if (!HasSdbHeader(bytes)) {
        // Not a symbol file: perhaps the description of one.
        formats::SdbDescription description;
        std::string why;
        if (!formats::ParseSdbDescription(std::string(bytes.begin(), bytes.end()), description,
                                          why)) {
            error = "neither a symbol file (no valid header) nor a project description (" + why +
                    "): " + sdbPath;
            return false;
        }
        loaded.fileName = description.projectName;
        loaded.id = static_cast<int32_t>(description.project.projectId);
        loaded.sdb =
            std::make_shared<const std::vector<uint8_t>>(formats::WriteSdb(description.project));
        loaded.plant =
            std::make_shared<const formats::PlantDescription>(std::move(description.plant));
        loaded.texts[0] = fileName;
        project = std::move(loaded);
        return true;
    }
    loaded.id =
        static_cast<int32_t>(formats::Get(&bytes[kValueField], 4, formats::ByteOrder::Little));
    loaded.sdb = std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
    loaded.plant = nullptr;
    loaded.fileName = fileName;
    loaded.texts[0] = loaded.fileName;
    project = std::move(loaded);
    return true;
}

} // namespace plcsim
