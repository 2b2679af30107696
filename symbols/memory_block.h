// Blocks of memory for a symbol table's arenas and for the scratch arrays of a load: large
// blocks are regions of their own from the system, so that they go back to it the moment
// they are released (a freed heap block may stay with the process, and what a load used
// for a moment would stay resident beside the table); small ones come from the heap.
#ifndef KSYM_SYMBOLS_MEMORY_BLOCK_H
#define KSYM_SYMBOLS_MEMORY_BLOCK_H

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace ksym {

// Blocks of this size and more are regions of their own.
constexpr size_t kSystemBlockSize = 1024 * 1024;

// `size` bytes (not 0), or null; `fromSystem` tells ReleaseBlock where they came from.
char* AllocateBlock(size_t size, bool& fromSystem);
void ReleaseBlock(char* block, bool fromSystem);

// Asks the processor to bring the line of `address` into the cache ahead of its use, for
// writing or for reading; a hint that does nothing where the compiler offers none.
inline void PrefetchForWrite(const void* address) {
#if defined(__GNUC__)
    __builtin_prefetch(address, 1);
#else
    (void)address;
#endif
}
inline void PrefetchForRead(const void* address) {
#if defined(__GNUC__)
    __builtin_prefetch(address, 0);
#else
    (void)address;
#endif
}

// An array of `count` elements of a trivial type for the length of one step, zeroed.
template <class T> class ScratchArray {
    static_assert(std::is_trivial<T>::value, "scratch arrays hold plain values");

public:
    explicit ScratchArray(size_t count) {
        if (count <= SIZE_MAX / sizeof(T) / 2) {
            const size_t bytes = (count == 0 ? 1 : count) * sizeof(T);
            data_ = reinterpret_cast<T*>(AllocateBlock(bytes, fromSystem_));
            if (data_ != nullptr && !fromSystem_) {
                for (size_t i = 0; i < count; ++i) {
                    data_[i] = T{};
                }
            }
        }
    }
    ScratchArray(const ScratchArray&) = delete;
    ScratchArray& operator=(const ScratchArray&) = delete;
    ~ScratchArray() {
        if (data_ != nullptr) {
            ReleaseBlock(reinterpret_cast<char*>(data_), fromSystem_);
        }
    }

    bool ok() const { return data_ != nullptr; }
    T& operator[](size_t i) { return data_[i]; }
    const T& operator[](size_t i) const { return data_[i]; }
    T* data() { return data_; }

private:
    T* data_ = nullptr;
    bool fromSystem_ = false;
};

} // namespace ksym

#endif
