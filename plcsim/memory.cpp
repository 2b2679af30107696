#include "plcsim/memory.h"

#include <cstring>

namespace plcsim {

uint8_t InitialMemoryByte(uint16_t area, uint32_t offset) {
    return static_cast<uint8_t>(offset * 7u + (offset >> 8) + area * 31u + 0x5Bu);
}

Memory::Memory(uint32_t areaSize) : areaSize_(areaSize) {
    for (uint16_t area = 0; area < kMemoryAreas; ++area) {
        std::vector<uint8_t>& bytes = areas_[area];
        bytes.resize(areaSize);
        for (uint32_t offset = 0; offset < areaSize; ++offset) {
            bytes[offset] = InitialMemoryByte(area, offset);
        }
    }
}

bool Memory::Contains(uint16_t area, uint32_t offset, uint32_t size) const {
    return area < kMemoryAreas && offset <= areaSize_ && size <= areaSize_ - offset;
}

bool Memory::ContainsBit(uint16_t area, uint32_t bit) const {
    return area < kMemoryAreas && bit / 8 < areaSize_;
}

bool Memory::Read(uint16_t area, uint32_t offset, uint32_t size, uint8_t* out) const {
    if (!Contains(area, offset, size)) {
        return false;
    }
    if (size != 0) {
        std::memcpy(out, areas_[area].data() + offset, size);
    }
    return true;
}

bool Memory::Write(uint16_t area, uint32_t offset, const uint8_t* data, uint32_t size) {
    if (!Contains(area, offset, size)) {
        return false;
    }
    if (size != 0) {
        std::memcpy(areas_[area].data() + offset, data, size);
    }
    return true;
}

bool Memory::ReadBit(uint16_t area, uint32_t bit, bool& value) const {
    if (!ContainsBit(area, bit)) {
        return false;
    }
    value = ((areas_[area][bit / 8] >> (bit % 8)) & 1u) != 0;
    return true;
}

bool Memory::WriteBit(uint16_t area, uint32_t bit, bool value) {
    if (!ContainsBit(area, bit)) {
        return false;
    }
    uint8_t& byte = areas_[area][bit / 8];
    const auto mask = static_cast<uint8_t>(1u << (bit % 8));
    byte = value ? static_cast<uint8_t>(byte | mask) : static_cast<uint8_t>(byte & ~mask);
    return true;
}

} // namespace plcsim
