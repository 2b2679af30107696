// ChannelTable: the 200 slots that map channel numbers to their contexts.
#ifndef KSYM_FRAME_CHANNEL_TABLE_H
#define KSYM_FRAME_CHANNEL_TABLE_H

#include <array>
#include <cstdint>
#include <mutex>

#include "frame/channel_context.h"

namespace ksym {

inline constexpr int kMaxChannelContexts = 200;

// Threads: caller threads only; the notification thread holds its own context's pointer
// from its start and never looks into the table. Callers serialise the management of one
// channel; the table's own mutex keeps the slots consistent when different channels are
// opened and closed from several threads at once.
class ChannelTable {
public:
    static ChannelTable& Instance();

    // Empties every slot without deleting anything (module attach).
    void Clear();
    // The first context, from slot 0 up, that carries `channel`; null for -1 or none.
    ChannelContext* Find(int32_t channel);
    // Deletes any context of `channel`, then makes a new one in the lowest free slot.
    // Null for -1, a full table or no memory.
    ChannelContext* Create(int32_t channel);
    // Clears the symbols and project record of the context of `channel`; with
    // deleteContext it also forgets its channelEvent (not closed here), deletes it and frees
    // the slot. 1 when a context was found, else 0.
    int Remove(int32_t channel, int deleteContext);
    // Deletes every context still in the table (module detach).
    void DeleteAll();

private:
    ChannelTable() = default;
    int SlotOf(int32_t channel) const; // -1 when none; the caller holds mutex_

    std::mutex mutex_;
    std::array<ChannelContext*, kMaxChannelContexts> slots_{};
};

// The names the rest of the library uses.
inline ChannelContext* FindChannelContext(int32_t channel) {
    return ChannelTable::Instance().Find(channel);
}
inline ChannelContext* CreateChannelContext(int32_t channel) {
    return ChannelTable::Instance().Create(channel);
}
inline int RemoveChannelContext(int32_t channel, int deleteContext) {
    return ChannelTable::Instance().Remove(channel, deleteContext);
}
inline void DeleteAllChannelContexts() {
    ChannelTable::Instance().DeleteAll();
}

} // namespace ksym

#endif
