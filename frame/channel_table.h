// ChannelTable: the 200 slots that map channel numbers to their contexts.
#ifndef KSYM_FRAME_CHANNEL_TABLE_H
#define KSYM_FRAME_CHANNEL_TABLE_H

#include <array>
#include <cstdint>
#include <mutex>

#include "frame/channel_context.h"

namespace ksym {

inline constexpr int kMaxChannelContexts = 200;

// Threads: caller threads only; the notification thread holds its own context from its
// start and never looks into the table. Callers serialise the management of one channel;
// the table's own mutex keeps the slots consistent when different channels are opened and
// closed from several threads at once, and lets a caller take a hold on a context
// (Acquire) that a close on another thread cannot pull away.
class ChannelTable {
public:
    static ChannelTable& Instance();

    // Empties every slot without retiring anything (module attach).
    void Clear();
    // The first context, from slot 0 up, that carries `channel`; null for -1 or none. The
    // pointer stays valid while the caller keeps the channel open.
    ChannelContext* Find(int32_t channel);
    // As Find, with a hold that keeps the context alive (possibly retired) when the channel
    // is closed meanwhile.
    ContextRef Acquire(int32_t channel);
    // Retires any context of `channel`, then makes a new one in the lowest free slot.
    // Null for -1, a full table or no memory.
    ChannelContext* Create(int32_t channel);
    // The context of `channel`, made in the lowest free slot when there is none; null for
    // -1, a full table or no memory.
    ContextRef FindOrCreate(int32_t channel);
    // Clears the symbols and project record of the context of `channel`; with
    // deleteContext it also retires the context and frees its slot (the context itself goes
    // when its last holder lets go). 1 when a context was found, else 0.
    int Remove(int32_t channel, int deleteContext);
    // Retires every context still in the table (module detach); stops no thread.
    void DeleteAll();

private:
    ChannelTable() = default;
    int SlotOf(int32_t channel) const; // -1 when none; the caller holds mutex_
    ContextRef CreateLocked(int32_t channel);

    std::mutex mutex_;
    std::array<ContextRef, kMaxChannelContexts> slots_{};
};

// The names the rest of the library uses.
inline ChannelContext* FindChannelContext(int32_t channel) {
    return ChannelTable::Instance().Find(channel);
}
inline ContextRef AcquireChannelContext(int32_t channel) {
    return ChannelTable::Instance().Acquire(channel);
}
inline ChannelContext* CreateChannelContext(int32_t channel) {
    return ChannelTable::Instance().Create(channel);
}
inline ContextRef FindOrCreateChannelContext(int32_t channel) {
    return ChannelTable::Instance().FindOrCreate(channel);
}
inline int RemoveChannelContext(int32_t channel, int deleteContext) {
    return ChannelTable::Instance().Remove(channel, deleteContext);
}
inline void DeleteAllChannelContexts() {
    ChannelTable::Instance().DeleteAll();
}

} // namespace ksym

#endif
