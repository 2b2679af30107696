// The notification thread of a channel: waits on channelEvent and dispatches once per wake.
#ifndef KSYM_FRAME_NOTIFICATION_THREAD_H
#define KSYM_FRAME_NOTIFICATION_THREAD_H

#include "frame/channel_context.h"
#include "platform/win32.h"

namespace ksym {

// The thread's body; its argument is a heap-allocated ContextRef, the thread's hold on the
// channel's context, which the thread releases when it ends. It ends when it sees
// stopRequested = 1 and acknowledges by writing 0 as its last use of the context.
unsigned __stdcall NotificationThread(void* context);

// Starts the thread for `context` at the given priority; the thread's handle is not kept.
// False when the thread cannot be started.
bool StartNotificationThread(const ContextRef& context, int priority);

// Asks the thread to end and polls every 100 ms, for up to 5000 ms, for its
// acknowledgement. True when the thread acknowledged: it no longer uses channelEvent.
// Otherwise the thread is still busy (or there is none), and the event must stay with the
// context, which the thread keeps alive until it ends.
bool StopNotificationThread(ChannelContext& context);

// Closes channelEvent of a context whose thread acknowledged its stop, once the client
// library has closed the channel and so can no longer signal it (Windows hands a closed
// handle's value to the next object made, so a late signal would wake a stranger).
void CloseChannelEvent(ChannelContext& context);

} // namespace ksym

#endif
