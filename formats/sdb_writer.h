// Writing SDB symbol files: the low-level record writer that tests use to make files of any
// shape, good or hostile, and the whole-file writer behind `sdbtool build` and the simulated
// controller's projects.
#ifndef KSYM_FORMATS_SDB_WRITER_H
#define KSYM_FORMATS_SDB_WRITER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "formats/sdb_layout.h"

namespace formats {

// One type record of kind 4. The payload after the name follows from the code: arrays get
// base index, item count and count × 8 bytes of item data (zeros unless given); codes 11, 13
// and 23 get their 4 payload bytes (`extra`, little-endian); others get none.
struct SdbType {
    uint32_t code = 0;
    uint32_t size = 0;
    std::string name;
    uint32_t baseIndex = 0;        // arrays only
    uint32_t itemCount = 0;        // arrays only
    std::vector<uint8_t> itemData; // arrays: itemCount × 8 bytes; shorter is zero-filled
    uint32_t extra = 0;            // codes 11, 13, 23
};

// One variable record of kind 5.
struct SdbVariable {
    std::string name;
    uint32_t typeIndex = 0;
    uint16_t tag = 0; // stored little-endian as the record's two tag bytes
    uint16_t area = 0;
    uint32_t offset = 0;
};

// Appends records to a byte image, little-endian throughout. A section's length field is
// filled in when the next section begins or the image is taken, so it always reaches the
// next section header; SetLength overrides it for hostile files. Names are written with
// their terminating zero byte, and their length fields count it. A name longer than
// kSdbMaxNameLength or a record longer than its length field holds throws
// std::length_error (with nothing written), and Patch32 or SetLength outside the image
// throws std::out_of_range: either would otherwise make another file than asked for.
class SdbWriter {
public:
    // Begins a section; returns the offset of its header in the image.
    size_t BeginSection(uint32_t kind, uint32_t version, uint32_t value);
    // Appends a type record of kind 4 whose length field reaches the end of the record.
    void AddType(const SdbType& type);
    // Appends a record of another kind to the types section: the 18-byte fixed part with
    // its length field counting the `body` bytes that follow it.
    void AddSkippedType(uint32_t kind, const std::vector<uint8_t>& body);
    // Appends a variable record of kind 5 (its length field reaches the end of the name).
    void AddVariable(const SdbVariable& variable);
    // Appends a variable record of another kind: the 26-byte fixed part, then `body`; its
    // length field reaches the end of the body.
    void AddSkippedVariable(uint32_t kind, const std::vector<uint8_t>& body);
    // Appends bytes as they are.
    void AddRaw(const std::vector<uint8_t>& bytes);
    // Overwrites the 32-bit little-endian field at `offset` of the image.
    void Patch32(size_t offset, uint32_t value);
    // Fixes the length field of the section whose header lies at `sectionOffset`; that
    // section's length is then no longer filled in automatically.
    void SetLength(size_t sectionOffset, uint32_t length);
    size_t Size() const { return image_.size(); }
    // The image, with every automatic section length filled in; the writer is empty after.
    std::vector<uint8_t> Take();

private:
    void CloseSection();
    std::vector<uint8_t> image_;
    size_t openSection_ = SIZE_MAX; // header offset of the section whose length is automatic
};

// A whole project file: header section (the version, the id), types section, variables
// section. Every section carries the project's version; the types refer to each other and
// the variables to their types by index into `types`.
struct SdbProject {
    uint32_t projectId = 0;
    uint32_t version = 1;
    std::vector<SdbType> types;
    std::vector<SdbVariable> variables;
};

std::vector<uint8_t> WriteSdb(const SdbProject& project);

// Writes `bytes` to `path`; false with `error` set when the file cannot be written.
bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error);

} // namespace formats

#endif
