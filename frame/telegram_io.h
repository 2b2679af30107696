// Small helpers every telegram builder and reply reader shares: fields in the controller's
// byte order, and sending a telegram whole.
#ifndef KSYM_FRAME_TELEGRAM_IO_H
#define KSYM_FRAME_TELEGRAM_IO_H

#include <cstdint>
#include <cstring>

#include "extern/kclient.h"
#include "extern/kutil.h"

namespace ksym {

// The field of type T at `at`, converted from the controller's order to the host's. The
// caller has checked that sizeof(T) bytes are there.
template <typename T> T GetField(const uint8_t* at, int32_t swapBytes) {
    T value;
    std::memcpy(&value, at, sizeof value);
    KUtilSwap(swapBytes, &value, sizeof value);
    return value;
}

// Stores `value` at `at` in the controller's order.
template <typename T> void PutField(uint8_t* at, T value, int32_t swapBytes) {
    KUtilSwap(swapBytes, &value, sizeof value);
    std::memcpy(at, &value, sizeof value);
}

// 1 when the client library took all `length` bytes of the telegram, else 0.
inline int SendTelegram(int32_t channel, const void* telegram, uint32_t length) {
    const int32_t written = KClientWrite(channel, telegram, length);
    return written >= 0 && static_cast<uint32_t>(written) == length ? 1 : 0;
}

} // namespace ksym

#endif
