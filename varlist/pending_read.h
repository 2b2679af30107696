// The read in progress on a channel: which list it belongs to, the hand-over of that list
// between the caller's threads and the notification thread, and the read telegram on the
// wire.
//
// A channel has at most one read in progress (its context's pendingRead). The caller's
// KSymSendVarList begins it; the reply steps take in one telegram each; the last step, a
// deletion of a list, an open or a close ends it. Every change happens under the context's
// pendingLock, which is held only for a few loads and stores: nobody waits while holding
// it, and nobody takes a list's lock while holding it (a list's lock may be taken first).
//
// The wire. The station's replies carry no request number: a reply belongs to a telegram
// only by their order. So the channel keeps one read telegram on the wire at a time
// (readWire): Sent from just before it is written until its answer arrives, InHand while
// the dispatcher takes the reply in. A read that is ended while its telegram is on the wire
// leaves that telegram there, still owed an answer: the answer goes to the caller's window
// as the ended read's one message, never to another read, and no new read begins until it
// came (28), or until kOwedReplyWaitMs passed, after which the telegram counts as lost.
#ifndef KSYM_VARLIST_PENDING_READ_H
#define KSYM_VARLIST_PENDING_READ_H

#include <cstdint>

#include "frame/channel_context.h"

namespace ksym {

struct VarList;

// How long a read telegram of an ended read is owed its answer: as long as the library
// gives a station for the answer to a short request elsewhere (the project-id check).
inline constexpr uint32_t kOwedReplyWaitMs = 5000;
// Sets that time (tests shorten it).
void SetOwedReplyWait(uint32_t ms);

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

// Makes `list` the channel's read in progress, its first telegram counted as on the wire
// from here on. False, with 19 recorded when the channel is closed, or 28 when a read is in
// progress or an ended read's telegram is still owed its answer.
bool BeginRead(ChannelContext& context, VarList& list);
// The telegram just counted as on the wire was not sent after all.
void TelegramNotSent(ChannelContext& context);
// Ends the read in progress: any read when `only` is null, else only a read of `only`. A
// telegram of it on the wire stays there, owed.
void EndRead(ChannelContext& context, const VarList* only);

// Whose a COMM_MESSAGEREADY reply is, by the order of the wire.
enum class ReplyOwner {
    Read,      // the read in progress: the ticket holds it, its reply step runs
    EndedRead, // the telegram of a read ended meanwhile: the reply is that read's message
    Other,     // no read's: the loader's or the caller's
};
// Claims the reply the dispatcher just fetched. For Read the ticket (empty before) holds
// the list and the wire is InHand until ReplyStepDone; for EndedRead the wire is free again.
ReplyOwner ClaimReply(ChannelContext& context, ReadTicket& ticket);
// The reply step of a claimed read is over and nothing of it is on the wire any more.
void ReplyStepDone(ChannelContext& context);
// Before the dispatcher writes the read's next telegram: true, with that telegram counted
// as on the wire, when the list's read `serial` is still in progress; false when it was
// ended (the wire is then free).
bool NextTelegramOnWire(ChannelContext& context, const VarList& list, uint32_t serial);
// A status that answers the telegram on the wire without a reply (a fatal error, the
// client's time-out): the wire is free again. True when the answered telegram was an ended
// read's, so that the status is that read's message.
bool AnsweredWithoutReply(ChannelContext& context);

// True when the list's read `serial` (or any read of it, for kAnyRead) is still the one in
// progress on the channel.
bool IsCurrentRead(ChannelContext& context, const VarList& list, uint32_t serial);
// Ends the read when it is still the list's read `serial` (the reply step of the last
// telegram). False when it was ended meanwhile.
bool FinishRead(ChannelContext& context, const VarList& list, uint32_t serial);

} // namespace ksym

#endif
