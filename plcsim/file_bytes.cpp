#include "plcsim/file_bytes.h"

#include <fstream>

namespace plcsim {

bool ReadFileBytes(const std::string& path, std::vector<uint8_t>& bytes) {
    bytes.clear();
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return false;
    }
    char buffer[4096];
    for (;;) {
        file.read(buffer, sizeof buffer);
        const auto got = static_cast<size_t>(file.gcount());
        const auto* first = reinterpret_cast<const uint8_t*>(buffer);
        bytes.insert(bytes.end(), first, first + got);
        if (!file) {
            // The end of the file sets eof and fail together; anything else is an error.
            return file.eof() && !file.bad();
        }
    }
}

} // namespace plcsim
