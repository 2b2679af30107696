#include "services/service_start.h"

#include "extern/kclient.h"
#include "frame/channel_table.h"
#include "frame/error_codes.h"

namespace ksym {

ChannelContext* BeginService(int32_t channel, const char* debugLine) {
    if (debugLine != nullptr) {
        KClientDllKDebugOut(channel, debugLine, static_cast<long>(channel));
    }
    KClientSetLastError(kErrNone);
    ChannelContext* context = FindChannelContext(channel);
    if (context == nullptr) {
        KClientSetLastError(kErrNoSymbols);
    }
    return context;
}

} // namespace ksym
