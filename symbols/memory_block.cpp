#include "symbols/memory_block.h"

#include <new>

#include "platform/win32.h"

namespace ksym {

char* AllocateBlock(size_t size, bool& fromSystem) {
    fromSystem = size >= kSystemBlockSize;
    if (fromSystem) {
        // A region is zeroed by the system.
        return static_cast<char*>(
            VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    }
    return new (std::nothrow) char[size];
}

void ReleaseBlock(char* block, bool fromSystem) {
    if (fromSystem) {
        VirtualFree(block, 0, MEM_RELEASE);
    } else {
        delete[] block;
    }
}

} // namespace ksym
