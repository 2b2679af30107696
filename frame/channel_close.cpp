#include "extern/kclient.h"
#include "frame/channel_table.h"
#include "frame/notification_thread.h"
#include "include/ksymbol.h"

extern "C" KSYM_API int32_t KSYM_CALL KSymCloseChannel(int32_t channel) {
    // Held to the end of the close: a thread that did not acknowledge in time, or a load
    // waiting on another thread, may keep the context alive beyond it.
    ksym::ContextRef context;
    bool acknowledged = false;
    try {
        context = ksym::AcquireChannelContext(channel);
        if (context != nullptr) {
            acknowledged = ksym::StopNotificationThread(*context);
            ksym::RemoveChannelContext(channel, 1);
        }
    } catch (...) {
        // Nothing of this can run out of memory; should a lock fail all the same, the
        // channel is still closed at the client below, so that it is not left open.
    }
    const int32_t result = KClientCloseChannel(channel);
    // Only now can the client no longer signal the event: it is closed after the channel.
    if (context != nullptr && acknowledged) {
        ksym::CloseChannelEvent(*context);
    }
    return result;
}
