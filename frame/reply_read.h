// Fetching the current reply of a channel from the client library into a buffer of the
// size the reply status announced.
#ifndef KSYM_FRAME_REPLY_READ_H
#define KSYM_FRAME_REPLY_READ_H

#include <cstdint>
#include <vector>

namespace ksym {

// The reply's bytes, as many as the client library handed over (at most `size`, and never
// more than it holds, whatever `size` claims); empty
// when there are none or memory is short. Never throws.
std::vector<uint8_t> ReadReply(int32_t channel, uint32_t size) noexcept;

// The status word at the start of the channel's current reply, in host order. False when
// the reply has fewer than 2 bytes.
bool ReadStatusWord(int32_t channel, int32_t swapBytes, uint16_t& status) noexcept;

} // namespace ksym

#endif
