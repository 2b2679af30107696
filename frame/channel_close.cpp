#include "extern/kclient.h"
#include "frame/channel_table.h"
#include "frame/exception_guard.h"
#include "frame/notification_thread.h"
#include "include/ksymbol.h"

extern "C" KSYM_API int32_t KSYM_CALL KSymCloseChannel(int32_t channel) {
    return ksym::Guarded<int32_t>(0, [&] {
        // Held to the end of the close: a thread that did not acknowledge in time, or a load
        // waiting on another thread, may keep the context alive beyond it.
        if (const ksym::ContextRef context = ksym::AcquireChannelContext(channel)) {
            ksym::StopNotificationThread(*context);
            ksym::RemoveChannelContext(channel, 1);
        }
        return KClientCloseChannel(channel);
    });
}
