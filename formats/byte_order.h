// Writing and reading integers in the simulated controller's byte order.
#ifndef KSYM_FORMATS_BYTE_ORDER_H
#define KSYM_FORMATS_BYTE_ORDER_H

#include <cstdint>
#include <vector>

namespace formats {

enum class ByteOrder { Little, Big };

// The order of the machine this runs on.
ByteOrder HostOrder();

// Appends value's low `width` bytes (2 or 4) in the given order.
void Put(std::vector<uint8_t>& out, uint32_t value, int width, ByteOrder order);
// Reads `width` bytes (2 or 4) at p in the given order. The caller has checked the length.
uint32_t Get(const uint8_t* p, int width, ByteOrder order);

} // namespace formats

#endif
