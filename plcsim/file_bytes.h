// Reading a whole file into memory, for symbol files and project descriptions. (Writing is
// WriteFileBytes in sdb_writer.h.)
#ifndef KSYM_PLCSIM_FILE_BYTES_H
#define KSYM_PLCSIM_FILE_BYTES_H

#include <cstdint>
#include <string>
#include <vector>

namespace plcsim {

// Replaces `bytes` with the file's content; false when it cannot be opened or read.
bool ReadFileBytes(const std::string& path, std::vector<uint8_t>& bytes);

} // namespace plcsim

#endif
