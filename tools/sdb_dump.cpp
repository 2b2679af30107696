#include "sdb_dump.h"

#include <cstdio>

#include "plcsim/byte_order.h"
#include "plcsim/file_bytes.h"
#include "plcsim/sdb_writer.h"

namespace sdbtool {

namespace {

uint32_t Field(const std::vector<uint8_t>& bytes, size_t offset) {
    return plcsim::Get(bytes.data() + offset, 4, plcsim::ByteOrder::Little);
}

const char* KindName(uint32_t kind) {
    switch (kind) {
    case plcsim::kSdbHeaderSection:
        return "header";
    case plcsim::kSdbTypesSection:
        return "types";
    case plcsim::kSdbVariablesSection:
        return "variables";
    default:
        return "unknown";
    }
}

} // namespace

bool WalkSections(const std::vector<uint8_t>& bytes, std::vector<SectionInfo>& sections,
                  std::string& problem) {
    sections.clear();
    if (bytes.empty()) {
        problem = "offset 0: the file is empty";
        return false;
    }
    size_t offset = 0;
    while (offset < bytes.size()) {
        const size_t left = bytes.size() - offset;
        const std::string at = "offset " + std::to_string(offset) + ": ";
        if (left < plcsim::kSdbSectionHeaderSize) {
            problem = at + "section header cut short (" + std::to_string(left) + " bytes left)";
            return false;
        }
        SectionInfo section;
        section.offset = offset;
        section.kind = Field(bytes, offset);
        section.length = Field(bytes, offset + 4);
        section.version = Field(bytes, offset + 8);
        section.value = Field(bytes, offset + 12);
        if (section.length < plcsim::kSdbSectionHeaderSize) {
            problem = at + "length " + std::to_string(section.length) +
                      " is shorter than a section header";
            return false;
        }
        if (section.length > left) {
            problem = at + "length " + std::to_string(section.length) +
                      " reaches past the end of the file (" + std::to_string(left) + " bytes left)";
            return false;
        }
        sections.push_back(section);
        offset += section.length;
    }
    return true;
}

void PrintSections(const std::vector<SectionInfo>& sections, std::ostream& out) {
    for (const SectionInfo& section : sections) {
        char value[16];
        // The header's value is the project identifier, the others' a record count.
        std::snprintf(value, sizeof value,
                      section.kind == plcsim::kSdbHeaderSection ? "0x%08X" : "%u",
                      static_cast<unsigned>(section.value));
        out << "offset " << section.offset << ": kind " << section.kind << " ("
            << KindName(section.kind) << "), length " << section.length << ", version "
            << section.version << ", value " << value << "\n";
    }
}

int Dump(const std::string& path, std::ostream& out, std::ostream& err) {
    std::vector<uint8_t> bytes;
    if (!plcsim::ReadFileBytes(path, bytes)) {
        err << "sdbtool: cannot read " << path << "\n";
        return 2;
    }
    std::vector<SectionInfo> sections;
    std::string problem;
    const bool walked = WalkSections(bytes, sections, problem);
    PrintSections(sections, out);
    if (!walked) {
        err << "sdbtool: " << path << ": " << problem << "\n";
        return 1;
    }
    // Further listings of the file follow the section list, each a function of the path and
    // `out` that returns whether the file passed.
    return 0;
}

} // namespace sdbtool
