#include "frame/channel_context.h"

#include <new>

#include "frame/project_info.h"
#include "symbols/symbol_table.h"
#include "varlist/var_list.h"

namespace ksym {

ChannelContext* NewChannelContext(int32_t channel) {
    ChannelContext* context = new (std::nothrow) ChannelContext;
    if (context == nullptr) {
        return nullptr;
    }
    if (!ConstructProjectInfo(context->projectInfo)) {
        delete context;
        return nullptr;
    }
    context->channel.store(channel);
    return context;
}

void DeleteChannelContext(ChannelContext* context) {
    if (context == nullptr) {
        return;
    }
    {
        // Lists the caller has not deleted stay usable as records but no longer reach the
        // channel.
        std::lock_guard<std::mutex> lock(context->listsLock);
        for (VarList* list : context->lists) {
            list->context = nullptr;
        }
        context->lists.clear();
    }
    ClearSymbolTable(*context);
    ClearProjectInfo(context->projectInfo);
    delete context;
}

} // namespace ksym
