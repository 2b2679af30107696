#include "extern/kclient.h"
#include "frame/channel_table.h"
#include "frame/notification_thread.h"
#include "include/ksymbol.h"

extern "C" KSYM_API int32_t KSYM_CALL KSymCloseChannel(int32_t channel) {
    if (ksym::ChannelContext* context = ksym::FindChannelContext(channel)) {
        ksym::StopNotificationThread(*context);
        ksym::RemoveChannelContext(channel, 1);
    }
    return KClientCloseChannel(channel);
}
