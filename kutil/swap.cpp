// Byte-order conversion between the controller's representation and the host's.
#include "extern/kutil.h"

extern "C" KUTIL_API int32_t KUTIL_CALL KUtilSwap(int32_t flag, void* pointer, uint32_t size) {
    if (flag == 0 || pointer == nullptr || size < 2) {
        return 0;
    }
    unsigned char* bytes = static_cast<unsigned char*>(pointer);
    uint32_t low = 0;
    uint32_t high = size - 1;
    while (low < high) {
        const unsigned char keep = bytes[low];
        bytes[low] = bytes[high];
        bytes[high] = keep;
        ++low;
        --high;
    }
    return 0;
}
