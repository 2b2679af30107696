#include "formats/file_bytes.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#else
#include <filesystem>
#include <fstream>
#include <system_error>
#endif

namespace formats {

#ifndef _WIN32
bool ReadFileBytes(const std::string& path, std::vector<uint8_t>& bytes, uint64_t maxBytes) {
    bytes.clear();
    // Opened without waiting, so that a pipe without a writer cannot hold the reader; what
    // is opened is then looked at, not the name (which may be swapped meanwhile).
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat info {};
    bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
              static_cast<uint64_t>(info.st_size) <= maxBytes;
    if (ok) {
        bytes.reserve(static_cast<size_t>(info.st_size));
    }
    uint8_t buffer[4096];
    while (ok) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        // A file that grows while it is read is held to the bound all the same.
        ok = bytes.size() + static_cast<size_t>(got) <= maxBytes;
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
    ::close(fd);
    if (!ok) {
        bytes.clear();
    }
    return ok;
}
#else
bool ReadFileBytes(const std::string& path, std::vector<uint8_t>& bytes, uint64_t maxBytes) {
    bytes.clear();
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error) ||
        std::filesystem::file_size(path, error) > maxBytes || error) {
        return false;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return false;
    }
    char buffer[4096];
    for (;;) {
        file.read(buffer, sizeof buffer);
        const auto got = static_cast<size_t>(file.gcount());
        if (bytes.size() + got > maxBytes) {
            bytes.clear();
            return false;
        }
        const auto* first = reinterpret_cast<const uint8_t*>(buffer);
        bytes.insert(bytes.end(), first, first + got);
        if (!file) {
            // The end of the file sets eof and fail together; anything else is an error.
            return file.eof() && !file.bad();
        }
    }
}
#endif

} // namespace formats
