// The device base: the six words, the position bookkeeping every device shares, Append, and
// the text and I/O helpers the devices build their operations from.
#include <climits>
#include <cstring>

#include "extern/kutil.h"
#include "kutil/ser_dev_detail.h"

namespace kutil_detail {

const char kDelimiter[] = "\r\n";

bool WriteAll(HANDLE handle, const char* data, DWORD size, DWORD* written) {
    DWORD done = 0;
    bool ok = true;
    while (done < size) {
        DWORD step = 0;
        if (!WriteFile(handle, data + done, size - done, &step, nullptr) || step == 0) {
            ok = false;
            break;
        }
        if (step > size - done) { // a misbehaving system must not push us past the data
            step = size - done;
        }
        done += step;
    }
    *written = done;
    return ok;
}

bool ReadUpTo(HANDLE handle, char* buffer, DWORD size, DWORD* got) {
    DWORD done = 0;
    bool ok = true;
    while (done < size) {
        DWORD step = 0;
        if (!ReadFile(handle, buffer + done, size - done, &step, nullptr)) {
            ok = false;
            break;
        }
        if (step == 0) { // end of the file
            break;
        }
        if (step > size - done) {
            step = size - done;
        }
        done += step;
    }
    *got = done;
    return ok;
}

LineCollector::LineCollector(char* buffer, long capacity)
    : buffer_(buffer), room_(capacity - 1), stored_(0), pendingCr_(false), done_(false) {
    buffer_[0] = '\0';
}

void LineCollector::Store(char c) {
    if (stored_ < room_) {
        buffer_[stored_++] = c;
        buffer_[stored_] = '\0';
    }
}

long LineCollector::Take(const char* chunk, long n) {
    long taken = 0;
    while (!done_ && taken < n) {
        const char c = chunk[taken++];
        if (c == '\n') {
            pendingCr_ = false; // the '\r' before the '\n' belongs to the delimiter
            done_ = true;
        } else {
            if (pendingCr_) {
                Store('\r');
            }
            pendingCr_ = c == '\r';
            if (!pendingCr_) {
                Store(c);
            }
        }
    }
    return taken;
}

long LineCollector::Finish() {
    if (pendingCr_) {
        Store('\r');
        pendingCr_ = false;
    }
    done_ = true;
    return stored_;
}

long ReadFromMemory(const char* content, int32_t length, int32_t& readPos, char* buffer, long n) {
    if (content == nullptr || buffer == nullptr || n <= 0 || readPos >= length) {
        return 0;
    }
    const long available = static_cast<long>(length - readPos);
    const long count = n < available ? n : available;
    std::memmove(buffer, content + readPos, static_cast<size_t>(count));
    readPos += static_cast<int32_t>(count);
    return count;
}

long PutStringBlocks(KSerDev& device, const char* text) {
    if (text == nullptr) {
        return 0;
    }
    const size_t length = std::strlen(text);
    // PutBlock counts in long; the text and the delimiter together must fit.
    if (length > static_cast<size_t>(LONG_MAX - kDelimiterLength)) {
        return 0;
    }
    const long textLength = static_cast<long>(length);
    long written = 0;
    if (textLength > 0) {
        written = device.PutBlock(const_cast<char*>(text), textLength);
        if (written < textLength) {
            return written < 0 ? 0 : written;
        }
    }
    const long tail = device.PutBlock(const_cast<char*>(kDelimiter), kDelimiterLength);
    return tail > 0 ? written + tail : written;
}

long GetStringBlocks(KSerDev& device, char* buffer, long n) {
    if (buffer == nullptr || n <= 0) {
        return -1;
    }
    const long start = device.TellRead();
    LineCollector line(buffer, n);
    char chunk[256];
    long consumed = 0;
    bool any = false;
    while (!line.Done()) {
        const long got = device.GetBlock(chunk, static_cast<long>(sizeof chunk));
        if (got <= 0) {
            break;
        }
        any = true;
        // A device never returns more than asked; do not trust it further than the chunk.
        const long usable =
            got > static_cast<long>(sizeof chunk) ? static_cast<long>(sizeof chunk) : got;
        consumed += line.Take(chunk, usable);
    }
    if (!any) {
        return -1;
    }
    // The device read ahead; leave its read position right after the line.
    device.SeekRead(start + consumed);
    return line.Finish();
}

} // namespace kutil_detail

KSerDev::KSerDev(SDMODE mode)
    : mode_(mode), status_(SD_OK), readPos_(0), writePos_(0), length_(0), cookie_(0) {
    if (mode != SD_READ && mode != SD_WRITE) {
        status_ = SD_BAD_MODE;
    }
}

KSerDev::KSerDev(const KSerDev& other)
    : mode_(other.mode_), status_(other.status_), readPos_(other.readPos_),
      writePos_(other.writePos_), length_(other.length_), cookie_(other.cookie_) {}

KSerDev& KSerDev::operator=(const KSerDev& other) {
    mode_ = other.mode_;
    status_ = other.status_;
    readPos_ = other.readPos_;
    writePos_ = other.writePos_;
    length_ = other.length_;
    cookie_ = other.cookie_;
    return *this;
}

KSerDev::~KSerDev() = default;

long KSerDev::GetMaxSerDev() {
    // The memory device is the one device with a fixed limit: the size of the caller's
    // memory, which it keeps in cookie_.
    if (dynamic_cast<KMemSerDev*>(this) != nullptr) {
        return cookie_;
    }
    return -1;
}

long KSerDev::GetMaxDefinedSerDev() {
    return length_;
}

char* KSerDev::GetDelimiterString() {
    // Callers get a copy of their own to look at; the devices use kDelimiter.
    static char delimiter[] = "\r\n";
    return delimiter;
}

long KSerDev::TellRead() {
    return readPos_;
}

long KSerDev::TellWrite() {
    return writePos_;
}

SDERROR KSerDev::GetStatus() {
    return status_;
}

long KSerDev::SeekRead(long offset) {
    // Positions are 32-bit words; a position past the content is allowed (reads give 0).
    if (offset < 0 || offset > INT32_MAX) {
        return -1;
    }
    readPos_ = static_cast<int32_t>(offset);
    return offset;
}

long KSerDev::SeekWrite(long offset) {
    if (offset < 0 || offset > INT32_MAX) {
        return -1;
    }
    writePos_ = static_cast<int32_t>(offset);
    return offset;
}

long KSerDev::Append(KSerDev* other) {
    if (other == nullptr) {
        return 0;
    }
    // Only the content other holds now: when other is this device, what is appended must not
    // be read again.
    long remaining = other->GetMaxDefinedSerDev();
    const long saved = other->TellRead();
    if (other->SeekRead(0) != 0) {
        return 0;
    }
    long appended = 0;
    char chunk[4096];
    while (remaining > 0) {
        const long want = remaining < static_cast<long>(sizeof chunk)
                              ? remaining
                              : static_cast<long>(sizeof chunk);
        const long got = other->GetBlock(chunk, want);
        if (got <= 0) {
            break;
        }
        const long usable = got > want ? want : got;
        const long put = PutBlock(chunk, usable);
        if (put > 0) {
            appended += put;
        }
        if (put < usable) {
            break;
        }
        remaining -= usable;
    }
    other->SeekRead(saved);
    return appended;
}
