// sdbtool dump: what an SDB file holds, walked with every length checked against the file.
#ifndef KSYM_TOOLS_SDB_DUMP_H
#define KSYM_TOOLS_SDB_DUMP_H

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace sdbtool {

struct SectionInfo {
    size_t offset = 0; // of the section header in the file
    uint32_t kind = 0;
    uint32_t length = 0;
    uint32_t version = 0;
    uint32_t value = 0;
};

// The sections from the start of the file, each found by its predecessor's length. Stops
// with `problem` set (and the sections before it kept) at a header the file cuts short, a
// length shorter than a header, or a length that reaches past the end. An empty file is a
// problem too.
bool WalkSections(const std::vector<uint8_t>& bytes, std::vector<SectionInfo>& sections,
                  std::string& problem);

// One line per section: offset, kind (with its name), length, version, value.
void PrintSections(const std::vector<SectionInfo>& sections, std::ostream& out);

// `sdbtool dump PATH`: the listings of the file on `out`, problems on `err`. 0 when the
// sections reach the end of the file exactly, 1 when the file breaks the layout, 2 when it
// cannot be read.
int Dump(const std::string& path, std::ostream& out, std::ostream& err);

// The types (with element sizes and the type names their variables get) and the variables
// (with sizes and element sizes) as the library's reader computes them. False when the
// reader refuses the file.
bool PrintTypesAndVariables(std::vector<uint8_t> bytes, std::ostream& out);

} // namespace sdbtool

#endif
