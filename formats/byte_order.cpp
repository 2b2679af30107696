#include "formats/byte_order.h"

#include <cstring>

namespace formats {

ByteOrder HostOrder() {
    const uint16_t probe = 1;
    uint8_t first = 0;
    std::memcpy(&first, &probe, 1);
    return first == 1 ? ByteOrder::Little : ByteOrder::Big;
}

void Put(std::vector<uint8_t>& out, uint32_t value, int width, ByteOrder order) {
    for (int i = 0; i < width; ++i) {
        const int shift = order == ByteOrder::Little ? 8 * i : 8 * (width - 1 - i);
        out.push_back(static_cast<uint8_t>(value >> shift));
    }
}

uint32_t Get(const uint8_t* p, int width, ByteOrder order) {
    uint32_t value = 0;
    for (int i = 0; i < width; ++i) {
        const int shift = order == ByteOrder::Little ? 8 * i : 8 * (width - 1 - i);
        value |= static_cast<uint32_t>(p[i]) << shift;
    }
    return value;
}

} // namespace formats
