#include "tools/sdbtool/sdb_dump.h"

#include <cstdio>
#include <iomanip>
#include <optional>

#include "extern/kutil.h"
#include "frame/channel_context.h"
#include "symbols/sdb_reader.h"
#include "symbols/symbol_table.h"

#include "formats/byte_order.h"
#include "formats/file_bytes.h"
#include "formats/sdb_writer.h"

namespace sdbtool {

namespace {

uint32_t Field(const std::vector<uint8_t>& bytes, size_t offset) {
    return formats::Get(bytes.data() + offset, 4, formats::ByteOrder::Little);
}

const char* KindName(uint32_t kind) {
    switch (kind) {
    case formats::kSdbHeaderSection:
        return "header";
    case formats::kSdbTypesSection:
        return "types";
    case formats::kSdbVariablesSection:
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
        if (left < formats::kSdbSectionHeaderSize) {
            problem = at + "section header cut short (" + std::to_string(left) + " bytes left)";
            return false;
        }
        SectionInfo section;
        section.offset = offset;
        section.kind = Field(bytes, offset);
        section.length = Field(bytes, offset + 4);
        section.version = Field(bytes, offset + 8);
        section.value = Field(bytes, offset + 12);
        if (section.length < formats::kSdbSectionHeaderSize) {
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
                      section.kind == formats::kSdbHeaderSection ? "0x%08X" : "%u",
                      static_cast<unsigned>(section.value));
        out << "offset " << section.offset << ": kind " << section.kind << " ("
            << KindName(section.kind) << "), length " << section.length << ", version "
            << section.version << ", value " << value << "\n";
    }
}

int Dump(const std::string& path, std::ostream& out, std::ostream& err) {
    std::vector<uint8_t> bytes;
    if (!formats::ReadFileBytes(path, bytes)) {
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
    if (!PrintTypesAndVariables(bytes, out)) {
        err << "sdbtool: " << path << ": the library's reader refuses the file\n";
        return 1;
    }
    return 0;
}

bool PrintTypesAndVariables(std::vector<uint8_t> bytes, std::ostream& out) {
    bytes.push_back(0); // room for the device even when the file is empty
    const auto length = static_cast<long>(bytes.size() - 1);
    ksym::SdbTypeTable types;
    uint32_t projectId = 0;
    {
        KMemSerDev device(reinterpret_cast<char*>(bytes.data()), length, SD_READ);
        if (!ksym::ReadSdbTypes(device, projectId, types)) {
            return false;
        }
    }
    out << "project id 0x" << std::hex << std::setw(8) << std::setfill('0') << projectId << std::dec
        << std::setfill(' ') << "\n";
    out << "types: " << types.size() << "\n";
    for (size_t i = 0; i < types.size(); ++i) {
        const ksym::SdbTypeSlot& slot = types[i];
        const auto index = static_cast<uint32_t>(i);
        const std::optional<uint8_t> element = ksym::ComputeElementSize(types, index);
        out << "  [" << i << "] ";
        if (slot.skipped) {
            out << "(skipped record)\n";
            continue;
        }
        out << slot.name << " code " << slot.code << " size " << slot.size;
        if (slot.code == 9) {
            out << " base " << slot.baseIndex << " count " << slot.itemCount;
        }
        out << " element ";
        if (element) {
            out << static_cast<unsigned>(*element) << " as \""
                << ksym::VariableTypeName(types, index) << "\"";
        } else {
            out << "(invalid base chain)";
        }
        out << "\n";
    }
    ksym::ChannelContext context;
    KMemSerDev device(reinterpret_cast<char*>(bytes.data()), length, SD_READ);
    const bool read = ksym::ReadSdbFile(device, context) != 0;
    if (read) {
        out << "variables: " << context.symbolCount << "\n";
        for (int32_t i = 0; i < context.symbolCount; ++i) {
            const SymbolEntry& entry = context.symbols[i];
            out << "  [" << i << "] " << entry.name << " : " << entry.typeName << " area "
                << entry.area << " offset " << entry.offset << " size " << entry.size << " element "
                << static_cast<unsigned>(context.elementSizes[i]) << "\n";
        }
    }
    ksym::ClearSymbolTable(context);
    return read;
}

} // namespace sdbtool
