// A NUL-terminated text in a buffer of its own. The buffer may be written by the system
// directly (through the pointer, up to GetAllocLen() bytes), so its text is always measured
// within the capacity and never trusted to be terminated.
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <utility>

#include "extern/kutil.h"

namespace {

// What a string points to when not even one byte could be had: empty, with no room to
// write into, and never freed.
char gNoBuffer[1] = {'\0'};

// Length of the text in a buffer of `capacity` bytes: up to the first NUL, or the whole
// buffer when there is none.
int32_t MeasuredLength(const char* text, int32_t capacity) {
    for (int32_t i = 0; i < capacity; ++i) {
        if (text[i] == '\0') {
            return i;
        }
    }
    return capacity > 0 ? capacity : 0;
}

// A buffer of `capacity` bytes, zero-filled; null when it cannot be had.
std::unique_ptr<char[]> NewBuffer(int64_t capacity) {
    if (capacity <= 0 || capacity > INT32_MAX) {
        return nullptr;
    }
    return std::unique_ptr<char[]>(new (std::nothrow) char[static_cast<size_t>(capacity)]());
}

} // namespace

KString::StringAlloc& KString::StringAlloc::operator=(const StringAlloc& other) {
    allocLen = other.allocLen;
    owned = other.owned;
    return *this;
}

KString::KString() : KString(1u) {}

KString::KString(unsigned capacity) : text_(gNoBuffer), alloc_{0, 0} {
    const int64_t wanted = capacity == 0 ? 1 : static_cast<int64_t>(capacity);
    std::unique_ptr<char[]> buffer = NewBuffer(wanted);
    if (buffer) {
        text_ = buffer.release();
        alloc_.allocLen = static_cast<int32_t>(wanted);
        alloc_.owned = 1;
    }
}

KString::KString(const char* text) : text_(gNoBuffer), alloc_{0, 0} {
    const size_t length = text == nullptr ? 0 : std::strlen(text);
    if (length >= static_cast<size_t>(INT32_MAX)) {
        return;
    }
    std::unique_ptr<char[]> buffer = NewBuffer(static_cast<int64_t>(length) + 1);
    if (buffer) {
        if (length > 0) {
            std::memcpy(buffer.get(), text, length);
        }
        text_ = buffer.release();
        alloc_.allocLen = static_cast<int32_t>(length + 1);
        alloc_.owned = 1;
    }
}

KString::KString(const KString& other) : text_(gNoBuffer), alloc_{0, 0} {
    // The copy keeps the capacity, so that code sizing a system call by the original's
    // capacity is right for the copy too; an unterminated text gets its terminator.
    const int32_t length = MeasuredLength(other.text_, other.alloc_.allocLen);
    const int64_t capacity =
        other.alloc_.allocLen > length ? other.alloc_.allocLen : static_cast<int64_t>(length) + 1;
    std::unique_ptr<char[]> buffer = NewBuffer(capacity);
    if (buffer) {
        std::memcpy(buffer.get(), other.text_, static_cast<size_t>(length));
        text_ = buffer.release();
        alloc_.allocLen = static_cast<int32_t>(capacity);
        alloc_.owned = 1;
    }
}

KString& KString::operator=(const KString& other) {
    if (this == &other) {
        return *this;
    }
    KString copy(other);
    if (copy.alloc_.owned == 0) {
        return *this; // out of memory: this string stays as it was
    }
    std::swap(text_, copy.text_);
    // Through operator= alone: StringAlloc's copy constructor is only the implicit one.
    StringAlloc keep{0, 0};
    keep = alloc_;
    alloc_ = copy.alloc_;
    copy.alloc_ = keep;
    return *this;
}

KString::~KString() {
    if (alloc_.owned != 0) {
        delete[] text_;
    }
}

int KString::GetAllocLen() const {
    return alloc_.allocLen;
}

KString::operator char*() {
    return text_;
}

char* KString::GetStringPointer() {
    return text_;
}

int KString::AppendText(char* text) {
    const int32_t length = MeasuredLength(text_, alloc_.allocLen);
    if (text == nullptr) {
        return length;
    }
    // The text may be a part of this string's own buffer: then it ends within the buffer.
    const std::less<const char*> before;
    size_t addition = 0;
    if (!before(text, text_) && before(text, text_ + alloc_.allocLen)) {
        addition = static_cast<size_t>(
            MeasuredLength(text, static_cast<int32_t>(text_ + alloc_.allocLen - text)));
    } else {
        addition = std::strlen(text);
    }
    if (addition >= static_cast<size_t>(INT32_MAX) ||
        static_cast<int64_t>(length) + static_cast<int64_t>(addition) + 1 > INT32_MAX) {
        return -1;
    }
    const int64_t needed = static_cast<int64_t>(length) + static_cast<int64_t>(addition) + 1;
    if (needed > alloc_.allocLen) {
        int64_t capacity = static_cast<int64_t>(alloc_.allocLen) * 2;
        if (capacity < needed) {
            capacity = needed;
        }
        if (capacity > INT32_MAX) {
            capacity = INT32_MAX;
        }
        std::unique_ptr<char[]> buffer = NewBuffer(capacity);
        if (!buffer) {
            return -1;
        }
        std::memcpy(buffer.get(), text_, static_cast<size_t>(length));
        std::memcpy(buffer.get() + length, text, addition); // before the old buffer goes
        if (alloc_.owned != 0) {
            delete[] text_;
        }
        text_ = buffer.release();
        alloc_.allocLen = static_cast<int32_t>(capacity);
        alloc_.owned = 1;
    } else {
        std::memmove(text_ + length, text, addition);
    }
    text_[length + static_cast<int32_t>(addition)] = '\0';
    return length + static_cast<int32_t>(addition);
}
