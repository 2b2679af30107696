#include "frame/channel_context.h"

#include <new>

#include "frame/loader_transaction.h"
#include "frame/project_info.h"
#include "symbols/symbol_table.h"
#include "varlist/pending_read.h"

namespace ksym {

namespace {
std::atomic<uint32_t> liveContexts{0};
} // namespace

ContextRef NewChannelContext(int32_t channel) {
    ChannelContext* context = new (std::nothrow) ChannelContext;
    if (context == nullptr) {
        return nullptr;
    }
    liveContexts.fetch_add(1);
    if (!ConstructProjectInfo(context->projectInfo)) {
        DeleteChannelContext(context);
        return nullptr;
    }
    context->channel.store(channel);
    try {
        return ContextRef(context, &DeleteChannelContext);
    } catch (...) {
        // The shared count could not be made; the constructor released the context.
        return nullptr;
    }
}

void DeleteChannelContext(ChannelContext* context) {
    if (context == nullptr) {
        return;
    }
    ClearSymbolTable(*context);
    ClearProjectInfo(context->projectInfo);
    if (context->channelEvent != nullptr) {
        // Left by a close whose thread did not acknowledge in time; the thread has let go.
        CloseHandle(context->channelEvent);
    }
    delete context;
    liveContexts.fetch_sub(1);
}

void RetireChannelContext(ChannelContext& context, bool stopThread) {
    bool loading = false;
    {
        std::lock_guard<std::mutex> lock(context.loaderLock);
        context.closed.store(true);
        // A load waiting for the station learns at once that its channel is gone.
        EndWaitingTransaction(context, LoadFailed);
        loading = context.loading;
    }
    // A closed channel has no read in progress; a reply step still running finds its read
    // ended and drops what it read.
    EndRead(context, nullptr);
    if (!loading) {
        ClearSymbolTable(context);
    }
    ClearProjectInfo(context.projectInfo);
    if (stopThread && context.channelEvent != nullptr) {
        context.stopRequested.store(1);
        SetEvent(context.channelEvent);
    }
}

uint32_t LiveChannelContexts() {
    return liveContexts.load();
}

} // namespace ksym
