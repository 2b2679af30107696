#include "frame/channel_context.h"

#include <new>

#include "frame/project_info.h"
#include "symbols/symbol_table.h"

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
    ClearSymbolTable(*context);
    ClearProjectInfo(context->projectInfo);
    delete context;
}

} // namespace ksym
