#include "frame/loader_transaction.h"

namespace ksym {

void EndUpload(ChannelContext& context, LoadStatus status) {
    context.loadStatus.store(status);
    context.uploadDevice.store(nullptr);
    SetEvent(context.uploadEvent.load());
}

void EndProjectIdCheck(ChannelContext& context, LoadStatus status) {
    context.loadStatus.store(status);
    const HANDLE event = context.projectIdEvent.exchange(nullptr);
    SetEvent(event);
}

bool EndWaitingTransaction(ChannelContext& context, LoadStatus status) {
    if (context.uploadDevice.load() != nullptr) {
        EndUpload(context, status);
    } else if (context.projectIdEvent.load() != nullptr) {
        EndProjectIdCheck(context, status);
    } else {
        return false;
    }
    return true;
}

} // namespace ksym
