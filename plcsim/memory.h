// The simulated controller's process memory: one byte array per area, read and written by
// the memory services and, directly, by tests.
#ifndef KSYM_PLCSIM_MEMORY_H
#define KSYM_PLCSIM_MEMORY_H

#include <array>
#include <cstdint>
#include <tuple>
#include <vector>

namespace plcsim {

// Areas 0 (M, flags), 1 (I, inputs), 2 (Q, outputs) and 3 exist; no other number does.
inline constexpr uint16_t kMemoryAreas = 4;
inline constexpr uint32_t kDefaultMemorySize = 65536;        // bytes per area
inline constexpr uint32_t kMaxMemorySize = 16 * 1024 * 1024; // bytes per area

// One byte of an area, named by a test to make reads and writes of it fail.
struct MemoryAddress {
    uint16_t area = 0;
    uint32_t offset = 0;
};
inline bool operator<(const MemoryAddress& a, const MemoryAddress& b) {
    return std::tie(a.area, a.offset) < std::tie(b.area, b.offset);
}
inline bool operator==(const MemoryAddress& a, const MemoryAddress& b) {
    return a.area == b.area && a.offset == b.offset;
}

// What a byte holds before anything wrote it:
//   (offset * 7 + (offset >> 8) + area * 31 + 0x5B) & 0xFF, in 32-bit arithmetic.
// Neighbouring bytes differ (by 7 or 8), the same offset differs between areas, and the
// first byte of area 0 is not zero, so a test can tell a value read from none at all.
uint8_t InitialMemoryByte(uint16_t area, uint32_t offset);

// Threads: none of its own; the controller locks it with the rest of its model. Ranges are
// checked without wrapping, so an offset near 2^32 plus a size is never taken for a small one.
class Memory {
public:
    // Every area gets `areaSize` bytes (1 to kMaxMemorySize; the caller has checked it),
    // holding their initial pattern.
    explicit Memory(uint32_t areaSize = kDefaultMemorySize);

    uint32_t AreaSize() const { return areaSize_; }

    // True when the area exists and offset..offset+size lies inside it.
    bool Contains(uint16_t area, uint32_t offset, uint32_t size) const;
    // True when the area exists and its byte bit/8 does.
    bool ContainsBit(uint16_t area, uint32_t bit) const;

    // Copy `size` bytes out of or into the area; false (and nothing copied) when the range
    // is not contained.
    bool Read(uint16_t area, uint32_t offset, uint32_t size, uint8_t* out) const;
    bool Write(uint16_t area, uint32_t offset, const uint8_t* data, uint32_t size);

    // Bit `bit` of an area is bit bit%8 (0: least significant) of its byte bit/8.
    bool ReadBit(uint16_t area, uint32_t bit, bool& value) const;
    bool WriteBit(uint16_t area, uint32_t bit, bool value);

private:
    uint32_t areaSize_;
    std::array<std::vector<uint8_t>, kMemoryAreas> areas_;
};

} // namespace plcsim

#endif
