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
    slots_.fill(nullptr);
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
    return slot < 0 ? nullptr : slots_[slot];
}

ChannelContext* ChannelTable::Create(int32_t channel) {
    if (channel == -1) {
        return nullptr;
    }
    Remove(channel, 1);
    std::lock_guard<std::mutex> lock(mutex_);
    for (ChannelContext*& slot : slots_) {
        if (slot == nullptr) {
            slot = NewChannelContext(channel);
            return slot;
        }
    }
    return nullptr;
}

int ChannelTable::Remove(int32_t channel, int deleteContext) {
    std::lock_guard<std::mutex> lock(mutex_);
    const int slot = SlotOf(channel);
    if (slot < 0) {
        return 0;
    }
    ChannelContext* context = slots_[slot];
    ClearSymbolTable(*context);
    ClearProjectInfo(context->projectInfo);
    if (deleteContext != 0) {
        context->channelEvent = nullptr;
        DeleteChannelContext(context);
        slots_[slot] = nullptr;
    }
    return 1;
}

void ChannelTable::DeleteAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (ChannelContext*& slot : slots_) {
        DeleteChannelContext(slot);
        slot = nullptr;
    }
}

} // namespace ksym
