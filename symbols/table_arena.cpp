#include "symbols/table_arena.h"

#include <cstdint>
#include <cstring>
#include <new>

#include "symbols/memory_block.h"

namespace ksym {

TableArena::~TableArena() {
    for (const Block& block : blocks_) {
        ReleaseBlock(block.memory, block.fromSystem);
    }
}

bool TableArena::NewBlock(size_t needed) {
    // A record larger than the next block gets a block of its own size; the block after it
    // still grows in the usual steps.
    size_t size = nextBlockSize_;
    if (needed > size) {
        size = needed;
    }
    if (blocks_.size() == blocks_.capacity()) {
        // Room for the block's entry first, so that a failure leaves no block unrecorded.
        const size_t room = blocks_.empty() ? 16 : blocks_.size() * 2;
        try {
            blocks_.reserve(room);
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    bool fromSystem = false;
    char* block = AllocateBlock(size, fromSystem);
    if (block == nullptr) {
        return false;
    }
    blocks_.push_back(Block{block, fromSystem});
    next_ = block;
    end_ = block + size;
    if (nextBlockSize_ < kLargestBlock) {
        nextBlockSize_ *= 2;
    }
    return true;
}

void* TableArena::Allocate(size_t size, size_t alignment) {
    // Worst case padding is alignment - 1; sizes near the top of size_t cannot be held.
    if (size > SIZE_MAX / 2) {
        return nullptr;
    }
    const size_t needed = size + alignment - 1;
    auto padding = [&] {
        return static_cast<size_t>(-reinterpret_cast<uintptr_t>(next_) & (alignment - 1));
    };
    if (next_ == nullptr || static_cast<size_t>(end_ - next_) < size + padding()) {
        if (!NewBlock(needed)) {
            return nullptr;
        }
    }
    char* record = next_ + padding();
    next_ = record + size;
    last_ = record;
    return record;
}

void TableArena::ShrinkLast(const void* record, size_t keep) {
    if (record != last_ || last_ == nullptr || keep >= static_cast<size_t>(next_ - last_)) {
        return;
    }
    next_ = last_ + keep;
}

char* TableArena::CopyText(const char* text, size_t length) {
    if (length == SIZE_MAX) {
        return nullptr;
    }
    auto* copy = static_cast<char*>(Allocate(length + 1, 1));
    if (copy != nullptr) {
        std::memcpy(copy, text, length);
        copy[length] = '\0';
    }
    return copy;
}

} // namespace ksym
