// A file read or written block by block through the system; every block seeks first, so the
// read and the write position stay independent of the system's file pointer.
#include "extern/kutil.h"
#include "kutil/ser_dev_detail.h"

using kutil_detail::IsValidHandle;

namespace {

// The largest block moved in one go: fits a DWORD and keeps positions within 32 bits.
long ClampBlock(long n, int32_t position) {
    const long room = static_cast<long>(INT32_MAX - position);
    return n < room ? n : room;
}

} // namespace

KFileSerDev::KFileSerDev(char* path, SDMODE mode) : KSerDev(mode), file_(INVALID_HANDLE_VALUE) {
    if (status_ != SD_OK) {
        return;
    }
    if (path == nullptr) {
        status_ = SD_OPEN_FAILED;
        return;
    }
    if (mode == SD_READ) {
        file_ = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
    } else {
        file_ = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (!IsValidHandle(file_)) {
        file_ = INVALID_HANDLE_VALUE;
        status_ = SD_OPEN_FAILED;
        return;
    }
    DWORD high = 0;
    const DWORD low = GetFileSize(file_, &high);
    // Positions are 32-bit words: a file beyond them cannot be addressed.
    if (high != 0 || low > static_cast<DWORD>(INT32_MAX)) {
        CloseHandle(file_);
        file_ = INVALID_HANDLE_VALUE;
        status_ = SD_OPEN_FAILED;
        return;
    }
    length_ = static_cast<int32_t>(low);
}

KFileSerDev::KFileSerDev(const KFileSerDev& other) : KSerDev(other), file_(INVALID_HANDLE_VALUE) {
    if (IsValidHandle(other.file_)) {
        HANDLE copy = nullptr;
        if (DuplicateHandle(GetCurrentProcess(), other.file_, GetCurrentProcess(), &copy, 0, FALSE,
                            DUPLICATE_SAME_ACCESS) &&
            IsValidHandle(copy)) {
            file_ = copy;
        } else {
            status_ = SD_OPEN_FAILED;
        }
    }
}

KFileSerDev& KFileSerDev::operator=(const KFileSerDev& other) {
    if (this == &other) {
        return *this;
    }
    HANDLE copy = INVALID_HANDLE_VALUE;
    bool failed = false;
    if (IsValidHandle(other.file_)) {
        HANDLE duplicate = nullptr;
        if (DuplicateHandle(GetCurrentProcess(), other.file_, GetCurrentProcess(), &duplicate, 0,
                            FALSE, DUPLICATE_SAME_ACCESS) &&
            IsValidHandle(duplicate)) {
            copy = duplicate;
        } else {
            failed = true;
        }
    }
    if (IsValidHandle(file_)) {
        CloseHandle(file_);
    }
    KSerDev::operator=(other);
    file_ = copy;
    if (failed) {
        // Without a handle of its own the copy is a device that could not be opened.
        status_ = SD_OPEN_FAILED;
    }
    return *this;
}

KFileSerDev::~KFileSerDev() {
    if (IsValidHandle(file_)) {
        CloseHandle(file_);
    }
}

long KFileSerDev::PutBlock(char* data, long n) {
    if (!IsValidHandle(file_) || mode_ != SD_WRITE || data == nullptr || n <= 0) {
        return 0;
    }
    const long count = ClampBlock(n, writePos_);
    if (count <= 0) {
        return 0;
    }
    if (SetFilePointer(file_, writePos_, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) {
        status_ = SD_IO_ERROR;
        return 0;
    }
    DWORD written = 0;
    if (!kutil_detail::WriteAll(file_, data, static_cast<DWORD>(count), &written)) {
        status_ = SD_IO_ERROR;
    }
    writePos_ += static_cast<int32_t>(written);
    if (writePos_ > length_) {
        length_ = writePos_;
    }
    return static_cast<long>(written);
}

long KFileSerDev::GetBlock(char* buffer, long n) {
    if (!IsValidHandle(file_) || mode_ != SD_READ || buffer == nullptr || n <= 0) {
        return 0;
    }
    const long count = ClampBlock(n, readPos_);
    if (count <= 0) {
        return 0;
    }
    if (SetFilePointer(file_, readPos_, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) {
        status_ = SD_IO_ERROR;
        return 0;
    }
    DWORD got = 0;
    if (!kutil_detail::ReadUpTo(file_, buffer, static_cast<DWORD>(count), &got)) {
        status_ = SD_IO_ERROR;
    }
    readPos_ += static_cast<int32_t>(got);
    if (readPos_ > length_) { // the file grew since it was opened
        length_ = readPos_;
    }
    return static_cast<long>(got);
}

long KFileSerDev::PutString(char* text) {
    return kutil_detail::PutStringBlocks(*this, text);
}

long KFileSerDev::GetString(char* buffer, long n) {
    return kutil_detail::GetStringBlocks(*this, buffer, n);
}
