// A file held whole in the heap: loaded at construction (read mode), or created empty at
// construction and written whole at Flush and destruction (write mode).
#include <cstring>

#include "extern/kutil.h"
#include "kutil/ser_dev_detail.h"

using kutil_detail::ScopedHandle;

namespace {

// Length of the path when it fits `room` bytes with its NUL, else -1; reads no further.
long FittingLength(const char* path, size_t room) {
    for (size_t i = 0; i < room; ++i) {
        if (path[i] == '\0') {
            return static_cast<long>(i);
        }
    }
    return -1;
}

} // namespace

KBufferedFileSerDev::KBufferedFileSerDev(char* path, SDMODE mode) : KHeapSerDev(mode), path_() {
    if (status_ != SD_OK) {
        return;
    }
    const long pathLength = path == nullptr ? -1 : FittingLength(path, sizeof path_);
    if (pathLength < 0) {
        status_ = SD_OPEN_FAILED;
        return;
    }
    std::memcpy(path_, path, static_cast<size_t>(pathLength) + 1);

    if (mode == SD_WRITE) {
        // Create (or empty) the file now, so that it exists from the start.
        ScopedHandle file(CreateFileA(path_, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.Valid()) {
            status_ = SD_OPEN_FAILED;
        }
        return;
    }

    ScopedHandle file(CreateFileA(path_, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) {
        status_ = SD_OPEN_FAILED;
        return;
    }
    DWORD high = 0;
    const DWORD size = GetFileSize(file.Get(), &high);
    if (high != 0 || size > static_cast<DWORD>(INT32_MAX)) {
        status_ = SD_OPEN_FAILED;
        return;
    }
    if (size == 0) {
        return;
    }
    if (!Reserve(size)) {
        return;
    }
    DWORD got = 0;
    if (!kutil_detail::ReadUpTo(file.Get(), data_, size, &got)) {
        status_ = SD_IO_ERROR;
    }
    length_ = static_cast<int32_t>(got); // a file that shrank meanwhile gives what is left
}

KBufferedFileSerDev::KBufferedFileSerDev(const KBufferedFileSerDev& other)
    : KHeapSerDev(other), path_() {
    // A copy that lost its content must not overwrite the file with less: it gets no path.
    if (other.length_ == 0 || data_ != nullptr) {
        std::memcpy(path_, other.path_, sizeof path_);
    }
}

KBufferedFileSerDev& KBufferedFileSerDev::operator=(const KBufferedFileSerDev& other) {
    if (this == &other) {
        return *this;
    }
    // This device stops being the one for its file: complete that file as destruction would.
    if (mode_ == SD_WRITE) {
        Flush();
    }
    // The heap part gets a fresh buffer when there is content to copy and keeps everything
    // as it was when it cannot; the path follows only a complete copy.
    const char* before = data_;
    KHeapSerDev::operator=(other);
    if (other.length_ == 0 || data_ != before) {
        std::memcpy(path_, other.path_, sizeof path_);
    }
    return *this;
}

KBufferedFileSerDev::~KBufferedFileSerDev() {
    if (mode_ == SD_WRITE) {
        Flush();
    }
}

SDERROR KBufferedFileSerDev::Flush() {
    if (mode_ != SD_WRITE || status_ == SD_OPEN_FAILED || status_ == SD_BAD_MODE) {
        return status_;
    }
    if (path_[0] == '\0') {
        return SD_OPEN_FAILED;
    }
    ScopedHandle file(CreateFileA(path_, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) {
        status_ = SD_IO_ERROR;
        return status_;
    }
    DWORD written = 0;
    if (length_ > 0 &&
        !kutil_detail::WriteAll(file.Get(), data_, static_cast<DWORD>(length_), &written)) {
        status_ = SD_IO_ERROR;
        return status_;
    }
    return SD_OK;
}
