// Files and folders. Callers pass Windows-form paths; host_path() is the one place where
// they become POSIX paths.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/descriptor.h"
#include "platform/c_boundary.h"
#include "platform/handle_table.h"
#include "platform/last_error.h"

namespace kplatform {

namespace {

std::string host_path(const char* path) {
    std::string result(path);
    for (char& c : result) {
        if (c == '\\')
            c = '/';
    }
    return result;
}

// The folder part of a host path, "." when it has none.
std::string parent_of(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool is_folder(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Windows tells a missing file from a missing folder on the way to it; POSIX says ENOENT
// for both.
DWORD missing_error(const std::string& path) {
    return is_folder(parent_of(path)) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

class File : public Object {
public:
    File(int descriptor, bool readable, bool writable)
        : descriptor_(descriptor), readable_(readable), writable_(writable) {}
    ~File() override { ::close(descriptor_); }
    int descriptor() const { return descriptor_; }
    bool readable() const { return readable_; }
    bool writable() const { return writable_; }

private:
    const int descriptor_;
    const bool readable_;
    const bool writable_;
};

std::shared_ptr<File> find_file(HANDLE handle) {
    return kernel_objects().find_as<File>(handle_value(handle));
}

int open_retrying(const std::string& path, int flags) {
    int descriptor;
    do {
        descriptor = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
    } while (descriptor < 0 && errno == EINTR);
    return descriptor;
}

// Opens `host` as CreateFileA's `disposition` says, into `descriptor` (-1 with errno set
// when it cannot); false for a disposition there is none of. CREATE_ALWAYS and OPEN_ALWAYS
// succeed either way but tell, with ERROR_ALREADY_EXISTS, that the file was there
// (`existed`): the file is created first to know.
bool open_as(const std::string& host, int mode, DWORD disposition, int& descriptor, bool& existed) {
    switch (disposition) {
    case CREATE_NEW:
        descriptor = open_retrying(host, mode | O_CREAT | O_EXCL);
        return true;
    case OPEN_EXISTING:
        descriptor = open_retrying(host, mode);
        return true;
    case TRUNCATE_EXISTING:
        descriptor = open_retrying(host, mode | O_TRUNC);
        return true;
    case CREATE_ALWAYS:
    case OPEN_ALWAYS: {
        const int keep = disposition == CREATE_ALWAYS ? O_TRUNC : 0;
        // A file removed between the two attempts sends us round again.
        for (int attempt = 0; attempt < 8 && descriptor < 0; ++attempt) {
            descriptor = open_retrying(host, mode | O_CREAT | O_EXCL);
            if (descriptor >= 0 || errno != EEXIST)
                break;
            descriptor = open_retrying(host, mode | keep);
            existed = descriptor >= 0;
            if (descriptor < 0 && errno != ENOENT)
                break;
        }
        return true;
    }
    default:
        return false;
    }
}

// The last error of an open of `host` that failed with `error`.
void set_open_error(int error, const std::string& host) {
    if (error == ENOENT)
        SetLastError(missing_error(host));
    else if (error == EEXIST)
        SetLastError(kErrorFileExists);
    else
        SetLastError(error_from_errno(error));
}

} // namespace

} // namespace kplatform

using namespace kplatform;

extern "C" {

KPLATFORM_API HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD shareMode,
                                 LPSECURITY_ATTRIBUTES attributes, DWORD disposition, DWORD flags,
                                 HANDLE templateFile) {
    (void)shareMode; // POSIX has no sharing modes: others may always open the file too
    (void)attributes;
    (void)flags;
    (void)templateFile;
    return guarded<HANDLE>(INVALID_HANDLE_VALUE, [&]() -> HANDLE {
        if (!path || !*path) {
            SetLastError(!path ? ERROR_INVALID_PARAMETER : ERROR_PATH_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        const bool readable = (access & GENERIC_READ) != 0;
        const bool writable = (access & GENERIC_WRITE) != 0;
        int mode = readable && writable ? O_RDWR : writable ? O_WRONLY : O_RDONLY;
        if (disposition == TRUNCATE_EXISTING && !writable) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        const std::string host = host_path(path);

        bool existed = false;
        int descriptor = -1;
        if (!open_as(host, mode, disposition, descriptor, existed)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        if (descriptor < 0) {
            set_open_error(errno, host);
            return INVALID_HANDLE_VALUE;
        }
        Descriptor owned(descriptor);
        // Without backup semantics Windows refuses to open a folder as a file.
        struct stat info {};
        if (::fstat(owned.get(), &info) != 0 || S_ISDIR(info.st_mode)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        auto file = std::make_shared<File>(owned.get(), readable, writable);
        owned.release();
        HANDLE handle = reinterpret_cast<HANDLE>(kernel_objects().insert(std::move(file)));
        SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
        return handle;
    });
}

KPLATFORM_API BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read,
                            void* overlapped) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        if (read)
            *read = 0;
        std::shared_ptr<File> object = find_file(file);
        if (!object) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (overlapped || (!buffer && toRead > 0)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (!object->readable()) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        // Like Windows, fill the buffer unless the end of the file comes first.
        char* const bytes = static_cast<char*>(buffer);
        DWORD done = 0;
        while (done < toRead) {
            const ssize_t count = ::read(object->descriptor(), bytes + done, toRead - done);
            if (count < 0 && errno == EINTR)
                continue;
            if (count < 0) {
                if (read)
                    *read = done;
                SetLastError(error_from_errno(errno));
                return FALSE;
            }
            if (count == 0)
                break;
            done += static_cast<DWORD>(count);
        }
        if (read)
            *read = done;
        return TRUE;
    });
}

KPLATFORM_API BOOL WriteFile(HANDLE file, const void* buffer, DWORD toWrite, LPDWORD written,
                             void* overlapped) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        if (written)
            *written = 0;
        std::shared_ptr<File> object = find_file(file);
        if (!object) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (overlapped || (!buffer && toWrite > 0)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (!object->writable()) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        const char* const bytes = static_cast<const char*>(buffer);
        DWORD done = 0;
        while (done < toWrite) {
            const ssize_t count = ::write(object->descriptor(), bytes + done, toWrite - done);
            if (count < 0 && errno == EINTR)
                continue;
            if (count <= 0) {
                if (written)
                    *written = done;
                SetLastError(count < 0 ? error_from_errno(errno) : kErrorDiskFull);
                return FALSE;
            }
            done += static_cast<DWORD>(count);
        }
        if (written)
            *written = done;
        return TRUE;
    });
}

KPLATFORM_API DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD method) {
    return guarded<DWORD>(INVALID_SET_FILE_POINTER, [&]() -> DWORD {
        std::shared_ptr<File> object = find_file(file);
        if (!object) {
            SetLastError(ERROR_INVALID_HANDLE);
            return INVALID_SET_FILE_POINTER;
        }
        // Without a high part the distance is a signed 32-bit number; with it, the two
        // make one signed 64-bit number.
        std::int64_t move = distance;
        if (distanceHigh)
            move = static_cast<std::int64_t>(
                (static_cast<std::uint64_t>(static_cast<std::uint32_t>(*distanceHigh)) << 32) |
                static_cast<std::uint32_t>(distance));
        std::int64_t base = 0;
        if (method == FILE_CURRENT) {
            const off_t current = ::lseek(object->descriptor(), 0, SEEK_CUR);
            if (current < 0) {
                SetLastError(error_from_errno(errno));
                return INVALID_SET_FILE_POINTER;
            }
            base = current;
        } else if (method == FILE_END) {
            struct stat info {};
            if (::fstat(object->descriptor(), &info) != 0) {
                SetLastError(error_from_errno(errno));
                return INVALID_SET_FILE_POINTER;
            }
            base = info.st_size;
        } else if (method != FILE_BEGIN) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_SET_FILE_POINTER;
        }
        if ((move > 0 && base > INT64_MAX - move) || base + move < 0) {
            SetLastError(kErrorNegativeSeek);
            return INVALID_SET_FILE_POINTER;
        }
        const std::int64_t target = base + move;
        // A position beyond 4 GiB cannot be told back without the high part.
        if (!distanceHigh && target > static_cast<std::int64_t>(UINT32_MAX)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_SET_FILE_POINTER;
        }
        if (::lseek(object->descriptor(), static_cast<off_t>(target), SEEK_SET) < 0) {
            SetLastError(error_from_errno(errno));
            return INVALID_SET_FILE_POINTER;
        }
        if (distanceHigh)
            *distanceHigh = static_cast<LONG>(static_cast<std::uint64_t>(target) >> 32);
        // INVALID_SET_FILE_POINTER can be a real low part; callers then look at this.
        SetLastError(ERROR_SUCCESS);
        return static_cast<DWORD>(static_cast<std::uint64_t>(target));
    });
}

