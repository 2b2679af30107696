// A heap device filled from a caller's open handle, or written to it at destruction.
#include "extern/kutil.h"
#include "kutil/ser_dev_detail.h"

namespace {

constexpr int32_t kReadStep = 64 * 1024;

// The handle kept in cookie_. Win32 handles carry 32 significant bits; on Win64 they are
// sign-extended back to full width.
HANDLE HandleFromCookie(int32_t cookie) {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(cookie));
}

int32_t CookieFromHandle(HANDLE handle) {
    return static_cast<int32_t>(reinterpret_cast<intptr_t>(handle));
}

// Writes a write-mode device's content to its handle, when it has one.
void Deliver(SDMODE mode, SDERROR status, int32_t cookie, const char* data, int32_t length) {
    if (mode != SD_WRITE || status == SD_OPEN_FAILED || status == SD_BAD_MODE || length <= 0) {
        return;
    }
    DWORD written = 0;
    kutil_detail::WriteAll(HandleFromCookie(cookie), data, static_cast<DWORD>(length), &written);
}

} // namespace

KHandleSerDev::KHandleSerDev(HANDLE handle, SDMODE mode) : KHeapSerDev(mode) {
    if (status_ != SD_OK) {
        return;
    }
    if (!kutil_detail::IsValidHandle(handle)) {
        status_ = SD_OPEN_FAILED;
        return;
    }
    if (mode == SD_WRITE) {
        // A handle whose value does not survive the 32-bit word could not be written to later.
        if (HandleFromCookie(CookieFromHandle(handle)) != handle) {
            status_ = SD_OPEN_FAILED;
            return;
        }
        cookie_ = CookieFromHandle(handle);
        return;
    }
    // Everything from the handle's position to its end; a pipe works as well as a file.
    for (;;) {
        const int32_t room = INT32_MAX - length_;
        if (room == 0) {
            status_ = SD_NO_MEMORY;
            return;
        }
        const int32_t step = room < kReadStep ? room : kReadStep;
        if (!Reserve(static_cast<int64_t>(length_) + step)) {
            return;
        }
        DWORD got = 0;
        if (!ReadFile(handle, data_ + length_, static_cast<DWORD>(step), &got, nullptr)) {
            status_ = SD_IO_ERROR;
            return;
        }
        if (got == 0) {
            return;
        }
        if (got > static_cast<DWORD>(step)) {
            got = static_cast<DWORD>(step);
        }
        length_ += static_cast<int32_t>(got);
    }
}

KHandleSerDev::KHandleSerDev(const KHandleSerDev& other) : KHeapSerDev(other) {}

KHandleSerDev& KHandleSerDev::operator=(const KHandleSerDev& other) {
    if (this == &other) {
        return *this;
    }
    // This device stops writing to its handle: deliver its content as destruction would, and
    // drop it, so that it cannot be delivered twice should the copy below run out of memory.
    Deliver(mode_, status_, cookie_, data_, length_);
    if (mode_ == SD_WRITE) {
        length_ = 0;
    }
    KHeapSerDev::operator=(other);
    return *this;
}

KHandleSerDev::~KHandleSerDev() {
    // The handle is the caller's: it is written to, never closed.
    Deliver(mode_, status_, cookie_, data_, length_);
}
