#include "formats/direct_address.h"

namespace formats {

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads an unsigned decimal number as strtoul does in the "C" locale, with 32-bit results:
// leading white space, one optional sign ("-" negates modulo 2^32), saturation at
// 0xFFFFFFFF. False when no digit follows; `text` then stays where it was.
bool ReadNumber(const char*& text, uint32_t& value) {
    const char* p = text;
    while (IsSpace(*p)) {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (*p < '0' || *p > '9') {
        return false;
    }
    uint64_t number = 0;
    bool saturated = false;
    for (; *p >= '0' && *p <= '9'; ++p) {
        number = number * 10u + static_cast<uint64_t>(*p - '0');
        if (number > 0xFFFFFFFFu) {
            saturated = true;
            number = 0xFFFFFFFFu;
        }
    }
    // strtoul negates only a value that did not overflow; an overflow stays at the maximum.
    uint32_t result = static_cast<uint32_t>(number);
    if (negative && !saturated) {
        result = 0u - result;
    }
    value = result;
    text = p;
    return true;
}

} // namespace

int ParseDirectAddress(const char* text, VarAddress& address) {
    if (text == nullptr || text[0] != '%') {
        return 0;
    }
    uint16_t area = 0;
    switch (text[1]) {
    case 'M':
        area = kAreaMemory;
        break;
    case 'I':
        area = kAreaInput;
        break;
    case 'Q':
        area = kAreaOutput;
        break;
    default:
        return 0;
    }
    uint32_t size = 0;
    const char* p = text + 3;
    switch (text[2]) {
    case 'B':
        size = 1;
        break;
    case 'W':
        size = 2;
        break;
    case 'D':
        size = 4;
        break;
    case 'X':
        break;
    default:
        p = text + 2;
        break;
    }
    uint32_t first = 0;
    if (!ReadNumber(p, first)) {
        return 0;
    }
    uint32_t offset = 0;
    if (size != 0) {
        if (*p != '\0') {
            return 0;
        }
        offset = first * size; // modulo 2^32, as the controller's 32-bit offset field
    } else {
        if (*p != '.') {
            return 0;
        }
        ++p;
        uint32_t bit = 0;
        if (!ReadNumber(p, bit) || *p != '\0' || bit > 15) {
            return 0;
        }
        offset = first * 16u + bit;
    }
    address.area = area;
    address.offset = offset;
    address.size = size;
    return 1;
}

} // namespace formats
