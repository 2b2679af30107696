// A device whose content lives in a heap buffer of its own, grown by doubling.
#include <cstring>
#include <memory>
#include <new>

#include "extern/kutil.h"
#include "kutil/ser_dev_detail.h"

namespace {

constexpr int64_t kFirstCapacity = 256;

} // namespace

KHeapSerDev::KHeapSerDev() : KHeapSerDev(SD_WRITE) {}

KHeapSerDev::KHeapSerDev(SDMODE mode) : KSerDev(mode), data_(nullptr), capacity_(0) {}

KHeapSerDev::KHeapSerDev(const KHeapSerDev& other) : KSerDev(other), data_(nullptr), capacity_(0) {
    if (other.length_ > 0 && other.data_ != nullptr) {
        data_ = new (std::nothrow) char[static_cast<size_t>(other.length_)];
        if (data_ == nullptr) {
            length_ = 0;
            status_ = SD_NO_MEMORY;
            return;
        }
        std::memcpy(data_, other.data_, static_cast<size_t>(other.length_));
        capacity_ = other.length_;
    } else {
        length_ = 0;
    }
}

KHeapSerDev& KHeapSerDev::operator=(const KHeapSerDev& other) {
    if (this == &other) {
        return *this;
    }
    // Build the copy first: when memory runs out, this device stays as it was.
    std::unique_ptr<char[]> copy;
    int32_t copyLength = 0;
    if (other.length_ > 0 && other.data_ != nullptr) {
        copy.reset(new (std::nothrow) char[static_cast<size_t>(other.length_)]);
        if (!copy) {
            status_ = SD_NO_MEMORY;
            return *this;
        }
        std::memcpy(copy.get(), other.data_, static_cast<size_t>(other.length_));
        copyLength = other.length_;
    }
    KSerDev::operator=(other);
    delete[] data_;
    data_ = copy.release();
    capacity_ = copyLength;
    length_ = copyLength;
    return *this;
}

KHeapSerDev::~KHeapSerDev() {
    delete[] data_;
}

bool KHeapSerDev::Reserve(int64_t needed) {
    if (needed <= capacity_) {
        return true;
    }
    if (needed > INT32_MAX) {
        status_ = SD_NO_MEMORY;
        return false;
    }
    int64_t capacity = capacity_ > 0 ? capacity_ : kFirstCapacity;
    while (capacity < needed) {
        capacity *= 2;
    }
    if (capacity > INT32_MAX) {
        capacity = INT32_MAX;
    }
    std::unique_ptr<char[]> grown(new (std::nothrow) char[static_cast<size_t>(capacity)]);
    if (!grown) {
        status_ = SD_NO_MEMORY;
        return false;
    }
    if (length_ > 0) {
        std::memcpy(grown.get(), data_, static_cast<size_t>(length_));
    }
    delete[] data_;
    data_ = grown.release();
    capacity_ = static_cast<int32_t>(capacity);
    return true;
}

long KHeapSerDev::PutBlock(char* data, long n) {
    if (data == nullptr || n <= 0) {
        return 0;
    }
    // A device without a target (its file could not be opened, its mode is unknown) takes
    // writes and drops them, so that a writer needs no checks of its own and nothing grows.
    if (status_ == SD_OPEN_FAILED || status_ == SD_BAD_MODE) {
        return n;
    }
    const int64_t start = writePos_;
    if (n > INT32_MAX - start) {
        status_ = SD_NO_MEMORY;
        return 0;
    }
    const int64_t end = start + n;
    // The caller may hand in a part of this device's own content; growing moves it.
    const uintptr_t from = reinterpret_cast<uintptr_t>(data);
    const uintptr_t base = reinterpret_cast<uintptr_t>(data_);
    const bool own = data_ != nullptr && from >= base && from - base < uintptr_t(capacity_);
    const size_t ownOffset = own ? static_cast<size_t>(from - base) : 0;
    if (own && static_cast<int64_t>(ownOffset) + n > capacity_) {
        return 0; // reaches past this device's buffer
    }
    if (!Reserve(end)) {
        return 0;
    }
    const char* source = own ? data_ + ownOffset : data;
    if (start > length_) { // a write past the end: the gap reads as zeros
        std::memset(data_ + length_, 0, static_cast<size_t>(start - length_));
    }
    std::memmove(data_ + start, source, static_cast<size_t>(n));
    writePos_ = static_cast<int32_t>(end);
    if (writePos_ > length_) {
        length_ = writePos_;
    }
    return n;
}

long KHeapSerDev::GetBlock(char* buffer, long n) {
    return kutil_detail::ReadFromMemory(data_, length_, readPos_, buffer, n);
}

long KHeapSerDev::PutString(char* text) {
    return kutil_detail::PutStringBlocks(*this, text);
}

long KHeapSerDev::GetString(char* buffer, long n) {
    if (buffer == nullptr || n <= 0) {
        return -1;
    }
    if (readPos_ >= length_) {
        buffer[0] = '\0';
        return -1;
    }
    kutil_detail::LineCollector line(buffer, n);
    readPos_ += static_cast<int32_t>(line.Take(data_ + readPos_, length_ - readPos_));
    return line.Finish();
}
