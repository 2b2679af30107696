// VirtualAlloc and VirtualFree over mmap: whole regions only. munmap needs the size that
// VirtualFree is not given, so the regions served are remembered by address.
#include <sys/mman.h>

#include <map>
#include <mutex>

#include "platform/last_error.h"
#include "platform/win32.h"

namespace {

// Transparent huge pages pay off from this size on: one page table entry per 2 MiB.
constexpr size_t kHugePage = 2u * 1024u * 1024u;

struct Regions {
    std::mutex mutex;
    std::map<void*, size_t> sizes; // every region served and not yet released
};

Regions& TheRegions() {
    static Regions* regions = new Regions; // never destroyed: frees may come at exit
    return *regions;
}

} // namespace

extern "C" {

KPLATFORM_API LPVOID VirtualAlloc(LPVOID address, SIZE_T size, DWORD type, DWORD protect) {
    if (address != nullptr || size == 0 || type != (MEM_COMMIT | MEM_RESERVE) ||
        protect != PAGE_READWRITE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    void* region = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (region == MAP_FAILED) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
#ifdef MADV_HUGEPAGE
    if (size >= kHugePage) {
        madvise(region, size, MADV_HUGEPAGE); // a hint: nothing depends on it being taken
    }
#endif
    Regions& regions = TheRegions();
    try {
        const std::lock_guard<std::mutex> lock(regions.mutex);
        regions.sizes.emplace(region, size);
    } catch (...) {
        munmap(region, size);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return region;
}

KPLATFORM_API BOOL VirtualFree(LPVOID address, SIZE_T size, DWORD type) {
    if (address == nullptr || size != 0 || type != MEM_RELEASE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    Regions& regions = TheRegions();
    size_t length = 0;
    {
        const std::lock_guard<std::mutex> lock(regions.mutex);
        const auto found = regions.sizes.find(address);
        if (found == regions.sizes.end()) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        length = found->second;
        regions.sizes.erase(found);
    }
    munmap(address, length);
    return 1;
}

} // extern "C"
