// Memory for the many small records of one symbol table (names, type names, index nodes and
// index items), taken from large blocks and released all at once with the table. A million
// symbols cost a few dozen block allocations instead of millions of small ones, the records
// of one symbol lie side by side, and releasing the table touches no record.
#ifndef KSYM_SYMBOLS_TABLE_ARENA_H
#define KSYM_SYMBOLS_TABLE_ARENA_H

#include <cstddef>
#include <vector>

namespace ksym {

// Used by one thread at a time (the loader's, which owns the table); records are never
// released one by one.
class TableArena {
public:
    TableArena() = default;
    TableArena(const TableArena&) = delete;
    TableArena& operator=(const TableArena&) = delete;
    ~TableArena();

    // `size` bytes aligned to `alignment` (a power of two, at most alignof(max_align_t));
    // null when memory is short or the size cannot be held.
    void* Allocate(size_t size, size_t alignment);
    // Gives back the end of the allocation made last: it keeps its first `keep` bytes. Does
    // nothing when `record` is not the last allocation or `keep` is not smaller.
    void ShrinkLast(const void* record, size_t keep);
    // A zero-terminated copy of `length` bytes of `text`; null when memory is short.
    char* CopyText(const char* text, size_t length);

private:
    bool NewBlock(size_t needed);

    struct Block {
        char* memory;
        bool fromSystem; // see AllocateBlock
    };

    std::vector<Block> blocks_;
    char* next_ = nullptr; // free space of the current block, up to end_
    char* end_ = nullptr;
    char* last_ = nullptr; // the allocation made last, for ShrinkLast
    size_t nextBlockSize_ = kFirstBlock;

    // Blocks grow from 16 KiB (a small project stays small) to 4 MiB. The large ones are
    // regions of their own (memory_block.h), which the system may also map with large
    // pages, so that look-ups spread over a large table miss the TLB less.
    static constexpr size_t kFirstBlock = 16 * 1024;
    static constexpr size_t kLargestBlock = 4 * 1024 * 1024;
};

} // namespace ksym

#endif
