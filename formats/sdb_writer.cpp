#include "formats/sdb_writer.h"

#include <fstream>
#include <stdexcept>

#include "formats/byte_order.h"

namespace formats {

namespace {

// The length field's offset, the same in a section header and in every record.
constexpr size_t kLengthField = 4;

void Put32(std::vector<uint8_t>& out, uint32_t value) {
    Put(out, value, 4, ByteOrder::Little);
}

void Put16(std::vector<uint8_t>& out, uint16_t value) {
    Put(out, value, 2, ByteOrder::Little);
}

// The name length field (terminator included), checked against what 16 bits hold.
uint16_t NameLength(const std::string& name) {
    if (name.size() > kSdbMaxNameLength) {
        throw std::length_error("SDB record name longer than " + std::to_string(kSdbMaxNameLength) +
                                " bytes");
    }
    return static_cast<uint16_t>(name.size() + 1);
}

void PutName(std::vector<uint8_t>& out, const std::string& name) {
    out.insert(out.end(), name.begin(), name.end());
    out.push_back(0);
}

} // namespace

size_t SdbWriter::BeginSection(uint32_t kind, uint32_t version, uint32_t value) {
    CloseSection();
    const size_t offset = image_.size();
    Put32(image_, kind);
    Put32(image_, 0); // length, filled in when the section ends
    Put32(image_, version);
    Put32(image_, value);
    openSection_ = offset;
    return offset;
}

void SdbWriter::AddType(const SdbType& type) {
    // Everything that can be refused is checked before the first byte is written.
    const uint16_t nameLength = NameLength(type.name);
    const bool array = type.code == kSdbCodeArray;
    const uint64_t itemBytes = array ? static_cast<uint64_t>(type.itemCount) * 8u : 0u;
    const uint64_t payload = array                        ? 8u + itemBytes
                             : SdbCodeHasExtra(type.code) ? kSdbExtraSize
                                                          : 0u;
    const uint64_t length = kSdbTypeFixedSize + nameLength + payload;
    if (length > 0xFFFFFFFFu) {
        throw std::length_error("SDB type record longer than its length field holds");
    }
    Put32(image_, kSdbTypeRecord);
    Put32(image_, static_cast<uint32_t>(length));
    Put32(image_, type.code);
    Put32(image_, type.size);
    Put16(image_, nameLength);
    PutName(image_, type.name);
    if (array) {
        Put32(image_, type.baseIndex);
        Put32(image_, type.itemCount);
        const auto wanted = static_cast<size_t>(itemBytes);
        const size_t given = type.itemData.size() < wanted ? type.itemData.size() : wanted;
        image_.insert(image_.end(), type.itemData.begin(),
                      type.itemData.begin() + static_cast<std::ptrdiff_t>(given));
        image_.resize(image_.size() + (wanted - given), 0);
    } else if (SdbCodeHasExtra(type.code)) {
        Put32(image_, type.extra);
    }
}

void SdbWriter::AddSkippedType(uint32_t kind, const std::vector<uint8_t>& body) {
    Put32(image_, kind);
    // Unlike a type record, a record of another kind counts only what follows its fixed part.
    Put32(image_, static_cast<uint32_t>(body.size()));
    image_.resize(image_.size() + (kSdbTypeFixedSize - 8), 0);
    AddRaw(body);
}

void SdbWriter::AddVariable(const SdbVariable& variable) {
    const uint16_t nameLength = NameLength(variable.name); // throws before anything is written
    Put32(image_, kSdbVariableRecord);
    Put32(image_, static_cast<uint32_t>(kSdbVariableFixedSize + nameLength));
    Put32(image_, variable.typeIndex);
    Put32(image_, 0); // reserved
    Put16(image_, variable.tag);
    Put16(image_, variable.area);
    Put32(image_, variable.offset);
    Put16(image_, nameLength);
    PutName(image_, variable.name);
}

void SdbWriter::AddSkippedVariable(uint32_t kind, const std::vector<uint8_t>& body) {
    Put32(image_, kind);
    Put32(image_, static_cast<uint32_t>(kSdbVariableFixedSize + body.size()));
    image_.resize(image_.size() + (kSdbVariableFixedSize - 8), 0);
    AddRaw(body);
}

void SdbWriter::AddRaw(const std::vector<uint8_t>& bytes) {
    image_.insert(image_.end(), bytes.begin(), bytes.end());
}

void SdbWriter::Patch32(size_t offset, uint32_t value) {
    if (offset > image_.size() || image_.size() - offset < 4) {
        throw std::out_of_range("SDB patch at " + std::to_string(offset) + " outside an image of " +
                                std::to_string(image_.size()) + " bytes");
    }
    for (size_t i = 0; i < 4; ++i) {
        image_[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

void SdbWriter::SetLength(size_t sectionOffset, uint32_t length) {
    Patch32(sectionOffset + kLengthField, length);
    if (sectionOffset == openSection_) {
        openSection_ = SIZE_MAX;
    }
}

void SdbWriter::CloseSection() {
    if (openSection_ != SIZE_MAX) {
        Patch32(openSection_ + kLengthField, static_cast<uint32_t>(image_.size() - openSection_));
        openSection_ = SIZE_MAX;
    }
}

std::vector<uint8_t> SdbWriter::Take() {
    CloseSection();
    std::vector<uint8_t> image;
    image.swap(image_);
    return image;
}

std::vector<uint8_t> WriteSdb(const SdbProject& project) {
    SdbWriter writer;
    writer.BeginSection(kSdbHeaderSection, project.version, project.projectId);
    writer.BeginSection(kSdbTypesSection, project.version,
                        static_cast<uint32_t>(project.types.size()));
    for (const SdbType& type : project.types) {
        writer.AddType(type);
    }
    writer.BeginSection(kSdbVariablesSection, project.version,
                        static_cast<uint32_t>(project.variables.size()));
    for (const SdbVariable& variable : project.variables) {
        writer.AddVariable(variable);
    }
    return writer.Take();
}

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes,
                    std::string& error) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (file) {
        file.write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        file.close();
    }
    if (!file) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

} // namespace formats
