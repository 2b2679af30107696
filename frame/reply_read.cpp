#include "frame/reply_read.h"

#include <cstring>
#include <new>

#include "extern/kclient.h"
#include "extern/kutil.h"
#include "include/ksymbol.h"

namespace ksym {

std::vector<uint8_t> ReadReply(int32_t channel, uint32_t size) noexcept {
    std::vector<uint8_t> reply;
    // The announced size is only a claim: no more is allocated than the client holds.
    const uint32_t held = KClientDllKGetDataSize(channel);
    if (held < size) {
        size = held;
    }
    try {
        reply.resize(size);
    } catch (const std::bad_alloc&) {
        // The caller fails for want of a reply; the code says why.
        KClientSetLastError(KSYM_ERR_NO_MEMORY);
        return {};
    }
    const int32_t got = size == 0 ? 0 : KClientRead(channel, reply.data(), size);
    reply.resize(got <= 0 ? 0
                          : (static_cast<uint32_t>(got) < size ? static_cast<size_t>(got) : size));
    return reply;
}

bool ReadStatusWord(int32_t channel, int32_t swapBytes, uint16_t& status) noexcept {
    const std::vector<uint8_t> reply = ReadReply(channel, KClientDllKGetDataSize(channel));
    if (reply.size() < sizeof status) {
        return false;
    }
    std::memcpy(&status, reply.data(), sizeof status);
    KUtilSwap(swapBytes, &status, sizeof status);
    return true;
}

} // namespace ksym
