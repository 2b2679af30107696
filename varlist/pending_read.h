// The read in progress on a channel: which list it belongs to, and the hand-over of that
// list between the caller's threads and the notification thread.
//
// A channel has at most one read in progress (its context's pendingRead). The caller's
// KSymSendVarList begins it; the reply steps take in one telegram each; the last step, a
// deletion of a list, or an open ends it. Every change happens under the context's
// pendingLock, which is held only for a few loads and stores: nobody waits while holding
// it, and nobody takes a list's lock while holding it (a list's lock may be taken first).
#ifndef KSYM_VARLIST_PENDING_READ_H
#define KSYM_VARLIST_PENDING_READ_H

#include <cstdint>

#include "frame/channel_context.h"

namespace ksym {

struct VarList;

// A read as the notification thread picked it up: the list, held for the reply step (the
// ticket gives the hold up when it goes), and the serial of the read at the time.
struct ReadTicket {
    ReadTicket() = default;
    ~ReadTicket();
    ReadTicket(const ReadTicket&) = delete;
    ReadTicket& operator=(const ReadTicket&) = delete;

    VarList* list = nullptr;
    uint32_t serial = 0;
};

// Serial that matches any read of the list (the caller's own KSymGetValues).
inline constexpr uint32_t kAnyRead = 0xFFFFFFFFu;

// Makes `list` the channel's read in progress. False, with 19 recorded when the channel is
// closed or 28 when a read is already in progress.
bool BeginRead(ChannelContext& context, VarList& list);
// Ends the read in progress: any read when `only` is null, else only a read of `only`.
void EndRead(ChannelContext& context, const VarList* only);
// Picks up the read in progress into an empty ticket, with a hold on its list. False when no
// read is in progress.
bool TakePendingRead(ChannelContext& context, ReadTicket& ticket);
// True when the list's read `serial` (or any read of it, for kAnyRead) is still the one in
// progress on the channel.
bool IsCurrentRead(ChannelContext& context, const VarList& list, uint32_t serial);
// Ends the read when it is still the list's read `serial` (the reply step of the last
// telegram). False when it was ended meanwhile.
bool FinishRead(ChannelContext& context, const VarList& list, uint32_t serial);

} // namespace ksym

#endif
