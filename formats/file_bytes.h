// Reading a whole file into memory, for symbol files and project descriptions. (Writing is
// WriteFileBytes in sdb_writer.h.)
#ifndef KSYM_FORMATS_FILE_BYTES_H
#define KSYM_FORMATS_FILE_BYTES_H

#include <cstdint>
#include <string>
#include <vector>

namespace formats {

// The largest file read as a project (a symbol file of millions of symbols stays below).
inline constexpr uint64_t kMaxProjectFileBytes = 256ull * 1024 * 1024;

// Replaces `bytes` with the content of the regular file at `path`, at most `maxBytes` long;
// false when it cannot be opened or read, is no regular file (a device, a pipe, a folder:
// nothing that could block the reader or never end), or is longer.
bool ReadFileBytes(const std::string& path, std::vector<uint8_t>& bytes,
                   uint64_t maxBytes = kMaxProjectFileBytes);

} // namespace formats

#endif
