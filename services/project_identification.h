// The controller's project identification reply, as the caller's services read it.
#ifndef KSYM_SERVICES_PROJECT_IDENTIFICATION_H
#define KSYM_SERVICES_PROJECT_IDENTIFICATION_H

#include <cstddef>
#include <cstdint>

#include "formats/telegram_layout.h"
#include "include/ksymbol.h"

namespace ksym {

// The shortest reply that is taken in: the 5-byte form.
inline constexpr size_t kMinProjectIdReply = formats::kProjectIdShortReply;

// Clears `info` and fills it from a reply of `length` bytes (at least kMinProjectIdReply):
// the identifier from byte 1 of a 5-byte reply, else from byte 2; from replies longer than
// 6 bytes also the second number (byte 6) and five NUL-terminated texts from byte 10, stored
// in infoText4, infoText5, infoText1, infoText2, infoText3. Nothing is read past the reply:
// a number cut off by its end is stored as 0, a text missing or not terminated inside the
// reply as an empty text. Returns the identifier, in host order. Throws std::bad_alloc, with
// `info` cleared, when a text cannot be copied: an identification without its texts would
// pass for a station that sent none.
uint32_t TakeProjectIdentification(const uint8_t* reply, size_t length, int32_t swapBytes,
                                   ProjectInfo& info);

} // namespace ksym

#endif
