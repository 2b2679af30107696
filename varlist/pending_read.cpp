#include "varlist/pending_read.h"

#include <atomic>
#include <mutex>

#include "extern/kclient.h"
#include "frame/error_codes.h"
#include "varlist/var_list.h"

namespace ksym {

namespace {

std::atomic<uint32_t> owedReplyWaitMs{kOwedReplyWaitMs};

// The caller holds pendingLock.
bool IsCurrentLocked(const ChannelContext& context, const VarList& list, uint32_t serial) {
    return context.pendingRead.load() == &list &&
           (serial == kAnyRead || context.readSerial == serial);
}

// A telegram of an ended read that is still owed its answer, within the time it is owed
// one. One owed longer counts as lost, and the wire as free. The caller holds pendingLock.
bool OwedLocked(ChannelContext& context) {
    if (context.readWire != ReadWire::Sent || context.pendingRead.load() != nullptr) {
        return false;
    }
    // The tick counter wraps at 2^32 ms; the unsigned difference stays right across it.
    if (GetTickCount() - context.readSentAt >= owedReplyWaitMs.load()) {
        context.readWire = ReadWire::Idle;
        return false;
    }
    return true;
}

void PutOnWire(ChannelContext& context) {
    context.readWire = ReadWire::Sent;
    context.readSentAt = GetTickCount();
}

} // namespace

void SetOwedReplyWait(uint32_t ms) {
    owedReplyWaitMs.store(ms);
}

bool BeginRead(ChannelContext& context, VarList& list) {
    std::lock_guard<std::mutex> lock(context.pendingLock);
    if (context.closed.load()) {
        KClientSetLastError(kErrNoSymbols);
        return false;
    }
    if (context.pendingRead.load() != nullptr || context.readWire == ReadWire::InHand ||
        OwedLocked(context)) {
        KClientSetLastError(kErrReadPending);
        return false;
    }
    context.pendingRead.store(&list);
    // Never kAnyRead, so that an old ticket cannot match a new read by accident.
    context.readSerial = context.readSerial + 1 == kAnyRead ? 0 : context.readSerial + 1;
    // Counted before the telegram is written: its reply may come before the write returns.
    PutOnWire(context);
    return true;
}

void TelegramNotSent(ChannelContext& context) {
    std::lock_guard<std::mutex> lock(context.pendingLock);
    if (context.readWire == ReadWire::Sent) {
        context.readWire = ReadWire::Idle;
    }
}

void EndRead(ChannelContext& context, const VarList* only) {
    std::lock_guard<std::mutex> lock(context.pendingLock);
    if (only == nullptr || context.pendingRead.load() == only) {
        context.pendingRead.store(nullptr);
    }
}

ReplyOwner ClaimReply(ChannelContext& context, ReadTicket& ticket) {
    std::lock_guard<std::mutex> lock(context.pendingLock);
    VarList* list = context.pendingRead.load();
    if (list != nullptr) {
        // The list is alive: a deletion clears pendingRead under this lock before it lets go.
        HoldVarList(*list);
        ticket.list = list;
        ticket.serial = context.readSerial;
        context.readWire = ReadWire::InHand;
        return ReplyOwner::Read;
    }
    if (OwedLocked(context)) {
        context.readWire = ReadWire::Idle;
        return ReplyOwner::EndedRead;
    }
    return ReplyOwner::Other;
}

void ReplyStepDone(ChannelContext& context) {
    std::lock_guard<std::mutex> lock(context.pendingLock);
    if (context.readWire == ReadWire::InHand) {
        context.readWire = ReadWire::Idle;
    }
}

bool NextTelegramOnWire(ChannelContext& context, const VarList& list, uint32_t serial) {
    std::lock_guard<std::mutex> lock(context.pendingLock);
    if (!IsCurrentLocked(context, list, serial)) {
        return false;
    }
    PutOnWire(context);
    return true;
}

bool AnsweredWithoutReply(ChannelContext& context) {
    std::lock_guard<std::mutex> lock(context.pendingLock);
    const bool owed = OwedLocked(context);
    if (context.readWire == ReadWire::Sent) {
        context.readWire = ReadWire::Idle;
    }
    return owed;
}

ReadTicket::~ReadTicket() {
    ReleaseVarList(list);
}

bool IsCurrentRead(ChannelContext& context, const VarList& list, uint32_t serial) {
    std::lock_guard<std::mutex> lock(context.pendingLock);
    return IsCurrentLocked(context, list, serial);
}

bool FinishRead(ChannelContext& context, const VarList& list, uint32_t serial) {
    std::lock_guard<std::mutex> lock(context.pendingLock);
    if (!IsCurrentLocked(context, list, serial)) {
        return false;
    }
    context.pendingRead.store(nullptr);
    return true;
}

} // namespace ksym
