// Pieces the devices share: whole-buffer file I/O, the line reader behind GetString and the
// text writer behind PutString. Internal to KUtil (not exported).
#ifndef KSYM_KUTIL_SER_DEV_DETAIL_H
#define KSYM_KUTIL_SER_DEV_DETAIL_H

#include <cstdint>

#include "extern/kutil.h"

namespace kutil_detail {

// The delimiter PutString writes after the text.
extern const char kDelimiter[];
constexpr long kDelimiterLength = 2;

inline bool IsValidHandle(HANDLE handle) {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

// Closes the handle it holds when it goes out of scope.
class ScopedHandle {
public:
    explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    ~ScopedHandle() {
        if (IsValidHandle(handle_)) {
            CloseHandle(handle_);
        }
    }
    HANDLE Get() const { return handle_; }
    bool Valid() const { return IsValidHandle(handle_); }

private:
    HANDLE handle_;
};

// Writes all `size` bytes at the handle's current position, continuing after short writes.
// Stores the bytes written in `*written`; false when a write failed or made no progress.
bool WriteAll(HANDLE handle, const char* data, DWORD size, DWORD* written);

// Reads up to `size` bytes at the handle's current position, continuing after short reads
// until the end of the file. Stores the bytes read in `*got`; false when a read failed.
bool ReadUpTo(HANDLE handle, char* buffer, DWORD size, DWORD* got);

// Collects one line into a caller's buffer of `capacity` bytes: takes bytes up to and
// including '\n', drops a '\r' standing right before it, stores at most capacity - 1 bytes
// and keeps the buffer NUL-terminated. The rest of a longer line is consumed, not stored, so
// that the next call starts at the next line.
class LineCollector {
public:
    LineCollector(char* buffer, long capacity);
    // Takes bytes from `chunk` (n of them available) until the line ends; returns how many
    // it took. Once the line has ended it takes nothing more.
    long Take(const char* chunk, long n);
    bool Done() const { return done_; }
    // Completes the line (a '\r' held back at the end of the content is kept) and returns
    // the number of bytes stored.
    long Finish();

private:
    void Store(char c);

    char* buffer_;
    long room_; // bytes that may still be stored, the NUL excluded
    long stored_;
    bool pendingCr_;
    bool done_;
};

// GetBlock of a device whose content lies in memory: copies up to n bytes from `content`
// (length bytes long) at readPos and advances readPos; the count copied.
long ReadFromMemory(const char* content, int32_t length, int32_t& readPos, char* buffer, long n);

// PutString in terms of the device's PutBlock: the text, then the delimiter.
long PutStringBlocks(KSerDev& device, const char* text);

// GetString in terms of the device's GetBlock and SeekRead: reads ahead in chunks and moves
// the read position back to just after the line.
long GetStringBlocks(KSerDev& device, char* buffer, long n);

} // namespace kutil_detail

#endif // KSYM_KUTIL_SER_DEV_DETAIL_H
