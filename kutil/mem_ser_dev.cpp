// A device over memory the caller owns and sizes. Its size (the limit of the content) is
// kept in cookie_.
#include <cstring>

#include "extern/kutil.h"
#include "kutil/ser_dev_detail.h"

KMemSerDev::KMemSerDev(char* memory, long size, SDMODE mode) : KSerDev(mode), memory_(nullptr) {
    if (status_ != SD_OK) {
        return;
    }
    if (memory == nullptr || size < 0) {
        status_ = SD_OPEN_FAILED;
        return;
    }
    memory_ = memory;
    // Positions are 32-bit words: memory beyond them is not used.
    cookie_ = size > INT32_MAX ? INT32_MAX : static_cast<int32_t>(size);
    length_ = mode == SD_READ ? cookie_ : 0;
}

KMemSerDev::KMemSerDev(const KMemSerDev& other) : KSerDev(other), memory_(other.memory_) {}

KMemSerDev& KMemSerDev::operator=(const KMemSerDev& other) {
    KSerDev::operator=(other);
    memory_ = other.memory_;
    return *this;
}

KMemSerDev::~KMemSerDev() = default; // the memory stays the caller's

long KMemSerDev::PutBlock(char* data, long n) {
    // Memory given for reading may be read-only: only a write-mode device writes to it.
    if (memory_ == nullptr || mode_ != SD_WRITE || data == nullptr || n <= 0 ||
        writePos_ >= cookie_) {
        return 0;
    }
    const long room = static_cast<long>(cookie_ - writePos_);
    const long count = n < room ? n : room;
    if (writePos_ > length_) { // a write past the end: the gap reads as zeros
        std::memset(memory_ + length_, 0, static_cast<size_t>(writePos_ - length_));
    }
    std::memmove(memory_ + writePos_, data, static_cast<size_t>(count));
    writePos_ += static_cast<int32_t>(count);
    if (writePos_ > length_) {
        length_ = writePos_;
    }
    return count;
}

long KMemSerDev::GetBlock(char* buffer, long n) {
    return kutil_detail::ReadFromMemory(memory_, length_, readPos_, buffer, n);
}

long KMemSerDev::PutString(char* text) {
    return kutil_detail::PutStringBlocks(*this, text);
}

long KMemSerDev::GetString(char* buffer, long n) {
    return kutil_detail::GetStringBlocks(*this, buffer, n);
}
