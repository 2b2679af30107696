#include "plcsim/project.h"

#include <fstream>

#include "plcsim/byte_order.h"

namespace plcsim {

namespace {
constexpr uint32_t kHeaderSectionKind = 1;
constexpr uint32_t kSectionHeaderSize = 16;
} // namespace

Project SampleProject() {
    Project project;
    project.fileName = "SAMPLE.PRO";
    project.id = 0x2026120B;
    project.number = 7;
    project.texts = {"SAMPLE", "1.0.0", "Sample plant with one line", "Quorvane", "2026-12-08"};
    return project;
}

bool LoadProject(const std::string& sdbPath, Project& project, std::string& error) {
    std::ifstream file(sdbPath, std::ios::binary);
    uint8_t header[kSectionHeaderSize] = {};
    if (!file || !file.read(reinterpret_cast<char*>(header), sizeof header)) {
        error = "cannot read the symbol file " + sdbPath;
        return false;
    }
    const uint32_t kind = Get(header, 4, ByteOrder::Little);
    const uint32_t version = Get(header + 8, 4, ByteOrder::Little);
    if (kind != kHeaderSectionKind || version > 1) {
        error = "not a symbol file (no valid header): " + sdbPath;
        return false;
    }
    project = SampleProject();
    project.sdbPath = sdbPath;
    project.id = static_cast<int32_t>(Get(header + 12, 4, ByteOrder::Little));
    const size_t slash = sdbPath.find_last_of("/\\");
    project.fileName = slash == std::string::npos ? sdbPath : sdbPath.substr(slash + 1);
    project.texts[0] = project.fileName;
    return true;
}

} // namespace plcsim