KPLATFORM_API DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh) {
    constexpr DWORD kInvalidFileSize = 0xFFFFFFFFu;
    return guarded<DWORD>(kInvalidFileSize, [&]() -> DWORD {
        std::shared_ptr<File> object = find_file(file);
        if (!object) {
            SetLastError(ERROR_INVALID_HANDLE);
            return kInvalidFileSize;
        }
        struct stat info {};
        if (::fstat(object->descriptor(), &info) != 0) {
            SetLastError(error_from_errno(errno));
            return kInvalidFileSize;
        }
        const auto size = static_cast<std::uint64_t>(info.st_size);
        if (sizeHigh)
            *sizeHigh = static_cast<DWORD>(size >> 32);
        SetLastError(ERROR_SUCCESS);
        return static_cast<DWORD>(size);
    });
}

KPLATFORM_API BOOL MoveFileExA(LPCSTR existing, LPCSTR target, DWORD flags) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        if (!existing || !*existing || !target || !*target ||
            (flags & ~MOVEFILE_REPLACE_EXISTING) != 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        const std::string from = host_path(existing);
        const std::string to = host_path(target);
        struct stat info {};
        if ((flags & MOVEFILE_REPLACE_EXISTING) == 0 && ::lstat(to.c_str(), &info) == 0) {
            SetLastError(ERROR_ALREADY_EXISTS);
            return FALSE;
        }
        // rename() replaces the target atomically.
        if (::rename(from.c_str(), to.c_str()) != 0) {
            const int error = errno;
            SetLastError(error == ENOENT ? missing_error(from) : error_from_errno(error));
            return FALSE;
        }
        return TRUE;
    });
}

KPLATFORM_API BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES attributes) {
    (void)attributes;
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        if (!path || !*path) {
            SetLastError(!path ? ERROR_INVALID_PARAMETER : ERROR_PATH_NOT_FOUND);
            return FALSE;
        }
        const std::string host = host_path(path);
        if (::mkdir(host.c_str(), 0777) != 0) {
            const int error = errno;
            SetLastError(error == ENOENT ? ERROR_PATH_NOT_FOUND : error_from_errno(error));
            return FALSE;
        }
        return TRUE;
    });
}

KPLATFORM_API BOOL DeleteFileA(LPCSTR path) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        if (!path || !*path) {
            SetLastError(!path ? ERROR_INVALID_PARAMETER : ERROR_PATH_NOT_FOUND);
            return FALSE;
        }
        const std::string host = host_path(path);
        if (::unlink(host.c_str()) != 0) {
            const int error = errno;
            SetLastError(error == ENOENT ? missing_error(host) : error_from_errno(error));
            return FALSE;
        }
        return TRUE;
    });
}

} // extern "C"
