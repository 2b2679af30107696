#include "frame/channel_table.h"

#include "frame/project_info.h"
#include "symbols/symbol_table.h"

namespace ksym {

ChannelTable& ChannelTable::Instance() {
    static ChannelTable table;
    return table;
}

void ChannelTable::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (ContextRef& slot : slots_) {
        slot.reset();
    }
}

int ChannelTable::SlotOf(int32_t channel) const {
    if (channel == -1) {
        return -1;
    }
    for (int i = 0; i < kMaxChannelContexts; ++i) {
        if (slots_[i] != nullptr && slots_[i]->channel.load() == channel) {
            return i;
        }
    }
    return -1;
}

ChannelContext* ChannelTable::Find(int32_t channel) {
    std::lock_guard<std::mutex> lock(mutex_);
    const int slot = SlotOf(channel);
    return slot < 0 ? nullptr : slots_[slot].get();
}

ContextRef ChannelTable::Acquire(int32_t channel) {
    std::lock_guard<std::mutex> lock(mutex_);
    const int slot = SlotOf(channel);
    return slot < 0 ? nullptr : slots_[slot];
}

ContextRef ChannelTable::CreateLocked(int32_t channel) {
    for (ContextRef& slot : slots_) {
        if (slot == nullptr) {
            slot = NewChannelContext(channel);
            return slot;
        }
    }
    return nullptr;
}

ChannelContext* ChannelTable::Create(int32_t channel) {
    if (channel == -1) {
        return nullptr;
    }
    Remove(channel, 1);
    std::lock_guard<std::mutex> lock(mutex_);
    return CreateLocked(channel).get();
}

ContextRef ChannelTable::FindOrCreate(int32_t channel) {
    if (channel == -1) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const int slot = SlotOf(channel);
    return slot >= 0 ? slots_[slot] : CreateLocked(channel);
}

int ChannelTable::Remove(int32_t channel, int deleteContext) {
    ContextRef retired;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const int slot = SlotOf(channel);
        if (slot < 0) {
            return 0;
        }
        if (deleteContext == 0) {
            ClearSymbolTable(*slots_[slot]);
            ClearProjectInfo(slots_[slot]->projectInfo);
            return 1;
        }
        retired = std::move(slots_[slot]);
        slots_[slot].reset();
    }
    // Outside the table's lock: the retirement takes the context's loader lock, and the
    // context may be released here when nobody else holds it.
    RetireChannelContext(*retired, true);
    return 1;
}

void ChannelTable::DeleteAll() {
    std::array<ContextRef, kMaxChannelContexts> retired;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        retired.swap(slots_);
    }
    for (ContextRef& context : retired) {
        if (context != nullptr) {
            RetireChannelContext(*context, false);
        }
    }
}

} // namespace ksym
