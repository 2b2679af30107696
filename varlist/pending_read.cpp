#include "varlist/pending_read.h"

#include <mutex>

#include "extern/kclient.h"
#include "frame/error_codes.h"
#include "varlist/var_list.h"

namespace ksym {

namespace {

// The caller holds pendingLock.
bool IsCurrentLocked(const ChannelContext& context, const VarList& list, uint32_t serial) {
    return context.pendingRead.load() == &list &&
           (serial == kAnyRead || context.readSerial == serial);
}

} // namespace

bool BeginRead(ChannelContext& context, VarList& list) {
    std::lock_guard<std::mutex> lock(context.pendingLock);
    if (context.closed.load()) {
        KClientSetLastError(kErrNoSymbols);
        return false;
    }
    if (context.pendingRead.load() != nullptr) {
        KClientSetLastError(kErrReadPending);
        return false;
    }
    context.pendingRead.store(&list);
    // Never kAnyRead, so that an old ticket cannot match a new read by accident.
    context.readSerial = context.readSerial + 1 == kAnyRead ? 0 : context.readSerial + 1;
    return true;
}

void EndRead(ChannelContext& context, const VarList* only) {
    std::lock_guard<std::mutex> lock(context.pendingLock);
    if (only == nullptr || context.pendingRead.load() == only) {
        context.pendingRead.store(nullptr);
    }
}

bool TakePendingRead(ChannelContext& context, ReadTicket& ticket) {
    std::lock_guard<std::mutex> lock(context.pendingLock);
    VarList* list = context.pendingRead.load();
    if (list == nullptr) {
        return false;
    }
    // The list is alive: a deletion clears pendingRead under this lock before it lets go.
    HoldVarList(*list);
    ticket.list = list;
    ticket.serial = context.readSerial;
    return true;
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
